// The model's fast paths against the direct formulas they replace: the inline
// rounding against the C library's round, and compute() (Beaufort table,
// displacement power cache, inline rounding) against estimate(), which takes
// every step afresh. Equality is to the bit, sign of zero and NaN included.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "model/rounding.hpp"
#include "model/vessel.hpp"

namespace veltrum::model {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// --- rounding ----------------------------------------------------------------

void expect_rounds_like_library(double x) {
    EXPECT_EQ(bits(round_half_away(x)), bits(std::round(x))) << std::hexfloat << x;
}

TEST(RoundHalfAway, SpecialValues) {
    for (double x : {0.0, -0.0, kInf, -kInf, kNaN, -kNaN, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5,
                     0.49999999999999994, -0.49999999999999994, 4503599627370495.5,
                     -4503599627370495.5, 4503599627370496.0, 9007199254740991.0,
                     9007199254740993.0, 1e300, -1e300, std::numeric_limits<double>::min(),
                     std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::max()}) {
        expect_rounds_like_library(x);
    }
    // A signalling NaN comes back quiet, with its payload and sign.
    // (volatile: the compiler folds NaN arithmetic its own way)
    const volatile double stored = std::numeric_limits<double>::signaling_NaN();
    const double signalling = stored;
    EXPECT_EQ(bits(round_half_away(signalling)), bits(std::round(signalling)));
}

TEST(RoundHalfAway, HalvesAndTheirNeighboursAtEveryScale) {
    for (int exponent = -3; exponent <= 53; ++exponent) {
        const double base = std::ldexp(1.0, exponent);
        for (double k = 0; k < 40; ++k) {
            for (double x : {base + k + 0.5, base + k, base - k - 0.5}) {
                for (double y : {x, std::nextafter(x, kInf), std::nextafter(x, -kInf)}) {
                    expect_rounds_like_library(y);
                    expect_rounds_like_library(-y);
                }
            }
        }
    }
}

TEST(RoundHalfAway, RandomBitPatterns) {
    std::mt19937_64 random(20261207);
    for (int i = 0; i < 2'000'000; ++i) {
        const double x = std::bit_cast<double>(random());
        if (std::isnan(x)) {
            continue;  // only quiet NaNs reach the model's rounding; see SpecialValues
        }
        ASSERT_EQ(bits(round_half_away(x)), bits(std::round(x))) << std::hexfloat << x;
    }
}

TEST(RoundHalfAway, RandomValuesAtTheModelsScales) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> uniform(-1e6, 1e6);
    for (int i = 0; i < 2'000'000; ++i) {
        const double x = uniform(random);
        for (double scale : {1e-5, 1e-4, 1e-3, 1e-2, 1.0}) {
            const double y = x * scale;  // values of the sizes the model rounds
            ASSERT_EQ(bits(round_half_away(y)), bits(std::round(y))) << std::hexfloat << y;
        }
    }
}

// --- compute against estimate ----------------------------------------------

void expect_compute_is_estimate(const Vessel& vessel, double wind_beta, std::int32_t wind_scale,
                                double wave_height, double wave_beta) {
    const double fast = compute(vessel, wind_beta, wind_scale, wave_height, wave_beta);
    const double direct = estimate(vessel, wind_beta, wind_scale, wave_height, wave_beta).result;
    ASSERT_EQ(bits(fast), bits(direct))
        << "displacement " << vessel.displacement << " laden " << vessel.laden << " speed "
        << vessel.speed_kts << " compute(" << wind_beta << ", " << wind_scale << ", "
        << wave_height << ", " << wave_beta << ")";
}

const double kWindDirections[] = {-45.0, 0.0, 30.0, std::nextafter(30.0, kInf), 45.0, 60.0,
                                  60.5, 90.0, 150.0, 151.0, 180.0, 250.0, kNaN, kInf, -kInf};
const double kWaveHeights[] = {-1.0, 0.2, 1.4, 2.0, 2.9, 3.0, 7.0, 12.0, kNaN, kInf};
const double kWaveDirections[] = {0.0, 45.0, 90.0, 100.0, 135.0, 170.0, 200.0, kNaN};

// Displacements from tiny to huge, each with a hull that snaps to every
// block coefficient in turn.
std::vector<Vessel> vessels() {
    std::vector<Vessel> out;
    const double displacements[] = {1e-300, 1e-3, 0.5, 1.0, 3.0, 500.0, 5750.0, 10000.0,
                                    45000.0, 123456.789, 3.3e5, 1e9, 1e300};
    const double coefficients[] = {0.55, 0.60, 0.65, 0.70, 0.75, 0.80, 0.85};
    for (double displacement : displacements) {
        for (double cb : coefficients) {
            // length × breadth × draught = displacement / cb, with breadth and
            // draught fixed fractions of the length
            const double length = std::cbrt(displacement / cb / (0.15 * 0.06));
            out.push_back(construct(displacement, length, 0.15 * length, 0.06 * length));
        }
    }
    return out;
}

TEST(ComputeFastPath, MatchesTheStepByStepEstimateForEveryBeaufortNumber) {
    for (Vessel vessel : vessels()) {
        for (double speed : {12.0, -5.0}) {
            for (bool laden : {true, false}) {
                setup(vessel, speed, laden);
                for (std::int32_t scale = 0; scale <= 12; ++scale) {
                    for (double wind_beta : kWindDirections) {
                        for (double height : kWaveHeights) {
                            for (double wave_beta : kWaveDirections) {
                                expect_compute_is_estimate(vessel, wind_beta, scale, height,
                                                           wave_beta);
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(ComputeFastPath, MatchesTheEstimateForRandomInputs) {
    std::mt19937_64 random(42);
    std::uniform_real_distribution<double> log_displacement(-3.0, 9.0);
    std::uniform_real_distribution<double> angle(-90.0, 270.0);
    std::uniform_real_distribution<double> height(-1.0, 15.0);
    std::uniform_real_distribution<double> speed(-5.0, 35.0);
    std::uniform_int_distribution<std::int32_t> scale(0, 12);
    for (int i = 0; i < 200'000; ++i) {
        const double displacement = std::pow(10.0, log_displacement(random));
        Vessel vessel = construct(displacement, std::cbrt(displacement) * 6.0,
                                  std::cbrt(displacement), std::cbrt(displacement) * 0.3);
        setup(vessel, speed(random), (random() & 1U) != 0);
        expect_compute_is_estimate(vessel, angle(random), scale(random), height(random),
                                   angle(random));
    }
}

TEST(ComputeFastPath, NaNSpeedGivesTheSameNaN) {
    Vessel vessel = construct(10000, 120, 20, 7);
    setup(vessel, kNaN, true);
    expect_compute_is_estimate(vessel, 0.0, 4, 2.0, 0.0);
}

// Threads alternating between vessels of different displacements share the
// displacement power cache: every result must still be the estimate's.
TEST(ComputeFastPath, DisplacementPowerCacheIsExactAcrossThreads) {
    std::vector<Vessel> fleet;
    for (double displacement : {500.0, 10000.0, 45000.0, 123456.789, 1e9, 0.75}) {
        Vessel v = construct(displacement, std::cbrt(displacement) * 6.0, std::cbrt(displacement),
                             std::cbrt(displacement) * 0.3);
        setup(v, 12.0, true);
        fleet.push_back(v);
    }
    std::vector<std::vector<double>> expected(fleet.size());
    for (std::size_t v = 0; v < fleet.size(); ++v) {
        for (std::int32_t scale = 0; scale <= 12; ++scale) {
            expected[v].push_back(estimate(fleet[v], 45.0, scale, 2.0, 45.0).result);
        }
    }
    std::atomic<std::uint64_t> mismatches{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < 200'000; ++i) {
                const std::size_t v = (i * (t + 1) + t) % fleet.size();
                const auto scale = static_cast<std::int32_t>(i % 13);
                const double r = compute(fleet[v], 45.0, scale, 2.0, 45.0);
                if (bits(r) != bits(expected[v][static_cast<std::size_t>(scale)])) {
                    mismatches.fetch_add(1, std::memory_order_relaxed);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0U);
}

// --- Froude number ---------------------------------------------------------

TEST(FroudeNumber, MatchesTheLibraryRounding) {
    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> speed(-20.0, 40.0);
    std::uniform_real_distribution<double> log_length(-2.0, 4.0);
    for (int i = 0; i < 1'000'000; ++i) {
        const double v = speed(random) * 1852.0 / 3600.0;
        const double length = std::pow(10.0, log_length(random));
        double fr = std::round(v / std::sqrt(9.80665 * length) * 1000.0) / 1000.0;
        fr = 0.05 > fr ? 0.05 : fr;
        fr = 0.35 < fr ? 0.35 : fr;
        ASSERT_EQ(bits(froude_number(v, length)), bits(fr)) << v << " " << length;
    }
}

}  // namespace
}  // namespace veltrum::model
