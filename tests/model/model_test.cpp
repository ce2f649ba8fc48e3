// The model's published numbers to the bit, its failures with their reports,
// and the fast paths (inline rounding, Beaufort table, displacement power
// cache) against the C library and the step-by-step estimate.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "boundary/failure/failure.hpp"
#include "boundary/failure/report.hpp"
#include "model/lanes.hpp"
#include "model/rounding.hpp"
#include "model/vessel.hpp"

namespace veltrum::model {
namespace {

using Hull = std::array<double, 4>;
using limits = std::numeric_limits<double>;
constexpr double kNaN = limits::quiet_NaN(), kInf = limits::infinity();
constexpr Hull kFirst{10000, 120, 20, 7};
constexpr Hull kSecond{45000, 180, 32, 10};
const std::string kParticulars = "参数必须大于0", kBlock = "无效的方形系数",
                  kBeaufort = "蒲福风级必须在 0~12";

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
#define EXPECT_SAME_BITS(actual, expected) \
    EXPECT_EQ(bits(actual), bits(expected)) << (actual) << " vs " << (expected)

Vessel at_speed(double speed, bool laden, const Hull& hull = kFirst) {
    Vessel v = construct(hull[0], hull[1], hull[2], hull[3]);
    setup(v, speed, laden);
    return v;
}

TEST(Model, PublishedNumbersAndRules) {
    const double short_af = 3.1 - 18.7 * 0.35 - 25.0 * 0.35 * 0.35;
    const double long_af = 1.7 - 1.4 * 0.05 - 7.4 * 0.0025;
    const std::tuple<Hull, double, double, double> cases[] = {  // hull, cb, fr, af
        {kFirst, 0.60, 0.15, 1.60675}, {kSecond, 0.80, 0.122, 0.7770516},
        {{5750, 100, 10, 10}, 0.60, 0.164, 1.5291088},  // raw 0.575: a tie
        {{1, 1, 1, 1}, 0.85, 0.35, short_af}, {{1, 10000, 1, 1}, 0.55, 0.05, long_af},
        {{1, kInf, 1, 1}, 0.55, 0.05, long_af}};
    for (const auto& [hull, cb, fr, af] : cases) {
        const Vessel v = construct(hull[0], hull[1], hull[2], hull[3]);
        EXPECT_EQ((Hull{v.displacement, v.length, v.breadth, v.draught}), hull);
        EXPECT_SAME_BITS(v.cb, cb);
        EXPECT_SAME_BITS(v.fr, fr);
        EXPECT_NEAR(v.af, af, 2e-15 * std::abs(af));  // quoted as decimals: a few ulps off
        EXPECT_TRUE(v.speed_kts == 10.0 && v.speed_ms == 5.144444444444445 && v.laden);
    }
    for (const auto& [raw, cb] : {std::pair{0.575, 0.60}, {0.625, 0.60}, {0.675, 0.70},
                                  {0.725, 0.70}, {0.775, 0.80}, {0.825, 0.80}, {0.3, 0.55},
                                  {1.2, 0.85}, {0.0, 0.55}, {0.78125, 0.80}, {kNaN, 0.0},
                                  {kInf, 0.0}}) {
        EXPECT_SAME_BITS(snap_block_coefficient(raw), cb) << "raw " << raw;
    }
    EXPECT_SAME_BITS(froude_number(5.144444444444445, 1.0), 0.35);
    EXPECT_SAME_BITS(froude_number(5.144444444444445, 10000.0), 0.05);
    EXPECT_TRUE(std::isnan(froude_number(kNaN, 100.0)));

    const std::tuple<Hull, double, bool, double, double> conditions[] = {  // speed, laden, fr, af
        {kFirst, 12, true, 0.18, 1.43572},   {kFirst, 12, false, 0.18, 1.43572},
        {kSecond, 12, true, 0.147, 0.3480041}, {kSecond, 12, false, 0.147, 0.214938},
        {kFirst, 0, true, 0.05, kNaN},         {kFirst, -5, true, 0.05, kNaN},
        {kFirst, 30, true, 0.35, kNaN}};
    for (const auto& [hull, speed, laden, fr, af] : conditions) {
        const Vessel v = at_speed(speed, laden, hull);
        EXPECT_TRUE(bits(v.speed_kts) == bits(speed) && v.laden == laden);
        EXPECT_TRUE(speed != 12 || bits(v.speed_ms) == bits(6.173333333333333)) << v.speed_ms;
        EXPECT_SAME_BITS(v.fr, fr);
        EXPECT_TRUE(std::isnan(af) || std::abs(v.af - af) <= 2e-15 * std::abs(af)) << v.af;
    }
    const Vessel lost = at_speed(kNaN, true);
    EXPECT_TRUE(std::isnan(lost.speed_ms) && std::isnan(lost.fr) && std::isnan(lost.af));
    EXPECT_TRUE(std::isnan(compute(lost, 0, 4, 2.0, 0)));

    const std::tuple<bool, double, std::int32_t, double, double, double> estimates[] = {
        {true, 0, 4, 2.0, 0, -0.66},     {true, 45, 4, 2.0, 45, -0.56},
        {true, 90, 6, 2.9, 100, -1.97},  {true, 170, 7, 3.0, 170, -1.61},
        {true, 0, 12, 7.0, 0, -2.93},    {true, 0, 0, 0.5, 200, -0.04},
        {true, 0, 12, 12, 0, -2.97},     {false, 0, 12, 12, 0, -2.97},
        {false, 45, 4, 2.0, 45, -0.6}};
    for (const auto& [laden, wind_beta, scale, height, wave_beta, result] : estimates) {
        EXPECT_SAME_BITS(compute(at_speed(12, laden), wind_beta, scale, height, wave_beta), result);
    }
    const Vessel v = at_speed(12, true);
    const std::pair<Estimate, Estimate> steps[] = {
        {estimate(v, 0, 4, 2.0, 0),
         {1.0, 4.0, 8.536714437311554, -1.4707594256399512, 0.7 * 2.0, -0.7, -0.3144,
          -0.6613078276919854, -0.66}},
        {estimate(v, 170, 7, 3.0, 170),
         {0.185, 6.1, 104.5844677930485, -3.333418224150187, 3.0, -0.6, -0.8712,
          -1.6098654672450559, -1.61}}};
    for (const auto& [e, x] : steps) {
        for (const auto member : {&Estimate::cw, &Estimate::bn, &Estimate::form, &Estimate::wind,
                                  &Estimate::height, &Estimate::factor, &Estimate::wave,
                                  &Estimate::total, &Estimate::result}) {
            EXPECT_SAME_BITS(e.*member, x.*member);
        }
    }
    EXPECT_NEAR(estimate(v, 0, 12, 7.0, 0).total, -11.319836, 5e-7);  // before the soft limit
    // A total between -0.005 and 0 rounds to a negative zero.
    EXPECT_SAME_BITS(compute(at_speed(10, true, {500, 1, 1, 1}), 0, 1, 1.3, 45), -0.0);
    for (const auto& [height, effective] : {std::pair{kNaN, 0.2}, {kInf, 9.0}, {-kInf, 0.2},
                                            {0.0, 0.2}, {12.0, 6.6}, {1e6, 9.0},
                                            {2.9, 0.7 * 2.9}}) {
        EXPECT_SAME_BITS(estimate(v, 0, 0, height, 0).height, effective) << "height " << height;
    }
    // Angles outside 0..180, or NaN, take the end rows.
    for (const auto& [angle, same] : {std::pair{-45.0, 0.0}, {200.0, 190.0}, {kNaN, 190.0}}) {
        EXPECT_SAME_BITS(estimate(v, angle, 5, 4.0, angle).cw, estimate(v, same, 5, 4.0, same).cw);
    }
    for (const auto& [beta, factor] : {std::pair{200.0, -0.7}, {kNaN, -0.7}, {170.0, 0.7}}) {
        EXPECT_SAME_BITS(estimate(v, 0, 0, 0.5, beta).factor, factor) << "wave_beta " << beta;
    }
    // Each sector holds its upper bound; the next double above is in the next one
    // (force 5, low seas: Cw 1.0, 0.835, 0.42, 0.065 by wind sector).
    for (const auto& [bound, cw, factor, next_cw, next_factor] :
         {std::tuple{30.0, 1.0, -0.7, 0.835, -0.6}, {60.0, 0.835, -0.6, 0.42, -0.4},
          {90.0, 0.42, -0.4, 0.42, 0.4}, {120.0, 0.42, 0.4, 0.42, 0.6},
          {150.0, 0.42, 0.6, 0.065, 0.7}, {180.0, 0.065, 0.7, 0.065, -0.7}}) {
        const double above = std::nextafter(bound, kInf);
        const Estimate at = estimate(v, bound, 5, 0.5, bound);
        const Estimate next = estimate(v, above, 5, 0.5, above);
        EXPECT_TRUE(at.cw == cw && at.factor == factor && next.cw == next_cw &&
                    next.factor == next_factor) << "bound " << bound;
    }
}

// The message of the failure `call` raises and what it writes to standard error.
template <class Call>
std::pair<std::string, std::string> failure_of(const Call& call) {
    testing::internal::CaptureStderr();
    std::string message;
    try {
        call();
        ADD_FAILURE() << "no model failure";
    } catch (const ModelFailure& failure) {
        EXPECT_EQ(failure_nesting(), 1U);
        failure_caught();
        message = std::string_view(failure.message());
    }
    EXPECT_EQ(failure_nesting(), 0U);
    return {message, testing::internal::GetCapturedStderr()};
}

// Each check's message and report head, a report dropped when standard error is closed.
TEST(Failures, MessagesAndReports) {
    const std::tuple<Hull, std::int32_t, std::string, std::string> cases[] = {
        {{0, 120, 20, 7}, 0, kParticulars, "12:9"}, {{1e4, -0.0, 20, 7}, 0, kParticulars, "12:9"},
        {{1e4, 1, -2, 7}, 0, kParticulars, "12:9"}, {{1e4, 120, 20, 0}, 0, kParticulars, "12:9"},
        {{-1, 0, 0, 0}, 0, kParticulars, "12:9"},   {{kNaN, 0, 1, 1}, 0, kParticulars, "12:9"},
        {{kNaN, 1, 1, 1}, 0, kBlock, "70:14"},      {{1, 1, 1, kNaN}, 0, kBlock, "70:14"},
        {{kInf, 1, 1, 1}, 0, kBlock, "70:14"},
        {{1, 1e-200, 1e-200, 1e-200}, 0, kBlock, "70:14"},  // the volume underflows: raw +∞
        {kFirst, -1, kBeaufort, "78:9"}, {kFirst, 13, kBeaufort, "78:9"},
        {kFirst, INT32_MIN, kBeaufort, "78:9"},     {kFirst, INT32_MAX, kBeaufort, "78:9"}};
    for (const auto& [hull, scale, expected, location] : cases) {
        const auto [message, report] = failure_of(
            [h = hull, s = scale] { compute(construct(h[0], h[1], h[2], h[3]), 0, s, 1, 0); });
        EXPECT_EQ(message, expected);
        std::string head = "\nthread '<unnamed>' (" + std::to_string(::gettid());
        head.append(") panicked at src\\lib.cpp:").append(location).append(":\n").append(expected);
        EXPECT_TRUE(report.starts_with(head.append("\n"))) << report;
    }
    Vessel v = construct(10000, 120, 20, 7);
    v.cb = 0.0;  // construction never leaves this; setup keeps all it stored but af
    const double af = v.af;
    EXPECT_EQ(failure_of([&] { setup(v, 12.0, false); }).first, kBlock);
    EXPECT_TRUE(v.speed_kts == 12.0 && !v.laden && v.fr == 0.18 && bits(v.af) == bits(af));
    EXPECT_SAME_BITS(v.speed_ms, 6.173333333333333);
    const int saved = ::dup(STDERR_FILENO);
    ::close(STDERR_FILENO);
    EXPECT_THROW(fail("unheard", here()), ModelFailure);
    failure_caught();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    EXPECT_EQ(report::style_for("FULL"), report::BacktraceStyle::Short);  // only "full" is full
}

// round_half_away() is std::round to the bit, choosing by branch or by mask,
// and in both vector lanes (special values, halves and their neighbours at
// every scale, random bit patterns), and the Froude number rounds like the
// library.
TEST(FastPaths, InlineRoundingIsTheLibrarys) {
    const auto check = [](double value) {
        const std::array<double, 2> values{value, -value};
        const lanes::Doubles pair = lanes::round_half_away(lanes::Doubles{values[0], values[1]});
        for (std::size_t lane = 0; lane < values.size(); ++lane) {
            const volatile double x = values[lane];  // volatile: -x + 0.0 may fold to 0.0 - x
            ASSERT_EQ(bits(round_half_away(x)), bits(std::round(x))) << std::hexfloat << x;
            ASSERT_EQ(bits(round_half_away<Masked>(x)), bits(std::round(x))) << std::hexfloat << x;
            ASSERT_EQ(bits(pair[lane]), bits(std::round(x))) << std::hexfloat << x;
        }
    };
    for (double x : {0.0, kInf, kNaN, limits::signaling_NaN(), 0.49999999999999994,
                     4503599627370495.5, 4503599627370496.0, 9007199254740993.0, 1e300,
                     limits::denorm_min(), limits::min(), limits::max()}) {
        check(x);
    }
    for (int exponent = -3; exponent <= 53; ++exponent) {
        for (double k = 0; k < 40; ++k) {
            const double base = std::ldexp(1.0, exponent);
            for (double x : {base + k + 0.5, base + k, base - k - 0.5}) {
                for (double y : {x, std::nextafter(x, kInf), std::nextafter(x, -kInf)}) {
                    check(y);
                }
            }
        }
    }
    std::mt19937_64 random(20261207);
    std::uniform_real_distribution<double> unit;
    for (int i = 0; i < 2'000'000; ++i) {
        const double x = std::bit_cast<double>(random());
        if (!std::isnan(x)) {  // only quiet NaNs reach the model's rounding
            check(x);
        }
        const double v = (unit(random) * 60.0 - 20.0) * 1852.0 / 3600.0;
        const double length = std::pow(10.0, unit(random) * 6.0 - 2.0);
        double fr = std::round(v / std::sqrt(9.80665 * length) * 1000.0) / 1000.0;
        fr = 0.05 > fr ? 0.05 : fr;
        ASSERT_EQ(bits(froude_number(v, length)), bits(0.35 < fr ? 0.35 : fr)) << v << length;
    }
}

void expect_compute_is_estimate(const Vessel& v, double wind_beta, std::int32_t scale,
                                double height, double wave_beta) {
    ASSERT_EQ(bits(compute(v, wind_beta, scale, height, wave_beta)),
              bits(estimate(v, wind_beta, scale, height, wave_beta).result))
        << v.displacement << " m³, " << v.cb << ", " << v.speed_kts << " kn, " << v.laden << ": "
        << wind_beta << ", " << scale << ", " << height << ", " << wave_beta;
}

// A vessel of this displacement whose block coefficient snaps to cb, at a speed.
Vessel hull(double displacement, double cb, double speed, bool laden) {
    const double length = std::cbrt(displacement / cb / (0.15 * 0.06));
    return at_speed(speed, laden, {displacement, length, 0.15 * length, 0.06 * length});
}

TEST(FastPaths, ComputeIsTheEstimate) {
    const double displacements[] = {1e-300, 1e-3, 0.5,        1.0, 3.0,   500.0, 5750.0,
                                    10000.0, 45000.0, 123456.789, 3.3e5, 1e9,  1e300};
    const double wind_betas[] = {-45.0, 0.0,  30.0,  std::nextafter(30.0, kInf), 45.0, 60.0, 60.5,
                                 90.0,  150.0, 151.0, 180.0, 250.0, kNaN, kInf, -kInf};
    const double heights[] = {-1.0, 0.2, 1.4, 2.0, 2.9, 3.0, 7.0, 12.0, kNaN, kInf};
    const double wave_betas[] = {0.0, 45.0, 90.0, 100.0, 135.0, 170.0, 200.0, kNaN};
    for (double displacement : displacements) {
        for (double cb : {0.55, 0.60, 0.65, 0.70, 0.75, 0.80, 0.85}) {
            for (const auto& [speed, laden] : {std::pair{12.0, true}, {12.0, false}, {-5.0, true},
                                               {-5.0, false}, {kNaN, true}}) {
                const Vessel v = hull(displacement, cb, speed, laden);
                for (std::size_t i = 0; i < 15'600; ++i) {  // 13 × 15 × 10 × 8 combinations
                    expect_compute_is_estimate(v, wind_betas[i / 13 % 15],
                                               static_cast<std::int32_t>(i % 13),
                                               heights[i / 195 % 10], wave_betas[i / 1950]);
                }
            }
        }
    }
}

// Threads alternating between displacements, each refilling its own displacement power entry.
TEST(FastPaths, DisplacementPowerCacheIsExactAcrossThreads) {
    std::vector<Vessel> fleet;
    for (double displacement : {500.0, 10000.0, 45000.0, 123456.789, 1e9, 0.75}) {
        fleet.push_back(hull(displacement, 0.6, 12.0, true));
    }
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&fleet, t] {
            for (std::size_t i = 0; i < 200'000; ++i) {
                expect_compute_is_estimate(fleet[(i * (t + 1) + t) % fleet.size()], 45.0,
                                           static_cast<std::int32_t>(i % 13), 2.0, 45.0);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

}  // namespace
}  // namespace veltrum::model
