// The model's published numbers, compared to the bit where the rules fix them.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "boundary/failure.hpp"
#include "model/vessel.hpp"
#include "stderr_capture.hpp"

namespace veltrum::model {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Units in the last place between two finite doubles of the same sign.
std::uint64_t ulps(double a, double b) {
    const std::uint64_t x = bits(a);
    const std::uint64_t y = bits(b);
    return x > y ? x - y : y - x;
}

#define EXPECT_SAME_BITS(actual, expected) \
    EXPECT_EQ(bits(actual), bits(expected)) << (actual) << " vs " << (expected)

// af is quoted as exact decimals; the formula in its stated order lands a few
// units in the last place away, and that formula is the right one.
constexpr std::uint64_t kAfTolerance = 8;

struct Failure {
    std::string message;
    std::string file;
    std::uint32_t line;
    std::uint32_t column;
};

template <class F>
Failure failure_of(F&& call) {
    testing_support::StderrCapture quiet;  // the reports are checked elsewhere
    try {
        call();
    } catch (const ModelFailure& failure) {
        failure_caught();
        return Failure{std::string(failure.message().data(), failure.message().size()),
                       std::string(failure.site().file), failure.site().line,
                       failure.site().column};
    }
    ADD_FAILURE() << "no model failure";
    return {};
}

const std::string kParticulars = "参数必须大于0";
const std::string kBlockCoefficient = "无效的方形系数";
const std::string kBeaufort = "蒲福风级必须在 0~12";

// --- construction ---------------------------------------------------------

struct Built {
    double particulars[4];
    double cb;
    double fr;
    double af;
};

class Construction : public testing::TestWithParam<Built> {};

TEST_P(Construction, SnapsFroudeAndCoefficient) {
    const Built& c = GetParam();
    const Vessel v = construct(c.particulars[0], c.particulars[1], c.particulars[2],
                               c.particulars[3]);
    EXPECT_SAME_BITS(v.cb, c.cb);
    EXPECT_SAME_BITS(v.fr, c.fr);
    EXPECT_LE(ulps(v.af, c.af), kAfTolerance) << v.af;
    EXPECT_SAME_BITS(v.speed_kts, 10.0);
    EXPECT_SAME_BITS(v.speed_ms, 5.144444444444445);
    EXPECT_TRUE(v.laden);
    EXPECT_SAME_BITS(v.displacement, c.particulars[0]);
    EXPECT_SAME_BITS(v.draught, c.particulars[3]);
}

INSTANTIATE_TEST_SUITE_P(
    Published, Construction,
    testing::Values(Built{{10000, 120, 20, 7}, 0.60, 0.15, 1.60675},
                    Built{{45000, 180, 32, 10}, 0.80, 0.122, 0.7770516},
                    Built{{5750, 100, 10, 10}, 0.60, 0.164, 1.5291088},  // raw 0.575, a tie
                    Built{{1, 1, 1, 1}, 0.85, 0.35, 3.1 - 18.7 * 0.35 - 25.0 * 0.35 * 0.35},
                    Built{{1, 10000, 1, 1}, 0.55, 0.05, 1.7 - 1.4 * 0.05 - 7.4 * 0.0025},
                    Built{{1, kInf, 1, 1}, 0.55, 0.05, 1.7 - 1.4 * 0.05 - 7.4 * 0.0025}));

TEST(Construction, RawCoefficientOfTheExample) {
    EXPECT_SAME_BITS(10000.0 / ((120.0 * 20.0) * 7.0), 0.5952380952380952);
}

class Snap : public testing::TestWithParam<std::pair<double, double>> {};

TEST_P(Snap, NearestTableValueWithEvenTieBreak) {
    EXPECT_SAME_BITS(snap_block_coefficient(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Published, Snap,
                         testing::Values(std::pair{0.575, 0.60}, std::pair{0.625, 0.60},
                                         std::pair{0.675, 0.70}, std::pair{0.725, 0.70},
                                         std::pair{0.775, 0.80}, std::pair{0.825, 0.80},
                                         std::pair{0.3, 0.55}, std::pair{1.2, 0.85},
                                         std::pair{0.0, 0.55}, std::pair{0.78125, 0.80},
                                         std::pair{kNaN, 0.0}, std::pair{kInf, 0.0}));

TEST(Construction, FroudeLimitsKeepNaN) {
    EXPECT_SAME_BITS(froude_number(5.144444444444445, 1.0), 0.35);
    EXPECT_SAME_BITS(froude_number(5.144444444444445, 10000.0), 0.05);
    EXPECT_TRUE(std::isnan(froude_number(kNaN, 100.0)));
}

class BadParticulars : public testing::TestWithParam<std::array<double, 4>> {};

TEST_P(BadParticulars, FailWithValueCheckBeforeAnythingElse) {
    const auto& p = GetParam();
    const Failure f = failure_of([&] { construct(p[0], p[1], p[2], p[3]); });
    EXPECT_EQ(f.message, kParticulars);
    EXPECT_EQ(f.file, "src\\lib.cpp");
    EXPECT_EQ(f.line, 12U);
    EXPECT_EQ(f.column, 9U);
}

INSTANTIATE_TEST_SUITE_P(
    Published, BadParticulars,
    testing::Values(std::array{0.0, 120.0, 20.0, 7.0}, std::array{10000.0, -0.0, 20.0, 7.0},
                    std::array{10000.0, 120.0, -20.0, 7.0}, std::array{10000.0, 120.0, 20.0, 0.0},
                    std::array{-1.0, 0.0, 0.0, 0.0}, std::array{kNaN, 0.0, 1.0, 1.0},
                    std::array{-kInf, 1.0, 1.0, 1.0}));

class UnsnappableParticulars : public testing::TestWithParam<std::array<double, 4>> {};

TEST_P(UnsnappableParticulars, FailWithBlockCoefficient) {
    const auto& p = GetParam();
    const Failure f = failure_of([&] { construct(p[0], p[1], p[2], p[3]); });
    EXPECT_EQ(f.message, kBlockCoefficient);
    EXPECT_EQ(f.file, "src\\lib.cpp");
    EXPECT_EQ(f.line, 70U);
    EXPECT_EQ(f.column, 14U);
}

INSTANTIATE_TEST_SUITE_P(
    Published, UnsnappableParticulars,
    testing::Values(std::array{kNaN, 1.0, 1.0, 1.0}, std::array{1.0, kNaN, 1.0, 1.0},
                    std::array{1.0, 1.0, 1.0, kNaN}, std::array{kInf, 1.0, 1.0, 1.0},
                    // the product underflows to zero: raw +∞
                    std::array{1.0, 1e-200, 1e-200, 1e-200}));

// --- operating condition --------------------------------------------------

struct Condition {
    double particulars[4];
    double speed_kts;
    bool laden;
    double speed_ms;
    double fr;
    double af;  // NaN: not checked
};

class Setup : public testing::TestWithParam<Condition> {};

TEST_P(Setup, RecomputesDependents) {
    const Condition& c = GetParam();
    Vessel v = construct(c.particulars[0], c.particulars[1], c.particulars[2], c.particulars[3]);
    setup(v, c.speed_kts, c.laden);
    EXPECT_SAME_BITS(v.speed_kts, c.speed_kts);
    EXPECT_EQ(v.laden, c.laden);
    if (!std::isnan(c.speed_ms)) {
        EXPECT_SAME_BITS(v.speed_ms, c.speed_ms);
    }
    EXPECT_SAME_BITS(v.fr, c.fr);
    if (!std::isnan(c.af)) {
        EXPECT_LE(ulps(v.af, c.af), kAfTolerance) << v.af;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Published, Setup,
    testing::Values(Condition{{10000, 120, 20, 7}, 12, true, 6.173333333333333, 0.18, 1.43572},
                    Condition{{10000, 120, 20, 7}, 12, false, 6.173333333333333, 0.18, 1.43572},
                    Condition{{45000, 180, 32, 10}, 12, true, 6.173333333333333, 0.147, 0.3480041},
                    Condition{{45000, 180, 32, 10}, 12, false, 6.173333333333333, 0.147, 0.214938},
                    Condition{{10000, 120, 20, 7}, 0, true, 0.0, 0.05, kNaN},
                    Condition{{10000, 120, 20, 7}, -5, true, kNaN, 0.05, kNaN},
                    Condition{{10000, 120, 20, 7}, 30, true, kNaN, 0.35, kNaN}));

TEST(Setup, TenKnotsLadenRestoresConstruction) {
    const Vessel built = construct(45000, 180, 32, 10);
    Vessel v = built;
    setup(v, 3.0, false);
    setup(v, 10.0, true);
    EXPECT_SAME_BITS(v.speed_ms, built.speed_ms);
    EXPECT_SAME_BITS(v.fr, built.fr);
    EXPECT_SAME_BITS(v.af, built.af);
    EXPECT_TRUE(v.laden);
}

TEST(Setup, NaNSpeedPropagates) {
    Vessel v = construct(10000, 120, 20, 7);
    setup(v, kNaN, true);
    EXPECT_TRUE(std::isnan(v.speed_ms));
    EXPECT_TRUE(std::isnan(v.fr));
    EXPECT_TRUE(std::isnan(v.af));
    EXPECT_TRUE(std::isnan(compute(v, 0, 4, 2.0, 0)));
}

TEST(Setup, UnknownCoefficientKeepsEverythingButAf) {
    Vessel v = construct(10000, 120, 20, 7);
    v.cb = 0.0;  // not reachable through construction
    const double af = v.af;
    const Failure f = failure_of([&] { setup(v, 12.0, false); });
    EXPECT_EQ(f.message, kBlockCoefficient);
    EXPECT_EQ(f.line, 70U);
    EXPECT_SAME_BITS(v.speed_kts, 12.0);
    EXPECT_FALSE(v.laden);
    EXPECT_SAME_BITS(v.speed_ms, 6.173333333333333);
    EXPECT_SAME_BITS(v.fr, 0.18);
    EXPECT_SAME_BITS(v.af, af);
}

// --- estimate -------------------------------------------------------------

struct Weather {
    bool laden;
    double wind_beta;
    std::int32_t wind_scale;
    double wave_height;
    double wave_beta;
    double result;
};

class Compute : public testing::TestWithParam<Weather> {};

TEST_P(Compute, PublishedResults) {
    const Weather& w = GetParam();
    Vessel v = construct(10000, 120, 20, 7);
    setup(v, 12.0, w.laden);
    EXPECT_SAME_BITS(compute(v, w.wind_beta, w.wind_scale, w.wave_height, w.wave_beta), w.result);
}

INSTANTIATE_TEST_SUITE_P(Published, Compute,
                         testing::Values(Weather{true, 0, 4, 2.0, 0, -0.66},
                                         Weather{true, 45, 4, 2.0, 45, -0.56},
                                         Weather{true, 90, 6, 2.9, 100, -1.97},
                                         Weather{true, 170, 7, 3.0, 170, -1.61},
                                         Weather{true, 0, 12, 7.0, 0, -2.93},
                                         Weather{true, 0, 0, 0.5, 200, -0.04},
                                         Weather{true, 0, 12, 12, 0, -2.97},
                                         Weather{false, 0, 12, 12, 0, -2.97},
                                         Weather{false, 45, 4, 2.0, 45, -0.6}));

struct Steps {
    double wind_beta;
    std::int32_t wind_scale;
    double wave_height;
    double wave_beta;
    Estimate expected;
};

class Intermediates : public testing::TestWithParam<Steps> {};

TEST_P(Intermediates, EveryStepToTheBit) {
    const Steps& s = GetParam();
    Vessel v = construct(10000, 120, 20, 7);
    setup(v, 12.0, true);
    const Estimate e = estimate(v, s.wind_beta, s.wind_scale, s.wave_height, s.wave_beta);
    EXPECT_SAME_BITS(e.cw, s.expected.cw);
    EXPECT_SAME_BITS(e.bn, s.expected.bn);
    EXPECT_SAME_BITS(e.form, s.expected.form);
    EXPECT_SAME_BITS(e.wind, s.expected.wind);
    EXPECT_SAME_BITS(e.height, s.expected.height);
    EXPECT_SAME_BITS(e.factor, s.expected.factor);
    EXPECT_SAME_BITS(e.wave, s.expected.wave);
    EXPECT_SAME_BITS(e.total, s.expected.total);
    EXPECT_SAME_BITS(e.result, s.expected.result);
}

INSTANTIATE_TEST_SUITE_P(
    Published, Intermediates,
    testing::Values(Steps{0, 4, 2.0, 0,
                          {1.0, 4.0, 8.536714437311554, -1.4707594256399512, 0.7 * 2.0, -0.7,
                           -0.3144, -0.6613078276919854, -0.66}},
                    Steps{170, 7, 3.0, 170,
                          {0.185, 6.1, 104.5844677930485, -3.333418224150187, 3.0, -0.6, -0.8712,
                           -1.6098654672450559, -1.61}}));

TEST(Compute, SoftLimitBeyondTwoKnots) {
    Vessel v = construct(10000, 120, 20, 7);
    setup(v, 12.0, true);
    const Estimate e = estimate(v, 0, 12, 7.0, 0);
    EXPECT_NEAR(e.total, -11.319836, 5e-7);
    EXPECT_SAME_BITS(e.result, -2.93);
}

TEST(Compute, TinyLossRoundsToNegativeZero) {
    Vessel v = construct(500, 1, 1, 1);
    setup(v, 10.0, true);
    const double r = compute(v, 0, 1, 1.3, 45);
    EXPECT_SAME_BITS(r, -0.0);
}

class EffectiveHeight : public testing::TestWithParam<std::pair<double, double>> {};

TEST_P(EffectiveHeight, LimitsAndNaNRules) {
    Vessel v = construct(10000, 120, 20, 7);
    EXPECT_SAME_BITS(estimate(v, 0, 0, GetParam().first, 0).height, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Rules, EffectiveHeight,
                         testing::Values(std::pair{kNaN, 0.2}, std::pair{kInf, 9.0},
                                         std::pair{-kInf, 0.2}, std::pair{0.0, 0.2},
                                         std::pair{12.0, 6.6},
                                         std::pair{1e6, 9.0}, std::pair{2.9, 0.7 * 2.9}));

class Directions : public testing::TestWithParam<std::pair<double, double>> {};

// Same weather from an angle outside 0..180 or NaN as from its published row.
TEST_P(Directions, OutOfRangeAnglesUseTheEndRows) {
    Vessel v = construct(10000, 120, 20, 7);
    setup(v, 12.0, true);
    const auto [angle, equivalent] = GetParam();
    const Estimate a = estimate(v, angle, 5, 4.0, angle);
    const Estimate b = estimate(v, equivalent, 5, 4.0, equivalent);
    EXPECT_SAME_BITS(a.cw, b.cw);
    EXPECT_SAME_BITS(a.factor, b.factor);
}

INSTANTIATE_TEST_SUITE_P(Rules, Directions,
                         testing::Values(std::pair{-45.0, 0.0}, std::pair{200.0, 190.0},
                                         std::pair{kNaN, 190.0}));

TEST(Compute, WaveDirectionBeyondAstern) {
    Vessel v = construct(10000, 120, 20, 7);
    EXPECT_SAME_BITS(estimate(v, 0, 0, 0.5, 200).factor, -0.7);
    EXPECT_SAME_BITS(estimate(v, 0, 0, 0.5, kNaN).factor, -0.7);
    EXPECT_SAME_BITS(estimate(v, 0, 0, 0.5, 170).factor, 0.7);
}

class BeaufortRange : public testing::TestWithParam<std::int32_t> {};

TEST_P(BeaufortRange, OutsideZeroToTwelveFails) {
    const Vessel v = construct(10000, 120, 20, 7);
    const Failure f = failure_of([&] { compute(v, 0, GetParam(), 1, 0); });
    EXPECT_EQ(f.message, kBeaufort);
    EXPECT_EQ(f.file, "src\\lib.cpp");
    EXPECT_EQ(f.line, 78U);
    EXPECT_EQ(f.column, 9U);
}

INSTANTIATE_TEST_SUITE_P(Rules, BeaufortRange,
                         testing::Values(-1, 13, std::numeric_limits<std::int32_t>::min(),
                                         std::numeric_limits<std::int32_t>::max()));

TEST(Compute, BeaufortEndsAccepted) {
    const Vessel v = construct(10000, 120, 20, 7);
    EXPECT_FALSE(std::isnan(compute(v, 0, 0, 1, 0)));
    EXPECT_FALSE(std::isnan(compute(v, 0, 12, 1, 0)));
}

}  // namespace
}  // namespace veltrum::model
