// The vessel of the elements being estimated, kept between elements that share
// it: the ufuncs' loops rebuild it only when the hull or the condition changes.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "model/vessel.hpp"

namespace veltrum::ufunc {

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Arrays usually repeat one hull and condition over long runs, so the vessel is
// rebuilt only when the hull or the condition differs from the last element's.
// Values are compared by their bits: a NaN matches itself, and -0.0 is not 0.0.
class VesselCache {
public:
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
