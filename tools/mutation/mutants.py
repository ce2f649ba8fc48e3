"""The mutants: each one small, realistic fault, written as an exact text replacement
in one source file. An original must occur exactly once in its file, or the runner
reports the mutant as not applicable. Areas group the score."""

import math
from typing import NamedTuple


class Mutant(NamedTuple):
    area: str
    file: str
    original: str
    replacement: str
    description: str
    equivalent: str = ""  # why no test can tell it from the original, if none can


VESSEL, LIB, BINDING_H, BINDING, CONVERT_H, CONVERT, ACCESS, MESSAGES = (
    "src/model/vessel.cpp", "src/lib.cpp", "src/binding.hpp", "src/binding.cpp",
    "src/convert.hpp", "src/convert.cpp", "src/access.hpp", "src/messages.cpp")
REPORT, FAILURE, PENDING, PANIC = ("src/boundary/failure/report.cpp",
                                   "src/boundary/failure/failure.cpp",
                                   "src/boundary/python/pending_error.cpp",
                                   "src/boundary/python/panic_exception.cpp")
UFUNC, CACHE, CHOICE = ("src/ufunc/speed_change.cpp", "src/ufunc/vessel_cache.hpp",
                        "src/model/choice.hpp")

# One coefficient of each row of the speed-reduction table moved by 0.5; rows that
# are the same laden and in ballast carry their neighbours as context.
L, B = "kLadenRows{{\n    ", "kBallastRows{{\n    "
ROWS = [
    (L + "{1.7, -1.4, -7.4},", L + "{2.2, -1.4, -7.4},", "laden 0.55: a"),
    (L + "{1.7, -1.4, -7.4},\n    {2.2, -2.5, -9.7},",
     L + "{1.7, -1.4, -7.4},\n    {2.2, -2.0, -9.7},", "laden 0.60: b"),
    ("{2.6, -3.7, -11.6},\n    {3.1, -5.3, -12.4},\n    {2.4,",
     "{2.6, -3.7, -11.1},\n    {3.1, -5.3, -12.4},\n    {2.4,", "laden 0.65: c"),
    ("{3.1, -5.3, -12.4},\n    {2.4,", "{3.6, -5.3, -12.4},\n    {2.4,", "laden 0.70: a"),
    ("{2.4, -10.6, -9.5},", "{2.4, -10.1, -9.5},", "laden 0.75: b"),
    ("{2.6, -13.1, -15.1},", "{2.6, -13.1, -14.6},", "laden 0.80: c"),
    ("{3.1, -18.7, -25.0},", "{3.6, -18.7, -25.0},", "laden 0.85: a"),
    (B + "{1.7, -1.4, -7.4},", B + "{1.7, -0.9, -7.4},", "ballast 0.55: b"),
    (B + "{1.7, -1.4, -7.4},\n    {2.2, -2.5, -9.7},",
     B + "{1.7, -1.4, -7.4},\n    {2.2, -2.5, -9.2},", "ballast 0.60: c"),
    ("{2.6, -3.7, -11.6},\n    {3.1, -5.3, -12.4},\n    {2.6,",
     "{3.1, -3.7, -11.6},\n    {3.1, -5.3, -12.4},\n    {2.6,", "ballast 0.65: a"),
    ("{3.1, -5.3, -12.4},\n    {2.6,", "{3.1, -4.8, -12.4},\n    {2.6,", "ballast 0.70: b"),
    ("{2.6, -12.5, -12.0},", "{2.6, -12.5, -11.5},", "ballast 0.75: c"),
    ("{3.0, -16.3, -18.0},", "{3.5, -16.3, -18.0},", "ballast 0.80: a"),
    ("{3.4, -20.9, -28.0},", "{3.4, -20.4, -28.0},", "ballast 0.85: b"),
]


def below(bounds, i):
    """The sector table with bound i moved to the double below it: the sector then ends
    before its bound, which falls in the next one."""
    moved = list(bounds)
    moved[i] = repr(math.nextafter(float(bounds[i]), 0.0))
    n = len(bounds)
    return (f"std::array<double, {n}>{{{', '.join(bounds)}}}",
            f"std::array<double, {n}>{{{', '.join(moved)}}}")


WIND, WAVE = ("30.0", "60.0", "150.0"), ("30.0", "60.0", "90.0", "120.0", "150.0", "180.0")


MUTANTS = [Mutant("model", VESSEL, o, r, "table row " + d) for o, r, d in ROWS] + [
    Mutant("model", VESSEL, *below(WIND, 0), "wind sector up to 30° open above"),
    Mutant("model", VESSEL, *below(WIND, 1), "wind sector up to 60° open above"),
    Mutant("model", VESSEL, *below(WIND, 2), "wind sector up to 150° open above"),
    Mutant("model", VESSEL, *below(WAVE, 0), "wave sector up to 30° open above"),
    Mutant("model", VESSEL, *below(WAVE, 1), "wave sector up to 60° open above"),
    Mutant("model", VESSEL, *below(WAVE, 2), "wave sector up to 90° open above"),
    Mutant("model", VESSEL, *below(WAVE, 3), "wave sector up to 120° open above"),
    Mutant("model", VESSEL, *below(WAVE, 4), "wave sector up to 150° open above"),
    Mutant("model", VESSEL, *below(WAVE, 5), "wave sector up to 180° open above"),
    Mutant("model", VESSEL, "Choice::select(magnitude > 2.0, softened, t)",
           "Choice::select(-t > 2.0, softened, t)",
           "soft limit on losses only"),
    Mutant("model", VESSEL, "std::copysign(1.0, t) * ((magnitude - 2.0) * 0.1 + 2.0)",
           "std::copysign(1.0, t) * ((magnitude - 2.0) * 0.2 + 2.0)",
           "soft limit keeps a fifth of the excess"),
    Mutant("model", VESSEL, "if (std::fabs(distance[i] - nearest) < 1e-9) {\n            ++candidates;",
           "if (std::fabs(distance[i] - nearest) < 1e-12) {\n            ++candidates;",
           "block coefficient tie tolerance narrowed"),
    Mutant("model", VESSEL, "if (std::fabs(distance[i] - nearest) < 1e-9) {\n            ++candidates;",
           "if (std::fabs(distance[i] - nearest) < 1e-7) {\n            ++candidates;",
           "block coefficient tie tolerance widened"),
    Mutant("model", VESSEL, "* 100.0)) % 2 == 0) {", "* 100.0)) % 2 == 1) {",
           "a tie goes to the odd hundredths"),
    Mutant("model", VESSEL, "fr = at_least(fr, 0.05);", "fr = at_least(fr, 0.04);",
           "lowest Froude number 0.04"),
    Mutant("model", VESSEL, "return at_most(fr, 0.35);", "return at_most(fr, 0.36);",
           "highest Froude number 0.36"),
    Mutant("model", VESSEL, "speed_ms / std::sqrt(kGravity * length), 1000.0)",
           "speed_ms / std::sqrt(kGravity * length), 100.0)", "Froude number to two decimals"),
    Mutant("model", VESSEL, "return !(displacement <= 0.0 ||", "return !(displacement < 0.0 ||",
           "a zero displacement accepted"),
    Mutant("model", VESSEL, "(speed_kts * 1852.0) / 3600.0", "(speed_kts * 1853.0) / 3600.0",
           "a knot of 1853 m"),
    Mutant("model", VESSEL, "const Row& row = coefficient_row(cb, true);",
           "const Row& row = coefficient_row(cb, false);", "a new vessel takes the ballast row"),
    Mutant("model", VESSEL, "constexpr double kInitialSpeedKts = 10.0;",
           "constexpr double kInitialSpeedKts = 12.0;", "a new vessel reports 12 knots"),
    Mutant("model", VESSEL, "select(wave_height < 3.0, 0.7 * wave_height",
           "select(wave_height <= 3.0, 0.7 * wave_height", "a 3 m wave reduced to 70 %"),
    Mutant("model", VESSEL, "h - (h - 6.0) * 0.9, h)", "h - (h - 6.0) * 0.8, h)",
           "waves above 6 m damped less"),
    Mutant("model", VESSEL, "return keep_below(h, 9.0);", "return keep_below(h, 8.0);",
           "effective height capped at 8 m"),
    Mutant("model", VESSEL, "h = keep_above(h, 0.2);", "h = at_least(h, 0.2);",
           "a NaN wave height past the 0.2 m limit (then capped at 9 m, as fmaxnm did)"),
    Mutant("model", VESSEL, "const double k = vessel.laden ? 0.5 : 0.7;\n    const double form",
           "const double k = vessel.laden ? 0.7 : 0.5;\n    const double form",
           "form factors of the loading states swapped"),
    Mutant("model", VESSEL, "if (wind_scale >= 7) {", "if (wind_scale > 7) {",
           "force 7 not damped"),
    Mutant("model", VESSEL, "terms.half_coefficient[row] = round_to(c * 0.5, 100000.0);",
           "terms.half_coefficient[row] = round_to(c * 0.5, 10000.0);",
           "tabled wind coefficient to four decimals",
           "every halved coefficient of the 13 forces has at most three decimals"),
    Mutant("model", VESSEL, "fast_round_to<Choice>(waves.magnitude * factor, 10000.0)",
           "fast_round_to<Choice>(waves.magnitude * factor, 1000.0)",
           "wave term to three decimals"),
    Mutant("model", VESSEL, "const double total = wave * 0.7 + wind * 0.3;",
           "const double total = wave * 0.3 + wind * 0.7;", "weights of wind and waves swapped"),
    Mutant("model", VESSEL, "wind_scale) >= 13U) {\n        fail(kBeaufortMessage, kBeaufortSite);"
           "\n    }\n    const double wind = wind_term(",
           "wind_scale) >= 14U) {\n        fail(kBeaufortMessage, kBeaufortSite);"
           "\n    }\n    const double wind = wind_term(", "Beaufort force 13 accepted"),
    Mutant("model", VESSEL, "constexpr Site kBeaufortSite{\"src\\\\lib.cpp\", 78, 9};",
           "constexpr Site kBeaufortSite{\"src\\\\lib.cpp\", 79, 9};",
           "Beaufort failure reported at the wrong line"),
    Mutant("model", VESSEL, "const double power = std::pow(displacement, kTwoThirds);",
           "const double power = std::cbrt(displacement * displacement);",
           "cached power by another formula"),

    Mutant("binder", BINDING_H,
           "if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(params.count)) [[likely]]",
           "if (kwnames == nullptr && nargs >= static_cast<Py_ssize_t>(params.count)) [[likely]]",
           "surplus positional arguments ignored"),
    Mutant("binder", BINDING_H, "if (slots[i] != nullptr) [[unlikely]] {",
           "if (false) [[unlikely]] {", "a keyword matched by text may overwrite a positional"),
    Mutant("binder", BINDING_H, "if (slots[match] != nullptr) [[unlikely]] {",
           "if (false) [[unlikely]] {", "an interned keyword may overwrite a positional"),
    Mutant("binder", BINDING_H, "if (nargs < static_cast<Py_ssize_t>(params.count)) {",
           "if (nargs + 1 < static_cast<Py_ssize_t>(params.count)) {",
           "one missing argument not noticed"),
    Mutant("binder", BINDING_H, "if (nargs > n) [[unlikely]] {", "if (nargs > n + 1) [[unlikely]] {",
           "one surplus positional argument accepted"),
    Mutant("binder", BINDING, "static_cast<std::size_t>(size) == declared.size() &&",
           "static_cast<std::size_t>(size) >= declared.size() &&",
           "a keyword matches a parameter it begins with"),
    Mutant("binder", BINDING, "out.append(written + 1 == total ? \", and \" : \", \");",
           "out.append(written + 1 == total ? \" and \" : \", \");",
           "no serial comma in a list of missing names"),
    Mutant("binder", BINDING, "message.append(\" were given\");", "message.append(\" was given\");",
           "surplus message worded wrongly"),
    Mutant("binder", BINDING, "discard_pending();\n    return unexpected_keyword(params, name);",
           "return unexpected_keyword(params, name);",
           "the encoding error of a keyword left pending"),

    Mutant("conversion", CONVERT_H, "if (PyLong_CheckExact(object)) {\n        return detail::exact_int_to_double",
           "if (PyLong_Check(object)) {\n        return detail::exact_int_to_double",
           "an int subclass's __float__ bypassed"),
    Mutant("conversion", CONVERT, "if (value == -1.0 && PyErr_Occurred() != nullptr) {\n        return take_pending();\n    }\n    return value;\n}\n\nResult<double> exact_int_to_double",
           "if (value == -1.0) {\n        return take_pending();\n    }\n    return value;\n}\n\nResult<double> exact_int_to_double",
           "a __float__ giving -1.0 taken for a failure"),
    Mutant("conversion", CONVERT, "if (value == -1.0 && PyErr_Occurred() != nullptr) {\n        return take_pending();\n    }\n    return value;\n}\n\nResult<bool>",
           "return value;\n}\n\nResult<bool>",
           "an int too large for a double not reported"),
    Mutant("conversion", CONVERT, "value > std::numeric_limits<std::int32_t>::max()) {",
           "value >= std::numeric_limits<std::int32_t>::max()) {",
           "the largest 32-bit Beaufort number refused as an overflow"),
    Mutant("conversion", CONVERT, "if (value < std::numeric_limits<std::int32_t>::min() ||",
           "if (value < std::numeric_limits<std::int32_t>::min() + 1 ||",
           "the smallest 32-bit Beaufort number refused as an overflow"),
    Mutant("conversion", CONVERT, "return view == \"bool_\" || view == \"bool\";",
           "return view == \"bool_\";", "numpy 2's bool type not recognised"),
    Mutant("conversion", CONVERT, "if (!error.is_exactly(PyExc_TypeError)) {",
           "if (!error.matches(PyExc_TypeError)) {", "TypeError subclasses wrapped too"),
    Mutant("conversion", CONVERT, "message.append(\"': \");", "message.append(\"':\");",
           "wrapped message without its space"),
    Mutant("conversion", LIB, "read_double(slots[2], particulars[2]) && read_double(slots[3], particulars[3])",
           "read_double(slots[2], particulars[2]) && read_double(slots[2], particulars[3])",
           "draught read from the breadth's slot"),
    Mutant("conversion", LIB, "read_double(slots[2], wave_height) && read_double(slots[3], wave_beta)",
           "read_double(slots[3], wave_height) && read_double(slots[2], wave_beta)",
           "wave height and direction read from each other's slots"),
    Mutant("conversion", LIB, "convert_argument(to_int32(slots[1]), \"wind_scale\")",
           "convert_argument(to_int32(slots[1]), \"wind_beta\")",
           "Beaufort failure named after the wind direction"),
    Mutant("conversion", LIB, "Result<bool> loading = convert_argument(to_bool(slots[1]), \"laden\");",
           "Result<bool> loading = convert_argument(to_bool(slots[1]), \"speed_kts\");",
           "loading state failure named after the speed"),
    Mutant("conversion", LIB, "Result<double> height = convert_argument(to_double(slots[2]), \"wave_height\");\n    if (!height) {\n        return height.take_error();\n    }\n    Result<double> direction",
           "Result<double> height = convert_argument(to_double(slots[2]), \"wave_height\");\n    Result<double> direction",
           "a failed wave height conversion ignored"),

    Mutant("access", ACCESS, "if (self->access == kExclusiveAccess) [[unlikely]] {",
           "if (false) [[unlikely]] {", "compute runs while setup holds the instance"),
    Mutant("access", ACCESS, "if (self->access != 0) [[unlikely]] {",
           "if (self->access == kExclusiveAccess) [[unlikely]] {",
           "setup runs while a compute holds the instance"),
    Mutant("access", ACCESS, "--self_->access;", "self_->access = 0;",
           "the first compute to finish frees the instance"),
    Mutant("access", ACCESS, "self_->access = 0;\n            }", "}",
           "setup never gives the instance back"),
    Mutant("access", LIB, "ReceiverAccess<AccessMode::Exclusive> access;",
           "ReceiverAccess<AccessMode::Shared> access;", "setup takes shared access"),
    Mutant("access", LIB, "ReceiverAccess<AccessMode::Shared> access;",
           "ReceiverAccess<AccessMode::Exclusive> access;", "compute takes exclusive access"),
    Mutant("access", MESSAGES, "Text(\"Already borrowed\")", "Text(\"Already mutably borrowed\")",
           "both refusals give the same message"),

    Mutant("refcount", ACCESS, "Py_INCREF(receiver);\n        self_ = self;", "self_ = self;",
           "the receiver not held during the call"),
    Mutant("refcount", LIB, "free(self);\n        Py_DECREF(type);", "free(self);",
           "a freed instance keeps its reference to the class"),
    Mutant("refcount", LIB, "if (g_module != nullptr) {\n        return Py_NewRef(g_module);",
           "if (g_module != nullptr) {\n        return g_module;",
           "a re-import returns the module without a new reference"),
    Mutant("refcount", CONVERT, "OwnedRef name = OwnedRef::steal(compat::type_name(type));",
           "OwnedRef name = OwnedRef::borrow(compat::type_name(type));",
           "numpy boolean check leaks the type's name"),
    Mutant("refcount", CONVERT, "OwnedRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), g_module_attribute));",
           "OwnedRef::borrow(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), g_module_attribute));",
           "numpy boolean check leaks the type's module name"),
    Mutant("refcount", CONVERT, "cause = OwnedRef::steal(PyException_GetCause(exception));",
           "cause = OwnedRef::borrow(PyException_GetCause(exception));",
           "a wrapped error leaks its cause"),
    Mutant("refcount", MESSAGES, "OwnedRef text = OwnedRef::steal(PyObject_Str(object));",
           "OwnedRef text = OwnedRef::borrow(PyObject_Str(object));",
           "a rendered object's text leaked"),
    Mutant("refcount", BINDING, "OwnedRef keep = OwnedRef::borrow(name);",
           "OwnedRef keep = OwnedRef::steal(name);", "an unexpected keyword released once too often"),
    Mutant("refcount", PENDING, "PyException_SetCause(error.get(), cause.release());",
           "PyException_SetCause(error.get(), cause.get());",
           "a wrapped error's cause handed over without its reference"),

    Mutant("reporting", REPORT, "if (g_first_report.exchange(false)) {",
           "if (g_first_report.load()) {", "the hint after every report"),
    Mutant("reporting", REPORT, "nesting >= 2 ? BacktraceStyle::Full", "nesting >= 3 ? BacktraceStyle::Full",
           "a nested failure without every frame"),
    Mutant("reporting", REPORT, "std::strcmp(value, \"0\") == 0", "std::strcmp(value, \"\") == 0",
           "VELTRUM_BACKTRACE=0 turns backtraces on"),
    Mutant("reporting", REPORT, "head.append(\") panicked at \");", "head.append(\") panicked at: \");",
           "report head worded wrongly"),
    Mutant("reporting", FAILURE, "if (t_nesting > 0) {\n        --t_nesting;", "if (t_nesting > 0) {",
           "a caught failure stays counted"),
    Mutant("reporting", MESSAGES, "message.append(\"' object cannot be converted to '\");",
           "message.append(\"' cannot be converted to '\");", "conversion refusal worded wrongly"),
    Mutant("reporting", PENDING, "message = \"Unwrapped panic from Python code\";",
           "message = \"Unwrapped panic\";", "unprintable resumed panic worded wrongly"),
    Mutant("reporting", PENDING, "\"Python stack trace below:\\n\");", "\"\");",
           "resumed panic without its second line"),

    Mutant("initialisation", LIB, "if (!g_owner.compare_exchange_strong(owner, id) && owner != id) {",
           "if (!g_owner.compare_exchange_strong(owner, id)) {", "the owner's re-import refused"),
    Mutant("initialisation", LIB, "if (PyObject_SetAttrString(module, \"__all__\", all.get()) < 0) {",
           "if (PyObject_SetAttrString(module, \"_all_\", all.get()) < 0) {",
           "__all__ stored under another name"),
    Mutant("initialisation", LIB, "Py_TPFLAGS_DEFAULT, g_slots,",
           "Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, g_slots,", "the class subclassable"),
    Mutant("initialisation", LIB, "\"setup($self, speed_kts, laden)\\n--\\n\\n\"",
           "\"setup(self, speed_kts, laden)\\n--\\n\\n\"", "setup's signature without $self"),
    Mutant("initialisation", LIB, "PyUnicode_FromStringAndSize(\"NavCalc\", 7)",
           "PyUnicode_FromStringAndSize(\"NavCalc\", 6)", "the class exported as NavCal"),
    Mutant("initialisation", LIB, "\"veltrum\", \"\", 0,", "\"veltrum\", nullptr, 0,",
           "module docstring None"),
    Mutant("initialisation", LIB, "\"builtins.NavCalc\", static_cast<int>",
           "\"veltrum.NavCalc\", static_cast<int>", "the class's module named veltrum"),
    Mutant("initialisation", LIB, "self->access = 0;", "self->access = 1;",
           "a new instance starts with one compute running"),
    Mutant("initialisation", PANIC, "kDoc, PyExc_BaseException, nullptr);",
           "kDoc, PyExc_Exception, nullptr);", "PanicException derived from Exception"),
    Mutant("refcount", LIB,
           "    const OwnedRef held[4] = {OwnedRef::borrow(slots[0]), OwnedRef::borrow(slots[1]),\n"
           "                              OwnedRef::borrow(slots[2]), OwnedRef::borrow(slots[3])};\n"
           "    for (std::size_t i = 0; i < 4; ++i) {\n"
           "        Result<double> value =\n"
           "            convert_argument(to_double(held[i].get()),",
           "    for (std::size_t i = 0; i < 4; ++i) {\n"
           "        Result<double> value =\n"
           "            convert_argument(to_double(slots[i]),",
           "the constructor converts arguments it only borrows"),
]

# A particular left out of the hull's key: its place holds a neighbour's bits.
KEY = "hull_key{bits(hull[0]), bits(hull[1]), bits(hull[2]),\n" + " " * 52 + "bits(hull[3])}"


def key_without(i, name):
    return Mutant("ufunc", CACHE, KEY, KEY.replace(f"hull[{i}]", f"hull[{i ^ 1}]", 1),
                  f"the {name} left out of the hull's key")


def contiguous(original):
    """A read or write of one element that steps by the element's size, not by the
    stride: the original runs from the function's parameters to the stride."""
    stride = original[original.rindex("steps["):]
    return ("const npy_intp* steps, " + original,
            "[[maybe_unused]] const npy_intp* steps, "
            + original.replace(stride, "npy_intp{sizeof value}"))


MUTANTS += [
    Mutant("ufunc", UFUNC, *contiguous("int operand, npy_intp i) {\n    T value{};\n    "
                                       "std::memcpy(&value, args[operand] + i * steps[operand]"),
           "inputs read as if contiguous"),
    Mutant("ufunc", UFUNC, *contiguous("npy_intp i, double value) {\n    "
                                       "std::memcpy(args[kResult] + i * steps[kResult]"),
           "the output written as if contiguous"),
    Mutant("ufunc", CACHE, "steps[operand] == 0;", "steps[operand] <= 0;",
           "a vessel input read backwards taken for a broadcast one"),
    Mutant("ufunc", CACHE, "args[operand] + i * steps[operand], sizeof value",
           "args[operand] + i * static_cast<npy_intp>(sizeof value), sizeof value",
           "the vessel's particulars and speed read as if contiguous"),
    Mutant("ufunc", CACHE, "args[kLaden] + i * steps[kLaden]", "args[kLaden] + i",
           "the loading states read as if contiguous"),
    Mutant("ufunc", CACHE, "operand <= kLaden; ++operand", "operand < kLaden; ++operand",
           "one vessel for all though the loading state varies"),
    Mutant("ufunc", CACHE, "int operand = kDisplacement;", "int operand = kLength;",
           "one vessel for all though the displacement varies"),
    Mutant("ufunc", UFUNC, "for (npy_intp i = 0; i < n; ++i) {",
           "for (npy_intp i = 0; i <= n; ++i) {", "one element past the end estimated"),
    Mutant("ufunc", UFUNC, "one_vessel && n > 0 ? cache.at(", "one_vessel ? cache.at(",
           "the broadcast vessel read when there are no elements",
           "NumPy calls the loop only with elements to estimate, also under where="),
    Mutant("ufunc", UFUNC, "write(args, steps, i, kNaN);\n            rejected = true;",
           "rejected = true;", "a rejected vessel's element left unwritten"),
    Mutant("ufunc", UFUNC, "write(args, steps, i, kNaN);\n            rejected = true;",
           "write(args, steps, i, kNaN);", "a rejected vessel raises no invalid flag"),
    Mutant("ufunc", UFUNC, "write(args, steps, i, kNaN);\n        return false;", "return false;",
           "a rejected Beaufort number's element left unwritten"),
    Mutant("ufunc", UFUNC, "write(args, steps, i, kNaN);\n        return false;",
           "write(args, steps, i, kNaN);\n        return true;",
           "a rejected Beaufort number raises no invalid flag"),
    Mutant("ufunc", UFUNC, "std::fesetexceptflag(&flags, FE_ALL_EXCEPT);", "",
           "the model's own floating-point flags left raised"),
    Mutant("ufunc", UFUNC, "std::fesetexceptflag(&flags, FE_ALL_EXCEPT);",
           "std::fesetexceptflag(&flags, FE_INVALID);", "only the invalid flag put back"),
    Mutant("ufunc", UFUNC, "std::fesetexceptflag(&flags, FE_ALL_EXCEPT);",
           "std::feclearexcept(FE_ALL_EXCEPT);",
           "the flags of earlier calls of the loop cleared"),
    Mutant("ufunc", UFUNC, "std::feraiseexcept(FE_INVALID);", "std::feraiseexcept(FE_DIVBYZERO);",
           "a rejected element raises divide-by-zero"),
    key_without(0, "displacement"),
    key_without(1, "length"),
    key_without(2, "breadth"),
    key_without(3, "draught"),
    Mutant("ufunc", CACHE, "bits(speed_kts) != speed_key_ || laden != laden_",
           "laden != laden_", "a new speed on the same hull not set"),
    Mutant("ufunc", CACHE, "bits(speed_kts) != speed_key_ || laden != laden_",
           "bits(speed_kts) != speed_key_", "a new loading state on the same hull not set"),
    Mutant("ufunc", CACHE, "have_condition_ = false;\n            hull_key_",
           "hull_key_", "a new hull keeps the last hull's condition"),
    Mutant("ufunc", CACHE, "if (!have_hull_ || hull_key", "if (hull_key",
           "the first hull taken as set when it matches the unset key",
           "the unset key is that of a hull of +0.0s, which is rejected, and accepted_ "
           "starts false"),
    Mutant("ufunc", CACHE, "bits(speed_kts) != speed_key_ ||",
           "speed_kts != std::bit_cast<double>(speed_key_) ||", "the speed compared by value",
           "a zero speed's sign never shows, the wave term being never zero, and a NaN "
           "speed only sets the condition again"),
    Mutant("ufunc", UFUNC, "const auto scale = read<Scale>(args, steps, kWindScale, i);",
           "const auto scale = static_cast<std::int32_t>(read<Scale>(args, steps, kWindScale, i));",
           "an int64 Beaufort number narrowed before its range check"),
    Mutant("ufunc", UFUNC, "if (scale < 0 || scale > 12) {", "if (scale > 12) {",
           "a negative Beaufort number passed to the model"),
    Mutant("ufunc", UFUNC, "speed_change_loop<std::int64_t>};", "speed_change_loop<std::int32_t>};",
           "the int64 loop reads 32-bit Beaufort numbers"),
    Mutant("ufunc", UFUNC, "{speed_change_loop<std::int32_t>,\n                                   "
           "speed_change_loop<std::int64_t>}",
           "{speed_change_loop<std::int64_t>,\n                                   "
           "speed_change_loop<std::int32_t>}", "the two loops' functions swapped"),
    Mutant("ufunc", UFUNC, "NPY_INT32,  NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,  // int32",
           "NPY_INT16,  NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,  // int32",
           "the int32 loop declared for int16 Beaufort numbers"),
]

POWER = "displacement_power_ = std::pow(displacement, kTwoThirds);"

# The estimator behind the ufunc: its choices by mask, their NaN rows, its wind terms
# kept per condition. NavCalc never runs this code.
MUTANTS += [
    Mutant("ufunc", CHOICE, "row += static_cast<std::size_t>(!(x <= bound));",
           "row += static_cast<std::size_t>(x > bound);", "a NaN direction takes the first row"),
    Mutant("ufunc", CHOICE, "0U - static_cast<std::uint64_t>(condition)",
           "static_cast<std::uint64_t>(condition) - 1U", "a choice by mask inverted"),
    Mutant("ufunc", VESSEL, "if ((known_ & bit) == 0) {", "if (known_ == 0) {",
           "only the first wind term of a condition computed"),
    Mutant("ufunc", VESSEL, "std::uint64_t{1} << index;", "std::uint64_t{1} << row;",
           "wind terms of one direction row shared by every force"),
    Mutant("ufunc", VESSEL, "setup(vessel_, speed_kts, laden);\n    known_ = 0;",
           "setup(vessel_, speed_kts, laden);",
           "a new condition keeps the last condition's wind terms"),
    Mutant("ufunc", VESSEL, POWER + "\n    known_ = 0;", POWER,
           "a new hull keeps the last hull's wind terms",
           "the loop sets a condition after every accepted hull, which forgets them"),
    Mutant("ufunc", VESSEL, "    " + POWER + "\n", "",
           "a new hull keeps the last hull's displacement power"),
    Mutant("ufunc", VESSEL, "return with_waves<Masked>(", "return with_waves<Branching>(",
           "the wave steps chosen by branches",
           "both ways of choosing give the same double, NaN included"),
]

KERNEL, WEATHER, LANES = ("src/ufunc/from_weather.cpp", "src/ufunc/weather.hpp",
                          "src/model/lanes.hpp")

# speed_change_from_weather: the weather's arithmetic, the summaries, the layout, the flags,
# and the model's two lanes behind it.
MUTANTS += [
    Mutant("ufunc", WEATHER, "speed >= bound", "speed > bound",
           "a wind at a Beaufort bound takes the force below"),
    Mutant("ufunc", KERNEL, "speed >= kForce13LowerBound", "speed > kForce13LowerBound",
           "a wind of exactly 37 m/s not capped"),
    Mutant("ufunc", WEATHER, "std::atan2(u, v)", "std::atan2(v, u)",
           "the wind's direction from the components swapped"),
    Mutant("ufunc", WEATHER, "} else if (remainder < 0.0) {", "} else if (remainder < -360.0) {",
           "a negative remainder left negative"),
    Mutant("ufunc", KERNEL, " && std::fabs(wave) < 360.0", "",
           "a wave direction more than a turn from the heading taken as within one"),
    Mutant("ufunc", KERNEL, "++totals.skipped;", "", "skipped cell-hours not counted"),
    Mutant("ufunc", KERNEL, "change < kLossThreshold", "change <= kLossThreshold",
           "a change of exactly -1 counted as a loss"),
    Mutant("ufunc", KERNEL, "total += estimate ? change : 0.0;", "total += change;",
           "NaN changes added to the total"),
    Mutant("ufunc", KERNEL, "estimates += static_cast<std::int64_t>(estimate);",
           "estimates += 1;", "NaN changes counted as estimates"),
    Mutant("ufunc", KERNEL, "worst = change < worst ? change : worst;",
           "worst = change < worst || change != change ? change : worst;",
           "a NaN change taken as the worst"),
    Mutant("ufunc", KERNEL, "const npy_intp block = one_vessel ? kBlockCells : 1;",
           "const npy_intp block = kBlockCells;",
           "cells of different vessels estimated on the first one's"),
    Mutant("ufunc", KERNEL, "at(kHeadings, cell)", "at(kHeadings, 0)",
           "every cell takes the first cell's headings"),
    Mutant("ufunc", KERNEL, "+ hour * steps_[step]",
           "+ hour * (0 * steps_[step] + static_cast<npy_intp>(sizeof(Field)))",
           "the fields read as if contiguous in time"),
    Mutant("ufunc", KERNEL, "out + at_heading * steps_[kChangeHeadingStep]",
           "out + at_heading * static_cast<npy_intp>(sizeof(Field))",
           "the change written as if contiguous across headings"),
    Mutant("ufunc", KERNEL, "at(kHeadings, first + i)", "at(kHeadings, first)",
           "at one heading, every cell of a block takes the block's first heading"),
    Mutant("ufunc", KERNEL, "if (headings_ == 1) {", "if (headings_ == 2) {",
           "two headings estimated as one"),
    Mutant("ufunc", KERNEL, "    std::fesetexceptflag(&flags, FE_ALL_EXCEPT);\n    if (rejected)",
           "    if (rejected)", "the arithmetic's own floating-point flags left raised"),
    Mutant("ufunc", KERNEL, "std::feraiseexcept(FE_INVALID);", "",
           "a rejected vessel raises no invalid flag"),
    Mutant("ufunc", KERNEL, "{from_weather_loop<float>, from_weather_loop<double>}",
           "{from_weather_loop<double>, from_weather_loop<float>}",
           "the two loops' functions swapped"),
    Mutant("ufunc", LANES, "copysign(rounded, x), x + 0.0)", "rounded, x + 0.0)",
           "the vector lanes' rounding loses the sign"),
    Mutant("ufunc", LANES, "select(magnitude - nearest >= 0.5, nearest + 1.0, nearest)",
           "select(magnitude - nearest >= 0.5, nearest, nearest)",
           "the vector lanes' rounding takes a tie to the even integer"),
    Mutant("ufunc", LANES, "return doubles(bits(x) & ~kSign);", "return x;",
           "the vector lanes' magnitude keeps the sign"),
    Mutant("ufunc", VESSEL, "change[i + 1] = pair[1];\n    }\n    for (; i < change.size(); ++i) {\n        change[i] = with_waves<Masked>(wind_for(wind_scale,",
           "change[i + 1] = pair[0];\n    }\n    for (; i < change.size(); ++i) {\n        change[i] = with_waves<Masked>(wind_for(wind_scale,",
           "the second lane's estimate of a heading lost"),
    Mutant("ufunc", VESSEL, "waves_of_height<Masked>(wave_height[i + 1]);",
           "waves_of_height<Masked>(wave_height[i]);",
           "the second lane's estimate of a cell takes the first one's wave height"),
    Mutant("ufunc", VESSEL, "wind_for(wind_scale[i + 1],", "wind_for(wind_scale[i],",
           "the second lane's estimate of a cell takes the first one's Beaufort force"),
    Mutant("ufunc", VESSEL, "lanes::Doubles wave = round_to(magnitude * factor, 10000.0);",
           "lanes::Doubles wave = round_to(magnitude * factor, 1000.0);",
           "the vector lanes' wave term to three decimals"),
    Mutant("ufunc", VESSEL, "lanes::copysign(lanes::both(1.0), t) * ((magnitude - 2.0) * 0.1",
           "lanes::copysign(lanes::both(1.0), t) * ((magnitude - 2.0) * 0.2",
           "the vector lanes' soft limit keeps a fifth of the excess"),
    Mutant("ufunc", VESSEL, "const lanes::Doubles total = wave * 0.7 + wind * 0.3;",
           "const lanes::Doubles total = wave * 0.3 + wind * 0.7;",
           "the vector lanes' weights of wind and waves swapped"),
]
