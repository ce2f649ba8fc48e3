// From true weather to the model's inputs, one value at a time: wind speed and
// origin from the wind's components, the Beaufort force by the WMO scale and
// directions off the bow folded into 0–180°. Each is, to the bit, the
// arithmetic of veltrum_tools.marine and the math module on Python floats.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

namespace veltrum::ufunc {

// Lower bounds of Beaufort forces 1 to 12 on the WMO scale, m/s.
constexpr std::array<double, 12> kBeaufortLowerBounds{0.3,  1.6,  3.4,  5.5,  8.0,  10.8,
                                                      13.9, 17.2, 20.8, 24.5, 28.5, 32.7};
// Force 13 of the extended scale starts here; the model takes such winds as 12.
constexpr double kForce13LowerBound = 37.0;

// Weather no sea has, which the hindcast skips and counts apart: a 10 m wind
// above this many m/s (the speed sqrt(u*u + v*v) computed in double), a
// significant wave height below 0 or above this many metres. The same bounds
// as veltrum_tools.marine's MAX_WIND_SPEED_MS and MAX_WAVE_HEIGHT_M.
constexpr double kMaxWindSpeed = 100.0;
constexpr double kMaxWaveHeight = 30.0;

// Python's math.degrees multiplies by this double, 180 / π rounded once.
constexpr double kDegreesPerRadian = 180.0 / 3.14159265358979323846;

// Wind speed of the components towards east (u) and north (v), m/s.
inline double wind_speed(double u, double v) { return std::sqrt(u * u + v * v); }

// marine.physically_possible for a finite wave height and the wind speed of
// finite components (never NaN, infinite when the squares overflow).
inline bool physically_possible(double speed, double height) {
    return speed <= kMaxWindSpeed && height >= 0.0 && height <= kMaxWaveHeight;
}

// The true direction the wind comes from, degrees: math.degrees(math.atan2(u, v))
// + 180. The C library's atan2 is the one the math module calls, and for
// finite components the math module adds no special case of its own.
inline double wind_from(double u, double v) { return std::atan2(u, v) * kDegreesPerRadian + 180.0; }

// The number of lower bounds at or below the speed: bisect_right over them, 0
// to 12, and 12 for an infinite speed. Counted without branches, the force of
// gridded winds being as good as random to a branch predictor.
inline std::int32_t beaufort_force(double speed) {
    std::int32_t force = 0;
    for (const double bound : kBeaufortLowerBounds) {
        force += static_cast<std::int32_t>(speed >= bound);
    }
    return force;
}

// Python's float remainder a % 360.0: the C library's fmod, moved into [0, 360)
// when negative, and +0.0 for a zero remainder.
inline double turn_remainder(double a) {
    double remainder = std::fmod(a, 360.0);  // NaN for an infinite or NaN a
    if (remainder == 0.0) {
        remainder = 0.0;
    } else if (remainder < 0.0) {
        remainder += 360.0;
    }
    return remainder;
}

// The same where |a| < 360: fmod returns a itself, so the remainder is a, or
// a + 360 for a negative a (the very sum), or +0.0 for either zero (-0.0 + 0.0
// is +0.0).
inline double turn_remainder_within_turn(double a) { return a + (a < 0.0 ? 360.0 : 0.0); }

// marine.fold_angle for an angle within a turn, |a| < 360.
inline double fold_within_turn(double a) {
    return 180.0 - std::fabs(180.0 - turn_remainder_within_turn(a));
}

// marine.fold_angle: any angle into 0–180°, NaN staying NaN.
inline double fold_angle(double a) { return 180.0 - std::fabs(180.0 - turn_remainder(a)); }

// marine.relative_angle: the direction off the bow, folded, of wind or waves
// coming from a true direction for a ship steering a true heading.
inline double relative_angle(double heading, double coming_from) {
    return fold_angle(coming_from - heading);
}

}  // namespace veltrum::ufunc
