// speed_change_from_weather: the hindcast's arithmetic for one grid cell, in
// one pass. From the cell's time series of wind components, wave height and
// wave direction it makes every hour's estimate at every heading, and the
// cell's summaries over its hours and headings, with no array in between.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include <numpy/ndarraytypes.h>

#include "ufunc/from_weather.hpp"

#include <algorithm>
#include <array>
#include <cfenv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

#include "model/vessel.hpp"
#include "ufunc/vessel_cache.hpp"
#include "ufunc/weather.hpp"

namespace veltrum::ufunc {
namespace {

using model::Estimator;

// The operands in the signature's order after the vessel's,
// (),(),(),(),(),(),(h),(t),(t),(t),(t)->(t,h),(7).
enum Operand : int {
    kHeadings = kLaden + 1,
    kU10,
    kV10,
    kSwh,
    kMwd,
    kChange,
    kSummaries,
    kOperands,
};
constexpr int kInputs = kChange;
constexpr int kOutputs = kOperands - kChange;

// NumPy passes the loop's length, then the core dimensions in the order of
// their first appearance in the signature; the steps of the outer loop, one
// per operand, then each operand's core steps in order.
enum Dimension : int { kCells, kHeadingCount, kHours };
enum CoreStep : int {
    kHeadingStep = kOperands,
    kU10Step,
    kV10Step,
    kSwhStep,
    kMwdStep,
    kChangeHourStep,
    kChangeHeadingStep,
    kSummaryStep,
};

// The summaries of a cell, in this order in the output: the order of
// veltrum_tools.hindcast.kernel's ESTIMATES to WORST.
enum Summary : int {
    kEstimates,
    kLosses,
    kTotal,
    kSkipped,
    kCapped,
    kImpossible,
    kWorst,
    kSummaryCount
};
constexpr double kLossThreshold = -1.0;  // a loss of more than a knot

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// NumPy hands a loop aligned data, and memcpy of the element's size compiles
// to one load or store.
template <class T>
T load(const char* at) {
    T value{};
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T>
void store(char* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

// One cell's summaries, added up as its estimates are stored. The counts are
// integers until they are written.
struct Totals {
    std::int64_t estimates = 0;
    std::int64_t losses = 0;
    std::int64_t skipped = 0;
    std::int64_t capped = 0;
    std::int64_t impossible = 0;
    double total = 0.0;
    double worst = kInfinity;

    // A stored estimate, read back as a double. NaN is no estimate; an infinity
    // (after a speed whose m/s overflow) is one, as the hindcast counts it.
    void add(double change) {
        const bool estimate = change == change;
        estimates += static_cast<std::int64_t>(estimate);
        losses += static_cast<std::int64_t>(change < kLossThreshold);
        total += estimate ? change : 0.0;  // +0.0 changes no sum that starts at +0.0
        worst = change < worst ? change : worst;
    }
};

// Block of cells run hour by hour: the fields of one hour, and the estimates,
// are stored cell after cell, so a block reads and writes whole cache lines
// however far apart the hours lie. At one heading the model takes the block's
// cells of an hour together.
constexpr npy_intp kBlockCells = 64;
// Headings estimated together, at most.
constexpr npy_intp kHeadingBatch = 16;

// Field: the type of the four fields; Out: the type the changes are stored in.
template <class Field, class Out>
class WeatherLoop {
public:
    WeatherLoop(char** args, const npy_intp* dimensions, const npy_intp* steps)
        : args_(args),
          steps_(steps),
          cells_(dimensions[kCells]),
          headings_(dimensions[kHeadingCount]),
          hours_(dimensions[kHours]) {}

    // Every cell; true when a cell's vessel was rejected.
    bool run() {
        const bool one_vessel = VesselCache::one_vessel(steps_);
        bool rejected = false;
        Estimator* vessel = nullptr;
        if (one_vessel && cells_ > 0) {
            vessel = cache_.at(args_, steps_, 0);
            rejected = vessel == nullptr;
        }
        const npy_intp block = one_vessel ? kBlockCells : 1;
        std::array<Totals, kBlockCells> totals{};
        for (npy_intp first = 0; first < cells_; first += block) {
            const npy_intp count = std::min(block, cells_ - first);
            if (!one_vessel) {
                vessel = cache_.at(args_, steps_, first);
                rejected = rejected || vessel == nullptr;
            }
            std::fill_n(totals.begin(), count, Totals{});
            for (npy_intp hour = 0; hour < hours_; ++hour) {
                if (headings_ == 1) {  // one estimate a cell-hour: the block's cells together
                    block_hour(first, count, hour, vessel, totals);
                } else {
                    for (npy_intp i = 0; i < count; ++i) {
                        cell_hour(first + i, hour, vessel, totals[static_cast<std::size_t>(i)]);
                    }
                }
            }
            for (npy_intp i = 0; i < count; ++i) {
                write_summaries(first + i, totals[static_cast<std::size_t>(i)]);
            }
        }
        return rejected;
    }

private:
    const char* at(int operand, npy_intp cell) const {
        return args_[operand] + cell * steps_[operand];
    }

    double field(int operand, int step, npy_intp cell, npy_intp hour) const {
        return static_cast<double>(load<Field>(at(operand, cell) + hour * steps_[step]));
    }

    // The weather of one cell-hour in the model's terms.
    struct Weather {
        double wind_from;
        double height;
        double waves_from;
        std::int32_t force;
    };

    // Reads the fields of one cell-hour and counts it. False, and NaN written at
    // every heading, when it is skipped (a field not finite), its weather
    // impossible or its vessel rejected.
    bool weather_of(npy_intp cell, npy_intp hour, const Estimator* vessel, Totals& totals,
                    Weather& weather) {
        const double u = field(kU10, kU10Step, cell, hour);
        const double v = field(kV10, kV10Step, cell, hour);
        weather.height = field(kSwh, kSwhStep, cell, hour);
        weather.waves_from = field(kMwd, kMwdStep, cell, hour);
        if (!(std::isfinite(u) && std::isfinite(v) && std::isfinite(weather.height) &&
              std::isfinite(weather.waves_from))) {
            ++totals.skipped;
            fill_nan(cell, hour);
            return false;
        }
        const double speed = wind_speed(u, v);
        if (!physically_possible(speed, weather.height)) [[unlikely]] {
            ++totals.impossible;
            fill_nan(cell, hour);
            return false;
        }
        totals.capped += static_cast<std::int64_t>(speed >= kForce13LowerBound);
        if (vessel == nullptr) {
            fill_nan(cell, hour);
            return false;
        }
        weather.wind_from = wind_from(u, v);
        weather.force = beaufort_force(speed);
        return true;
    }

    char* change_at(npy_intp cell, npy_intp hour) const {
        return args_[kChange] + cell * steps_[kChange] + hour * steps_[kChangeHourStep];
    }

    // One hour of one cell at every heading, the headings a few at a time.
    void cell_hour(npy_intp cell, npy_intp hour, Estimator* vessel, Totals& totals) {
        Weather weather{};
        if (!weather_of(cell, hour, vessel, totals, weather)) {
            return;
        }
        char* const out = change_at(cell, hour);
        const char* const heading = at(kHeadings, cell);
        std::array<double, kHeadingBatch> wind_beta;
        std::array<double, kHeadingBatch> wave_beta;
        std::array<double, kHeadingBatch> change;
        for (npy_intp first = 0; first < headings_; first += kHeadingBatch) {
            const auto count = static_cast<std::size_t>(std::min(kHeadingBatch, headings_ - first));
            for (std::size_t j = 0; j < count; ++j) {
                const npy_intp at_heading = first + static_cast<npy_intp>(j);
                angles_off_bow(load<double>(heading + at_heading * steps_[kHeadingStep]), weather,
                               wind_beta[j], wave_beta[j]);
            }
            vessel->compute_directions(weather.force, weather.height,
                                       std::span(wind_beta).first(count),
                                       std::span(wave_beta).first(count),
                                       std::span(change).first(count));
            for (std::size_t j = 0; j < count; ++j) {
                const npy_intp at_heading = first + static_cast<npy_intp>(j);
                totals.add(stored(out + at_heading * steps_[kChangeHeadingStep], change[j]));
            }
        }
    }

    // One hour of the cells of a block at their one heading, estimated together.
    void block_hour(npy_intp first, npy_intp count, npy_intp hour, Estimator* vessel,
                    std::array<Totals, kBlockCells>& totals) {
        std::array<std::int32_t, kBlockCells> force;
        std::array<double, kBlockCells> height;
        std::array<double, kBlockCells> wind_beta;
        std::array<double, kBlockCells> wave_beta;
        std::array<double, kBlockCells> change;
        std::array<std::size_t, kBlockCells> cell_of;
        std::size_t estimates = 0;
        for (npy_intp i = 0; i < count; ++i) {
            const auto k = static_cast<std::size_t>(i);
            Weather weather{};
            if (!weather_of(first + i, hour, vessel, totals[k], weather)) {
                continue;
            }
            force[estimates] = weather.force;
            height[estimates] = weather.height;
            angles_off_bow(load<double>(at(kHeadings, first + i)), weather, wind_beta[estimates],
                           wave_beta[estimates]);
            cell_of[estimates++] = k;
        }
        if (estimates == 0) {
            return;
        }
        vessel->compute_each(std::span(force).first(estimates), std::span(height).first(estimates),
                             std::span(wind_beta).first(estimates),
                             std::span(wave_beta).first(estimates),
                             std::span(change).first(estimates));
        for (std::size_t e = 0; e < estimates; ++e) {
            const std::size_t k = cell_of[e];
            totals[k].add(stored(change_at(first + static_cast<npy_intp>(k), hour), change[e]));
        }
    }

    // The wind's and the waves' angles off the bow for a heading: without a
    // floating remainder where the differences of directions lie within a turn
    // (always, for finite headings of one turn).
    static void angles_off_bow(double heading, const Weather& weather, double& wind_beta,
                               double& wave_beta) {
        const double wind = weather.wind_from - heading;
        const double wave = weather.waves_from - heading;
        if (std::fabs(wind) < 360.0 && std::fabs(wave) < 360.0) [[likely]] {
            wind_beta = fold_within_turn(wind);
            wave_beta = fold_within_turn(wave);
        } else {
            wind_beta = relative_angle(heading, weather.wind_from);
            wave_beta = relative_angle(heading, weather.waves_from);
        }
    }

    // The estimate stored in the output's type, read back.
    static double stored(char* at, double change) {
        const auto value = static_cast<Out>(change);
        store(at, value);
        return static_cast<double>(value);
    }

    void fill_nan(npy_intp cell, npy_intp hour) const {
        char* const out = change_at(cell, hour);
        for (npy_intp j = 0; j < headings_; ++j) {
            store(out + j * steps_[kChangeHeadingStep], static_cast<Out>(kNaN));
        }
    }

    void write_summaries(npy_intp cell, const Totals& totals) {
        std::array<double, kSummaryCount> values{};
        values[kEstimates] = static_cast<double>(totals.estimates);
        values[kLosses] = static_cast<double>(totals.losses);
        values[kTotal] = totals.total;
        values[kSkipped] = static_cast<double>(totals.skipped);
        values[kCapped] = static_cast<double>(totals.capped);
        values[kImpossible] = static_cast<double>(totals.impossible);
        values[kWorst] = totals.worst;
        char* const out = args_[kSummaries] + cell * steps_[kSummaries];
        for (int k = 0; k < kSummaryCount; ++k) {
            store(out + k * steps_[kSummaryStep], values[static_cast<std::size_t>(k)]);
        }
    }

    char** args_;
    const npy_intp* steps_;
    npy_intp cells_;
    npy_intp headings_;
    npy_intp hours_;
    VesselCache cache_;
};

// The arithmetic raises flags the scalar path never shows (a NaN compared, a
// signalling NaN converted, fmod of an infinity): they are put back as they
// were, and only a rejected vessel raises "invalid".
template <class Field, class Out>
void from_weather_loop(char** args, const npy_intp* dimensions, const npy_intp* steps,
                       void* /*data*/) noexcept {
    std::fexcept_t flags{};
    std::fegetexceptflag(&flags, FE_ALL_EXCEPT);
    const bool rejected = WeatherLoop<Field, Out>(args, dimensions, steps).run();
    std::fesetexceptflag(&flags, FE_ALL_EXCEPT);
    if (rejected) {
        std::feraiseexcept(FE_INVALID);
    }
}

// Single-precision fields first: NumPy takes the first loop the inputs cast to
// safely, so float32 (and float16) fields keep their type, and float64 ones,
// or a mix, take the double loop. The last, float64 fields giving float32
// changes, is taken only when asked for (signature=), as NumPy picks a loop by
// its inputs: for fields converted in double whose output stays single.
Loop kLoops[] = {from_weather_loop<float, float>, from_weather_loop<double, double>,
                 from_weather_loop<double, float>};
void* const kLoopData[] = {nullptr, nullptr, nullptr};
constexpr int kLoopCount = 3;
const char kLoopTypes[] = {
    NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_BOOL, NPY_DOUBLE,
    NPY_FLOAT,  NPY_FLOAT,  NPY_FLOAT,  NPY_FLOAT,  NPY_FLOAT,  NPY_DOUBLE,  // float32 fields
    NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_BOOL, NPY_DOUBLE,
    NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,  // float64 fields
    NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_BOOL, NPY_DOUBLE,
    NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_FLOAT,  NPY_DOUBLE,  // ... float32 out
};
static_assert(sizeof kLoopTypes == std::size_t{kLoopCount} * std::size_t{kOperands});

// NumPy puts its own signature line in front.
constexpr const char* kDoc =
    "Speed change over the hours of grid cells of true weather, at several headings,\n"
    "with each cell's summaries.\n"
    "\n"
    "speed_change_from_weather(displacement, length, breadth, draught, speed_kts, laden,\n"
    "                          headings, u10, v10, swh, mwd) -> (change, summaries)\n"
    "\n"
    "Signature (),(),(),(),(),(),(h),(t),(t),(t),(t)->(t,h),(7): for each cell, the time\n"
    "series of its t hours of u10 and v10 (wind towards east and north, m/s), swh\n"
    "(significant wave height, m) and mwd (the true direction the waves come from,\n"
    "degrees), estimated at h headings (true courses, degrees). Fields stored as\n"
    "(t, y, x) go in as numpy.moveaxis(field, 0, -1), and out=(numpy.moveaxis(change,\n"
    "0, -2), summaries) writes a change of shape (t, y, x, h) in place.\n"
    "\n"
    "A cell-hour with a field that is not finite is skipped: NaN at every heading.\n"
    "Otherwise, in double, the wind speed is sqrt(u*u + v*v); where it is above\n"
    "100 m/s, or swh below 0 or above 30 m, the weather is physically impossible\n"
    "(veltrum_tools.marine.physically_possible): NaN at every heading too. Else the\n"
    "direction it comes from is math.degrees(math.atan2(u, v)) + 180.0, its Beaufort\n"
    "force veltrum_tools.marine.beaufort_force(speed) (force 13 and over, from 37.0\n"
    "m/s, taken as 12), the angles off the bow marine.relative_angle(heading,\n"
    "direction), and the change what NavCalc.compute gives on the vessel of\n"
    "NavCalc(displacement, length, breadth, draught) and setup(speed_kts, laden):\n"
    "each to the bit what those functions give on Python floats, stored in the\n"
    "change's type.\n"
    "\n"
    "Loops: the four fields float32 or float64 (a mix takes float64), the change of\n"
    "the same type, the other inputs float64 but laden (bool); and float64 fields\n"
    "with a float32 change, taken only when asked for, e.g. signature=(None,) * 11\n"
    "+ (\"f4\", \"f8\") with float64 fields. Other dtypes go through NumPy's safe\n"
    "casting.\n"
    "\n"
    "summaries[..., :] holds per cell, over its hours and headings, from the stored\n"
    "changes: 0 estimates (changes that are not NaN), 1 losses (changes below -1.0),\n"
    "2 their total (in double, hour by hour, heading by heading), 3 skipped cell-hours\n"
    "(a field not finite), 4 capped cell-hours (possible weather, wind of force 13 or\n"
    "more), 5 cell-hours of impossible weather, 6 the lowest change, +inf when there\n"
    "is none (veltrum-hindcast shows NaN there).\n"
    "\n"
    "Particulars not all greater than zero, or giving no block coefficient, make every\n"
    "change NaN and raise the floating-point \"invalid\" flag, so numpy.errstate(invalid=\n"
    "...) decides between silence, a RuntimeWarning and FloatingPointError. No other\n"
    "input raises a floating-point flag.";

const GeneralizedUfunc kSpeedChangeFromWeather{
    kLoops, kLoopData, kLoopTypes, kLoopCount, kInputs, kOutputs, "speed_change_from_weather",
    kDoc,   "(),(),(),(),(),(),(h),(t),(t),(t),(t)->(t,h),(7)",
};

}  // namespace

const GeneralizedUfunc& speed_change_from_weather() { return kSpeedChangeFromWeather; }

}  // namespace veltrum::ufunc
