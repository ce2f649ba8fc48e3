// Two doubles at a time, in the vector registers every machine the model is
// built for has (SSE2 on x86-64, NEON on aarch64), through the compilers'
// vector extensions: each operation is the scalar one in every lane, rounded
// the same, so a lane holds the very double the scalar steps give. Choices are
// made by masks, as Masked makes them (model/choice.hpp).
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

namespace veltrum::model::lanes {

using Doubles = double __attribute__((vector_size(16)));
// A comparison of Doubles gives all bits set in the lanes where it holds.
using Masks = std::int64_t __attribute__((vector_size(16)));

constexpr std::int64_t kSign = std::numeric_limits<std::int64_t>::min();

inline Doubles both(double x) { return Doubles{x, x}; }
inline Masks bits(Doubles x) { return std::bit_cast<Masks>(x); }
inline Doubles doubles(Masks x) { return std::bit_cast<Doubles>(x); }

// a where the condition holds, b elsewhere.
inline Doubles select(Masks condition, Doubles a, Doubles b) {
    return doubles((bits(a) & condition) | (bits(b) & ~condition));
}

inline Doubles fabs(Doubles x) { return doubles(bits(x) & ~kSign); }

inline Doubles copysign(Doubles magnitude, Doubles sign) {
    return doubles((bits(magnitude) & ~kSign) | (bits(sign) & kSign));
}

// round_half_away() of model/rounding.hpp in each lane. Below 2^52 the sum
// m + 2^52 is m rounded to an integer, a tie to the even one, and taking 2^52
// off again is exact; so is m less that integer, which is 0.5 only where a tie
// went down: that one is taken up. From 2^52 on, and for NaN and the
// infinities, the lane is x + 0.0, as there.
inline Doubles round_half_away(Doubles x) {
    constexpr double kAllIntegral = 4503599627370496.0;  // 2^52
    const Doubles magnitude = fabs(x);
    const Doubles nearest = (magnitude + kAllIntegral) - kAllIntegral;
    const Doubles rounded = select(magnitude - nearest >= 0.5, nearest + 1.0, nearest);
    return select(magnitude < kAllIntegral, copysign(rounded, x), x + 0.0);
}

}  // namespace veltrum::model::lanes
