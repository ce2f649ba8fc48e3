// The speed-loss model. Every expression keeps the evaluation order of the
// published formulas, and every limit is the one-sided comparison its rule
// states, so results are the same to the bit on every conforming platform.
#include "model/vessel.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "boundary/failure/failure.hpp"
#include "model/choice.hpp"
#include "model/lanes.hpp"
#include "model/rounding.hpp"

namespace veltrum::model {
namespace {

// The checks' fixed locations: a reported contract, the file, line and column
// that each check's failure report prints (tests/python/test_failures.py holds
// them too), not lines of this tree. src\lib.cpp, backslash and all, names no
// file here; the values stay as they are whatever code moves.
constexpr Site kParticularsSite{"src\\lib.cpp", 12, 9};
constexpr Site kBlockCoefficientSite{"src\\lib.cpp", 70, 14};
constexpr Site kBeaufortSite{"src\\lib.cpp", 78, 9};

constexpr std::string_view kParticularsMessage = "参数必须大于0";
constexpr std::string_view kBlockCoefficientMessage = "无效的方形系数";
constexpr std::string_view kBeaufortMessage = "蒲福风级必须在 0~12";

constexpr double kGravity = 9.80665;
constexpr double kTwoThirds = 0.6666666666666666;
constexpr double kBeaufortExponent = 6.5;
constexpr double kInitialSpeedKts = 10.0;
constexpr double kInitialSpeedMs = 5.144444444444445;

// Table order matters: it breaks ties between equally near values.
constexpr std::array<double, 7> kBlockCoefficients{0.55, 0.60, 0.65, 0.70, 0.75, 0.80, 0.85};

// af = (a + b·fr) + fr·fr·c
struct Row {
    double a;
    double b;
    double c;
};

constexpr std::array<Row, 7> kLadenRows{{
    {1.7, -1.4, -7.4},
    {2.2, -2.5, -9.7},
    {2.6, -3.7, -11.6},
    {3.1, -5.3, -12.4},
    {2.4, -10.6, -9.5},
    {2.6, -13.1, -15.1},
    {3.1, -18.7, -25.0},
}};

constexpr std::array<Row, 7> kBallastRows{{
    {1.7, -1.4, -7.4},
    {2.2, -2.5, -9.7},
    {2.6, -3.7, -11.6},
    {3.1, -5.3, -12.4},
    {2.6, -12.5, -12.0},
    {3.0, -16.3, -18.0},
    {3.4, -20.9, -28.0},
}};

// Limits that keep a NaN: the limit applies only when the comparison holds.
inline double at_least(double x, double lo) { return lo > x ? lo : x; }
inline double at_most(double x, double hi) { return hi < x ? hi : x; }

// A comparison's result that the optimiser cannot see through. Written plainly,
// `x > lo ? x : lo` is lowered by clang to the machine's IEEE maxNum where it has one
// (aarch64's fmaxnm, and fminnm for the other side), which agrees with the comparison
// for every value but a signalling NaN: maxNum returns that NaN, quieted, where the
// comparison gives the limit. Taken through an empty asm statement, the result is no
// longer visibly a comparison of the values chosen between, so the choice stays a
// compare and a select (fcmp, cset, tst, fcsel). x86-64 needs no such step: its maxsd and
// minsd return the second operand when either one is a NaN, which is the comparison
// itself, and the compiler orders the operands so; its code stays as it was.
inline bool opaque(bool condition) {
#if !defined(__x86_64__)
    __asm__("" : "+r"(condition));
#endif
    return condition;
}

// Limits that end a NaN at the limit: x is kept only when the comparison holds.
inline double keep_above(double x, double lo) { return opaque(x > lo) ? x : lo; }
inline double keep_below(double x, double hi) { return opaque(x < hi) ? x : hi; }

// Round half away from zero to a power of ten, keeping the sign of zero.
// round_to() calls the library; fast_round_to() is the same to the bit
// (model/rounding.hpp) and is what the hot paths use.
inline double round_to(double x, double scale) { return std::round(x * scale) / scale; }
template <class Choice = Branching>
inline double fast_round_to(double x, double scale) {
    return round_half_away<Choice>(x * scale) / scale;
}

// Double to int32 with saturation, NaN giving 0 (the plain cast is undefined there).
std::int32_t saturating_int32(double x) {
    if (std::isnan(x)) {
        return 0;
    }
    if (x >= 2147483647.0) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (x <= -2147483648.0) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(x);
}

const Row& coefficient_row(double cb, bool laden) {
    const auto& rows = laden ? kLadenRows : kBallastRows;
    for (std::size_t i = 0; i < kBlockCoefficients.size(); ++i) {
        if (cb == kBlockCoefficients[i]) {
            return rows[i];
        }
    }
    fail(kBlockCoefficientMessage, kBlockCoefficientSite);
}

inline double speed_reduction(const Row& row, double fr) {
    return (row.a + row.b * fr) + fr * fr * row.c;
}

// Row of the wind direction table by relative wind direction (a NaN takes the
// last row).
template <class Choice = Branching>
inline std::size_t wind_direction_row(double wind_beta) {
    return Choice::row(wind_beta, std::array<double, 3>{30.0, 60.0, 150.0});
}

constexpr std::size_t kWindDirectionRows = 4;

double wind_coefficient_of_row(std::size_t row, double bn) {
    switch (row) {
        case 0:
            return 2.0;
        case 1:
            return (bn + -4.0) * (bn + -4.0) * -0.03 + 1.7;
        case 2:
            return (bn + -6.0) * (bn + -6.0) * -0.06 + 0.9;
        default:
            return (bn + -8.0) * (bn + -8.0) * -0.03 + 0.4;
    }
}

// Half the wind direction coefficient, at least zero, to five decimals.
double half_wind_coefficient(double wind_beta, double bn) {
    const double c = at_least(wind_coefficient_of_row(wind_direction_row(wind_beta), bn), 0.0);
    return round_to(c * 0.5, 100000.0);
}

// Above force 6 the Beaufort number is damped: 6.1 at force 7, 6.6 at 12.
double effective_beaufort(std::int32_t wind_scale) {
    const double bn = static_cast<double>(wind_scale);
    if (wind_scale >= 7) {
        return at_least(bn + static_cast<double>(wind_scale - 6) * -0.9, 0.0);
    }
    return bn;
}

// What the wind term takes from the Beaufort number alone, for each of the
// thirteen accepted numbers: computed once, by the same expressions and the
// same pow as the step-by-step estimate, so a lookup gives the same bits.
struct BeaufortTerms {
    double bn;                                            // effective Beaufort number
    double bn_power;                                      // bn^6.5
    std::array<double, kWindDirectionRows> half_coefficient;  // Cw by direction row
};

constexpr std::int32_t kBeaufortNumbers = 13;

std::array<BeaufortTerms, kBeaufortNumbers> beaufort_table() {
    std::array<BeaufortTerms, kBeaufortNumbers> table{};
    for (std::int32_t scale = 0; scale < kBeaufortNumbers; ++scale) {
        BeaufortTerms& terms = table[static_cast<std::size_t>(scale)];
        terms.bn = effective_beaufort(scale);
        terms.bn_power = std::pow(terms.bn, kBeaufortExponent);
        for (std::size_t row = 0; row < kWindDirectionRows; ++row) {
            const double c = at_least(wind_coefficient_of_row(row, static_cast<double>(scale)), 0.0);
            terms.half_coefficient[row] = round_to(c * 0.5, 100000.0);
        }
    }
    return table;
}

// Filled when the library is loaded, before any estimate can run.
const std::array<BeaufortTerms, kBeaufortNumbers> kBeaufortTerms = beaufort_table();

// The displacement's 2/3 power of the vessel this thread estimated for last:
// a voyage grid calls compute() many times on one vessel. Keyed by the
// displacement's bits, so only the very same double hits; it starts as 1.0,
// whose power is exactly 1.
//
// Any thread may call the model, with or without the interpreter lock, so each
// thread has an entry of its own: only its owner ever reads or writes it, and
// no interleaving of threads can pair one displacement with another's power.
// The initial-exec model makes the access a plain load at a fixed offset from
// the thread pointer, in the shared library too (the entry is a few bytes of
// the static TLS reserve); constant initialisation means no guard on the path.
struct DisplacementPowerEntry {
    std::uint64_t key;
    double power;
};

[[gnu::tls_model("initial-exec")]] constinit thread_local DisplacementPowerEntry
    t_displacement_power{std::bit_cast<std::uint64_t>(1.0), 1.0};

[[gnu::noinline, gnu::cold]] double refill_displacement_power(double displacement,
                                                              std::uint64_t key) {
    const double power = std::pow(displacement, kTwoThirds);
    t_displacement_power = {key, power};
    return power;
}

inline double displacement_power(double displacement) {
    const auto key = std::bit_cast<std::uint64_t>(displacement);
    const DisplacementPowerEntry& entry = t_displacement_power;
    if (entry.key == key) [[likely]] {
        return entry.power;
    }
    return refill_displacement_power(displacement, key);
}

// Effective wave height: damped above 6 m, kept within [0.2, 9.0]; a NaN (or
// the ∞ − ∞ of an infinite height) ends as a limit, not as a NaN.
template <class Choice = Branching>
double effective_wave_height(double wave_height) {
    double h = Choice::select(wave_height < 3.0, 0.7 * wave_height, wave_height);
    h = keep_above(h, 0.2);
    h = Choice::select(h > 6.0, h - (h - 6.0) * 0.9, h);
    return keep_below(h, 9.0);
}

// Wave direction factor by row (wave_beta at most 30, 60, 90, 120, 150, 180,
// then above or NaN) and by effective height; beam-to-following seas below
// 3 m add speed.
constexpr std::array<std::array<double, 7>, 2> kWaveFactors{{
    {-0.7, -0.6, -0.4, 0.4, 0.6, 0.7, -0.7},     // h < 3 (or NaN)
    {-0.7, -0.6, -0.4, -0.3, -0.5, -0.6, -0.7},  // h >= 3
}};

template <class Choice = Branching>
double wave_factor(double wave_beta, double h) {
    const std::size_t row =
        Choice::row(wave_beta, std::array<double, 6>{30.0, 60.0, 90.0, 120.0, 150.0, 180.0});
    return kWaveFactors[static_cast<std::size_t>(h >= 3.0)][row];
}

// Totals beyond ±2 knots grow at a tenth of the rate; the sign bit decides.
template <class Choice = Branching>
double soft_limit(double t) {
    const double magnitude = std::fabs(t);
    const double softened = std::copysign(1.0, t) * ((magnitude - 2.0) * 0.1 + 2.0);
    return Choice::select(magnitude > 2.0, softened, t);
}

}  // namespace

double snap_block_coefficient(double raw) {
    std::array<double, kBlockCoefficients.size()> distance{};
    double nearest = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < kBlockCoefficients.size(); ++i) {
        distance[i] = std::fabs(kBlockCoefficients[i] - raw);
        if (opaque(distance[i] < nearest)) {  // NaN distances never win
            nearest = distance[i];
        }
    }
    std::size_t candidates = 0;
    std::size_t only = 0;
    for (std::size_t i = 0; i < distance.size(); ++i) {
        if (std::fabs(distance[i] - nearest) < 1e-9) {
            ++candidates;
            only = i;
        }
    }
    if (candidates == 1) {
        return kBlockCoefficients[only];
    }
    // A tie (or no candidate at all): the first candidate whose hundredths are
    // even, which for this table is the multiple of 0.10. Left plain, the tests of
    // the three even rows fold into one minimum of their differences (fminnm on
    // aarch64): right here, but the wheels are checked to hold no such instruction.
    for (std::size_t i = 0; i < distance.size(); ++i) {
        if (opaque(std::fabs(distance[i] - nearest) < 1e-9)) {
            const double c = kBlockCoefficients[i];
            if (saturating_int32(std::round((c - std::floor(c)) * 100.0)) % 2 == 0) {
                return c;
            }
        }
    }
    return 0.0;
}

double froude_number(double speed_ms, double length) {
    double fr = fast_round_to(speed_ms / std::sqrt(kGravity * length), 1000.0);
    fr = at_least(fr, 0.05);
    return at_most(fr, 0.35);
}

namespace {

inline bool particulars_positive(double displacement, double length, double breadth,
                                 double draught) {
    return !(displacement <= 0.0 || length <= 0.0 || breadth <= 0.0 || draught <= 0.0);
}

inline double raw_block_coefficient(double displacement, double length, double breadth,
                                    double draught) {
    return displacement / ((length * breadth) * draught);
}

}  // namespace

Vessel construct(double displacement, double length, double breadth, double draught) {
    if (!particulars_positive(displacement, length, breadth, draught)) {
        fail(kParticularsMessage, kParticularsSite);
    }
    const double cb =
        snap_block_coefficient(raw_block_coefficient(displacement, length, breadth, draught));
    const Row& row = coefficient_row(cb, true);
    const double fr = froude_number(kInitialSpeedMs, length);
    return Vessel{displacement,     length, breadth, draught, cb, kInitialSpeedKts,
                  kInitialSpeedMs,  fr,     speed_reduction(row, fr), true};
}

void setup(Vessel& vessel, double speed_kts, bool laden) {
    // Each value is stored as soon as it is known: a failing row lookup keeps
    // the new speed and Froude number and the previous af.
    vessel.speed_kts = speed_kts;
    vessel.laden = laden;
    vessel.speed_ms = (speed_kts * 1852.0) / 3600.0;
    vessel.fr = froude_number(vessel.speed_ms, vessel.length);
    const Row& row = coefficient_row(vessel.cb, laden);
    vessel.af = speed_reduction(row, vessel.fr);
}

Estimate estimate(const Vessel& vessel, double wind_beta, std::int32_t wind_scale,
                  double wave_height, double wave_beta) {
    if (static_cast<std::uint32_t>(wind_scale) >= 13U) {
        fail(kBeaufortMessage, kBeaufortSite);
    }
    // Step by step, every power and rounding computed afresh: the reference
    // that compute()'s tables and cache are checked against.
    Estimate e{};
    e.cw = half_wind_coefficient(wind_beta, static_cast<double>(wind_scale));
    const double bn = effective_beaufort(wind_scale);
    e.bn = bn;
    const double k = vessel.laden ? 0.5 : 0.7;
    e.form = std::pow(bn, kBeaufortExponent) / (std::pow(vessel.displacement, kTwoThirds) * 2.7) +
             k * bn;
    e.wind = ((((e.cw * vessel.af) * e.form) / 100.0) * vessel.speed_ms) * -1.943844;

    e.height = effective_wave_height(wave_height);
    e.factor = wave_factor(wave_beta, e.height);
    e.wave = round_to((e.height * 0.178 + e.height * e.height * 0.102) * e.factor, 10000.0);

    e.total = e.wave * 0.7 + e.wind * 0.3;
    e.result = round_to(soft_limit(e.total), 100.0);
    return e;
}

namespace {

// compute() in two parts, shared with Estimator: the wind term W for a
// Beaufort number within 0 to 12 and a wind direction row, then the rest. The
// work that cannot change a result is taken out: the Beaufort terms come from
// the table, the displacement power from the caller, and rounding is inline.
// Same expressions in the same order as estimate(), so the same bits.
inline double wind_term(const Vessel& vessel, double displacement_power, std::int32_t wind_scale,
                        std::size_t wind_row) {
    const BeaufortTerms& beaufort = kBeaufortTerms[static_cast<std::size_t>(wind_scale)];
    const double cw = beaufort.half_coefficient[wind_row];
    const double k = vessel.laden ? 0.5 : 0.7;
    const double form = beaufort.bn_power / (displacement_power * 2.7) + k * beaufort.bn;
    return ((((cw * vessel.af) * form) / 100.0) * vessel.speed_ms) * -1.943844;
}

// The wave steps that depend on the height alone: the effective height and
// the wave term before its direction factor.
struct Waves {
    double height;
    double magnitude;
};

template <class Choice>
inline Waves waves_of_height(double wave_height) {
    const double height = effective_wave_height<Choice>(wave_height);
    return {height, height * 0.178 + height * height * 0.102};
}

template <class Choice>
inline double with_waves(double wind, const Waves& waves, double wave_beta) {
    const double factor = wave_factor<Choice>(wave_beta, waves.height);
    const double wave = fast_round_to<Choice>(waves.magnitude * factor, 10000.0);

    const double total = wave * 0.7 + wind * 0.3;
    return fast_round_to<Choice>(soft_limit<Choice>(total), 100.0);
}

template <class Choice>
inline double with_waves(double wind, double wave_height, double wave_beta) {
    return with_waves<Choice>(wind, waves_of_height<Choice>(wave_height), wave_beta);
}

// soft_limit() and the rest of with_waves() for two estimates at once, from
// their wind terms and wave direction factors: the same operations in the same
// order in each lane.
inline lanes::Doubles soft_limit(lanes::Doubles t) {
    const lanes::Doubles magnitude = lanes::fabs(t);
    const lanes::Doubles softened =
        lanes::copysign(lanes::both(1.0), t) * ((magnitude - 2.0) * 0.1 + 2.0);
    return lanes::select(magnitude > 2.0, softened, t);
}

inline lanes::Doubles round_to(lanes::Doubles x, double scale) {
    return lanes::round_half_away(x * scale) / scale;
}

inline lanes::Doubles with_waves(lanes::Doubles wind, lanes::Doubles magnitude,
                                 lanes::Doubles factor) {
    const lanes::Doubles wave = round_to(magnitude * factor, 10000.0);

    const lanes::Doubles total = wave * 0.7 + wind * 0.3;
    return round_to(soft_limit(total), 100.0);
}

}  // namespace

// The displacement power comes from this thread's entry of the vessel it
// estimated last.
double compute(const Vessel& vessel, double wind_beta, std::int32_t wind_scale,
               double wave_height, double wave_beta) {
    if (static_cast<std::uint32_t>(wind_scale) >= 13U) {
        fail(kBeaufortMessage, kBeaufortSite);
    }
    const double wind = wind_term(vessel, displacement_power(vessel.displacement), wind_scale,
                                  wind_direction_row(wind_beta));
    return with_waves<Branching>(wind, wave_height, wave_beta);
}

static_assert(Estimator::kWindTerms ==
              static_cast<std::size_t>(kBeaufortNumbers) * kWindDirectionRows);

bool Estimator::set_hull(double displacement, double length, double breadth, double draught) {
    if (!particulars_positive(displacement, length, breadth, draught)) {
        return false;
    }
    const double cb =
        snap_block_coefficient(raw_block_coefficient(displacement, length, breadth, draught));
    if (cb == 0.0) {  // matches no row: construct() would fail
        return false;
    }
    // The speed-dependent fields are left to set_condition(), which replaces
    // all of them as setup() does.
    vessel_.displacement = displacement;
    vessel_.length = length;
    vessel_.breadth = breadth;
    vessel_.draught = draught;
    vessel_.cb = cb;
    displacement_power_ = std::pow(displacement, kTwoThirds);
    known_ = 0;
    return true;
}

void Estimator::set_condition(double speed_kts, bool laden) {
    setup(vessel_, speed_kts, laden);
    known_ = 0;
}

inline double Estimator::wind_for(std::int32_t wind_scale, double wind_beta) {
    // The choices by mask: an array's conditions are as good as random to a
    // branch predictor.
    const std::size_t row = wind_direction_row<Masked>(wind_beta);
    const std::size_t index = static_cast<std::size_t>(wind_scale) * kWindDirectionRows + row;
    const std::uint64_t bit = std::uint64_t{1} << index;
    if ((known_ & bit) == 0) {
        wind_[index] = wind_term(vessel_, displacement_power_, wind_scale, row);
        known_ |= bit;
    }
    return wind_[index];
}

double Estimator::compute(double wind_beta, std::int32_t wind_scale, double wave_height,
                          double wave_beta) {
    if (static_cast<std::uint32_t>(wind_scale) >= 13U) {
        fail(kBeaufortMessage, kBeaufortSite);
    }
    return with_waves<Masked>(wind_for(wind_scale, wind_beta), wave_height, wave_beta);
}

void Estimator::compute_directions(std::int32_t wind_scale, double wave_height,
                                   std::span<const double> wind_beta,
                                   std::span<const double> wave_beta, std::span<double> change) {
    if (static_cast<std::uint32_t>(wind_scale) >= 13U) {
        fail(kBeaufortMessage, kBeaufortSite);
    }
    const Waves waves = waves_of_height<Masked>(wave_height);
    // Two at a time, the rows and table lookups lane by lane.
    std::size_t i = 0;
    for (; i + 2 <= change.size(); i += 2) {
        const lanes::Doubles winds{wind_for(wind_scale, wind_beta[i]),
                                   wind_for(wind_scale, wind_beta[i + 1])};
        const lanes::Doubles factor{wave_factor<Masked>(wave_beta[i], waves.height),
                                    wave_factor<Masked>(wave_beta[i + 1], waves.height)};
        const lanes::Doubles pair = with_waves(winds, lanes::both(waves.magnitude), factor);
        change[i] = pair[0];
        change[i + 1] = pair[1];
    }
    for (; i < change.size(); ++i) {
        change[i] = with_waves<Masked>(wind_for(wind_scale, wind_beta[i]), waves, wave_beta[i]);
    }
}

void Estimator::compute_each(std::span<const std::int32_t> wind_scale,
                             std::span<const double> wave_height,
                             std::span<const double> wind_beta, std::span<const double> wave_beta,
                             std::span<double> change) {
    for (const std::int32_t scale : wind_scale.first(change.size())) {
        if (static_cast<std::uint32_t>(scale) >= 13U) {
            fail(kBeaufortMessage, kBeaufortSite);
        }
    }
    std::size_t i = 0;
    for (; i + 2 <= change.size(); i += 2) {
        const Waves first = waves_of_height<Masked>(wave_height[i]);
        const Waves second = waves_of_height<Masked>(wave_height[i + 1]);
        const lanes::Doubles winds{wind_for(wind_scale[i], wind_beta[i]),
                                   wind_for(wind_scale[i + 1], wind_beta[i + 1])};
        const lanes::Doubles factor{wave_factor<Masked>(wave_beta[i], first.height),
                                    wave_factor<Masked>(wave_beta[i + 1], second.height)};
        const lanes::Doubles pair =
            with_waves(winds, lanes::Doubles{first.magnitude, second.magnitude}, factor);
        change[i] = pair[0];
        change[i + 1] = pair[1];
    }
    for (; i < change.size(); ++i) {
        change[i] = with_waves<Masked>(wind_for(wind_scale[i], wind_beta[i]),
                                       waves_of_height<Masked>(wave_height[i]), wave_beta[i]);
    }
}

}  // namespace veltrum::model
