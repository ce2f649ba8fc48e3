// How the model chooses between values: by a branch, for a single estimate,
// which then runs only the side it needs; or by bit masks, for runs over whole
// arrays, whose directions and heights are as good as random to a branch
// predictor. Either way the chosen value is the same double.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace veltrum::model {

struct Branching {
    static double select(bool condition, double a, double b) { return condition ? a : b; }

    // The row of a table whose rows test x <= bound for ascending bounds, in
    // order: the first bound not below x, or the row after the last (also for
    // a NaN).
    template <std::size_t N>
    static std::size_t row(double x, const std::array<double, N>& bounds) {
        for (std::size_t i = 0; i < N; ++i) {
            if (x <= bounds[i]) {
                return i;
            }
        }
        return N;
    }
};

struct Masked {
    // Both values are computed already; the compiler would turn a plain ?:
    // back into a branch when one side is only needed there.
    static double select(bool condition, double a, double b) {
        const std::uint64_t mask = 0U - static_cast<std::uint64_t>(condition);
        return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) |
                                     (std::bit_cast<std::uint64_t>(b) & ~mask));
    }

    // Branching::row() as a count: the bounds that x is not at or below.
    template <std::size_t N>
    static std::size_t row(double x, const std::array<double, N>& bounds) {
        std::size_t row = 0;
        for (const double bound : bounds) {
            row += static_cast<std::size_t>(!(x <= bound));
        }
        return row;
    }
};

}  // namespace veltrum::model
