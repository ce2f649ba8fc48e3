// The speed-loss model: the vessel record, its construction from the hull
// particulars, the operating condition and the speed-change estimate. Plain
// values in and out; failed checks raise model failures.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace veltrum::model {

// The state of one vessel. Field order is part of the object layout.
struct Vessel {
    double displacement;  // displacement volume, m³
    double length;        // m
    double breadth;       // m
    double draught;       // m
    double cb;            // block coefficient, snapped to the table
    double speed_kts;     // speed through the water, knots
    double speed_ms;      // the same speed, m/s
    double fr;            // Froude number, three decimals
    double af;            // speed-reduction coefficient
    bool laden;           // true: laden, false: ballast
};

// Checks the particulars and builds a vessel at 10 knots, laden.
Vessel construct(double displacement, double length, double breadth, double draught);

// Sets speed and loading state and recomputes what depends on them.
void setup(Vessel& vessel, double speed_kts, bool laden);

// Speed change in knots (negative for a loss), rounded to two decimals.
double compute(const Vessel& vessel, double wind_beta, std::int32_t wind_scale,
               double wave_height, double wave_beta);

// The steps of compute() with their intermediate values, for inspection.
struct Estimate {
    double cw;      // half the wind direction coefficient, five decimals
    double bn;      // effective Beaufort number
    double form;    // form term F
    double wind;    // wind term W, knots
    double height;  // effective wave height H, m
    double factor;  // wave direction factor G
    double wave;    // wave term V, knots
    double total;   // weighted total T before the soft limit
    double result;  // the value compute() returns
};

Estimate estimate(const Vessel& vessel, double wind_beta, std::int32_t wind_scale,
                  double wave_height, double wave_beta);

// Estimates on one vessel over many weather conditions, for callers holding
// whole arrays. The displacement power is kept with the vessel, and each of
// the 52 wind terms (13 Beaufort numbers by 4 wind direction rows) is computed
// the first time it is needed. Every estimate has the bits compute() gives on
// the vessel that construct() and setup() build from the same values.
class Estimator {
public:
    static constexpr std::size_t kWindTerms = 52;

    // Takes a hull: false, and nothing to estimate with, where construct()
    // would fail. A condition must follow before compute().
    bool set_hull(double displacement, double length, double breadth, double draught);

    // Sets the operating condition as setup() does, on an accepted hull.
    void set_condition(double speed_kts, bool laden);

    // compute() on the vessel; fails as compute() does for a Beaufort number
    // outside 0 to 12.
    double compute(double wind_beta, std::int32_t wind_scale, double wave_height,
                   double wave_beta);

    // compute() at one Beaufort number and wave height for each pair of wind
    // and wave directions (one hour of weather seen from several headings):
    // change[i] gets compute(wind_beta[i], wind_scale, wave_height,
    // wave_beta[i]), to the bit; the work of the height is done once.
    void compute_directions(std::int32_t wind_scale, double wave_height,
                            std::span<const double> wind_beta, std::span<const double> wave_beta,
                            std::span<double> change);

    // compute() for each element of the spans: change[i] gets
    // compute(wind_beta[i], wind_scale[i], wave_height[i], wave_beta[i]), to
    // the bit.
    void compute_each(std::span<const std::int32_t> wind_scale, std::span<const double> wave_height,
                      std::span<const double> wind_beta, std::span<const double> wave_beta,
                      std::span<double> change);

private:
    // The wind term of an accepted Beaufort number and a wind direction, by
    // its row of the direction table, computed the first time it is needed.
    double wind_for(std::int32_t wind_scale, double wind_beta);

    Vessel vessel_{};
    double displacement_power_ = 1.0;
    std::uint64_t known_ = 0;  // bit i set: wind_[i] holds its term
    std::array<double, kWindTerms> wind_{};
};

// The table value a raw block coefficient snaps to; 0.0 when it matches none.
double snap_block_coefficient(double raw);

// Froude number of a speed in m/s on a waterline length, three decimals, limited
// to [0.05, 0.35] with a NaN passed through.
double froude_number(double speed_ms, double length);

}  // namespace veltrum::model
