// Rounding half away from zero, the C library's round(), written out inline:
// the estimate rounds twice per call and a library call costs more than the
// rest of the rounding step.
#pragma once

#include <cmath>
#include <cstdint>

#include "model/choice.hpp"

namespace veltrum::model {

// The same double as std::round for every input, sign of zero included, by
// either way of choosing (model/choice.hpp).
// Below 2^52 the truncation of |x| through a 64-bit integer is exact, and so
// is the fraction |x| − trunc(|x|), so the test against one half is exact;
// from 2^52 on every finite double is already an integer. NaN and the
// infinities come back through an addition, as the library returns them (a
// signalling NaN quiet).
template <class Choice = Branching>
inline double round_half_away(double x) {
    constexpr double kAllIntegral = 4503599627370496.0;  // 2^52
    const double magnitude = std::fabs(x);
    if (!(magnitude < kAllIntegral)) [[unlikely]] {
        return x + 0.0;
    }
    const double truncated = static_cast<double>(static_cast<std::int64_t>(magnitude));
    const double rounded =
        Choice::select(magnitude - truncated >= 0.5, truncated + 1.0, truncated);
    return std::copysign(rounded, x);
}

}  // namespace veltrum::model
