// The vessel of the elements being estimated, kept between elements that share
// it: the ufuncs' loops rebuild it only when the hull or the condition changes.
#pragma once

#include <Python.h>

#include <numpy/npy_common.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "model/vessel.hpp"

namespace veltrum::ufunc {

// The vessel's inputs, the first six operands of both ufuncs: float64 but the
// loading state, a NumPy bool.
enum VesselOperand : int { kDisplacement, kLength, kBreadth, kDraught, kSpeed, kLaden };

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Arrays usually repeat one hull and condition over long runs, so the vessel is
// rebuilt only when the hull or the condition differs from the last element's.
// Values are compared by their bits: a NaN matches itself, and -0.0 is not 0.0.
class VesselCache {
public:
    // True when the vessel's inputs broadcast: one vessel for all elements.
    static bool one_vessel(const npy_intp* steps) {
        bool one = true;
        for (int operand = kDisplacement; operand <= kLaden; ++operand) {
            one = one && steps[operand] == 0;
        }
        return one;
    }

    // The estimator for the vessel of a loop's element i, or null when its
    // particulars are rejected.
    model::Estimator* at(char* const* args, const npy_intp* steps, npy_intp i) {
        const auto read = [&](int operand) {
            double value = 0.0;
            std::memcpy(&value, args[operand] + i * steps[operand], sizeof value);
            return value;
        };
        npy_bool laden = 0;
        std::memcpy(&laden, args[kLaden] + i * steps[kLaden], sizeof laden);
        return get({read(kDisplacement), read(kLength), read(kBreadth), read(kDraught)},
                   read(kSpeed), laden != 0);
    }

    // The estimator for these inputs, or null when the particulars are rejected.
    model::Estimator* get(const std::array<double, 4>& hull, double speed_kts, bool laden) {
        const std::array<std::uint64_t, 4> hull_key{bits(hull[0]), bits(hull[1]), bits(hull[2]),
                                                    bits(hull[3])};
        if (!have_hull_ || hull_key != hull_key_) {
            have_hull_ = true;
            have_condition_ = false;
            hull_key_ = hull_key;
            accepted_ = estimator_.set_hull(hull[0], hull[1], hull[2], hull[3]);
        }
        if (!accepted_) {
            return nullptr;
        }
        if (!have_condition_ || bits(speed_kts) != speed_key_ || laden != laden_) {
            have_condition_ = true;
            speed_key_ = bits(speed_kts);
            laden_ = laden;
            estimator_.set_condition(speed_kts, laden);
        }
        return &estimator_;
    }

private:
    model::Estimator estimator_;
    std::array<std::uint64_t, 4> hull_key_{};
    std::uint64_t speed_key_ = 0;
    bool have_hull_ = false;
    bool have_condition_ = false;
    bool accepted_ = false;
    bool laden_ = false;
};

}  // namespace veltrum::ufunc
