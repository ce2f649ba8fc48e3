// veltrum_numpy: the speed-change estimate as a NumPy ufunc over whole arrays,
// computed by the model NavCalc uses. A rejected element is NaN and raises the
// floating-point "invalid" flag, NumPy's convention, instead of a failure. The
// module also holds speed_change_from_weather (ufunc/from_weather.cpp).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Built against NumPy 2 headers; the binary also runs on NumPy 1.25 and later.
#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include <array>
#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "model/vessel.hpp"
#include "ufunc/from_weather.hpp"
#include "ufunc/vessel_cache.hpp"

namespace {

using veltrum::model::Estimator;
using veltrum::ufunc::VesselCache;

// The operands in the ufunc's order, after the vessel's; the output comes last.
enum Operand : int {
    kWindBeta = veltrum::ufunc::kLaden + 1,
    kWindScale,
    kWaveHeight,
    kWaveBeta,
    kResult,
};
constexpr int kInputs = kResult;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// NumPy hands a loop aligned data (it buffers what is not), and memcpy of the
// element's size compiles to one load or store.
template <class T>
T read(char* const* args, const npy_intp* steps, int operand, npy_intp i) {
    T value{};
    std::memcpy(&value, args[operand] + i * steps[operand], sizeof value);
    return value;
}

inline void write(char* const* args, const npy_intp* steps, npy_intp i, double value) {
    std::memcpy(args[kResult] + i * steps[kResult], &value, sizeof value);
}

// One element's estimate with an accepted vessel; false for a rejected
// Beaufort number. The range is checked in the Beaufort number's own type, so
// a wide integer never wraps into range.
template <class Scale>
inline bool estimate(char* const* args, const npy_intp* steps, npy_intp i, Estimator& vessel) {
    const auto scale = read<Scale>(args, steps, kWindScale, i);
    if (scale < 0 || scale > 12) {
        write(args, steps, i, kNaN);
        return false;
    }
    write(args, steps, i,
          vessel.compute(read<double>(args, steps, kWindBeta, i), static_cast<std::int32_t>(scale),
                         read<double>(args, steps, kWaveHeight, i),
                         read<double>(args, steps, kWaveBeta, i)));
    return true;
}

// The inner loop: float64 x5, bool, float64, Scale, float64, float64 -> float64.
// No model check can fail here: the particulars and the Beaufort number are
// checked first, and a condition is set only on an accepted hull.
template <class Scale>
void speed_change_loop(char** args, const npy_intp* dimensions, const npy_intp* steps,
                       void* /*data*/) noexcept {
    const npy_intp n = dimensions[0];
    // The model's own arithmetic raises flags NavCalc never shows (a NaN
    // compared, ∞ − ∞ in the wave height): they are put back as they were, and
    // only a rejected element raises "invalid".
    std::fexcept_t flags{};
    std::fegetexceptflag(&flags, FE_ALL_EXCEPT);
    bool rejected = false;
    VesselCache cache;
    const bool one_vessel = VesselCache::one_vessel(steps);
    Estimator* vessel = one_vessel && n > 0 ? cache.at(args, steps, 0) : nullptr;
    for (npy_intp i = 0; i < n; ++i) {
        if (!one_vessel) {
            vessel = cache.at(args, steps, i);
        }
        if (vessel == nullptr) {
            write(args, steps, i, kNaN);
            rejected = true;
        } else if (!estimate<Scale>(args, steps, i, *vessel)) {
            rejected = true;
        }
    }
    std::fesetexceptflag(&flags, FE_ALL_EXCEPT);
    if (rejected) {
        std::feraiseexcept(FE_INVALID);
    }
}

// NumPy keeps these pointers for the life of the ufunc, which is the process's.
// The Beaufort number is int32 as in NavCalc.compute. The int64 loop is there
// because NumPy makes Python ints and integer arrays int64, and its safe
// casting never narrows them to int32; NumPy takes the first loop its inputs
// cast to safely, so smaller integers use the int32 loop.
PyUFuncGenericFunction kLoops[] = {speed_change_loop<std::int32_t>,
                                   speed_change_loop<std::int64_t>};
void* const kLoopData[] = {nullptr, nullptr};
constexpr int kLoopCount = 2;
const char kLoopTypes[] = {
    NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_BOOL,
    NPY_DOUBLE, NPY_INT32,  NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,  // int32 Beaufort number
    NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_BOOL,
    NPY_DOUBLE, NPY_INT64,  NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,  // int64 Beaufort number
};
static_assert(sizeof kLoopTypes == std::size_t{kLoopCount} * std::size_t{kInputs + 1});

// NumPy puts its own signature line, "speed_change(x1, x2, ...)", in front.
constexpr const char* kDoc =
    "Speed change through the water in knots (negative for a loss), element by element.\n"
    "\n"
    "speed_change(displacement, length, breadth, draught, speed_kts, laden,\n"
    "             wind_beta, wind_scale, wave_height, wave_beta)\n"
    "\n"
    "Each element is, to the bit, what NavCalc(displacement, length, breadth, draught),\n"
    "then setup(speed_kts, laden), then compute(wind_beta, wind_scale, wave_height,\n"
    "wave_beta) returns.\n"
    "\n"
    "Loops: float64 for every input but laden (bool) and wind_scale (int32 or int64),\n"
    "and a float64 result. Other dtypes go through NumPy's safe casting, so a\n"
    "floating-point wind_scale and an integer laden are refused.\n"
    "\n"
    "An element whose particulars are not all greater than zero, whose particulars\n"
    "give no block coefficient, or whose wind_scale is outside 0 to 12 is NaN and\n"
    "raises the floating-point \"invalid\" flag, so numpy.errstate(invalid=...)\n"
    "decides between silence, a RuntimeWarning and FloatingPointError. No other\n"
    "element raises a floating-point flag.";

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "veltrum_numpy",
    "Whole arrays of veltrum estimates: the NumPy ufunc speed_change, and\n"
    "speed_change_from_weather, the estimates and their summaries over grid cells\n"
    "of true weather.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* create_module() {
    // Importing numpy first lets its own error (numpy missing or broken) reach
    // the caller; the C API import below would replace it with a vaguer one.
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) {
        return nullptr;
    }
    Py_DECREF(numpy);
    if (_import_umath() < 0) {
        return nullptr;
    }
    PyObject* module = PyModule_Create(&kModule);
    if (module == nullptr) {
        return nullptr;
    }
    PyObject* ufunc = PyUFunc_FromFuncAndData(kLoops, kLoopData, kLoopTypes, kLoopCount, kInputs, 1,
                                              PyUFunc_None, "speed_change", kDoc, 0);
    const veltrum::ufunc::GeneralizedUfunc& weather = veltrum::ufunc::speed_change_from_weather();
    PyObject* from_weather = PyUFunc_FromFuncAndDataAndSignature(
        weather.loops, weather.data, weather.types, weather.loop_count, weather.inputs,
        weather.outputs, PyUFunc_None, weather.name, weather.doc, 0, weather.signature);
    PyObject* all = Py_BuildValue("[ss]", "speed_change", weather.name);
    const bool added = ufunc != nullptr && from_weather != nullptr && all != nullptr &&
                       PyModule_AddObjectRef(module, "speed_change", ufunc) == 0 &&
                       PyModule_AddObjectRef(module, weather.name, from_weather) == 0 &&
                       PyModule_AddObjectRef(module, "__all__", all) == 0;
    Py_XDECREF(ufunc);
    Py_XDECREF(from_weather);
    Py_XDECREF(all);
    if (!added) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

}  // namespace

PyMODINIT_FUNC PyInit_veltrum_numpy() { return create_module(); }
