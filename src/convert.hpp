// Converting argument objects to the plain values the model takes.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "boundary/python/pending_error.hpp"
#include "compat.hpp"
#include "hot.hpp"

namespace veltrum {

namespace detail {
Result<double> to_double_slow(PyObject* object);
Result<double> exact_int_to_double(PyObject* object);
Result<std::int32_t> to_int32_slow(PyObject* object);
Result<bool> to_bool_slow(PyObject* object);

// A compact int (one digit or none) holds its value inline: fewer than 31
// bits, so it is exact as a double and fits a signed 32-bit integer.
VELTRUM_HOT bool is_compact_int(PyObject* object) {
    return PyLong_CheckExact(object) && compat::long_is_compact(object);
}
VELTRUM_HOT Py_ssize_t compact_value(PyObject* object) { return compat::long_compact_value(object); }
}  // namespace detail

// Reads in place, for the argument types whose conversion needs no call into
// the interpreter: each gives exactly what the full conversion below gives,
// and returns false (nothing raised, nothing run) for any other object, which
// is then converted in full.
//
// An exact float is its stored value. A compact exact int is the value its
// __float__ (PyLong_AsDouble) and PyLong_AsLong would return, without the
// float __float__ would make.
VELTRUM_HOT bool read_double(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) [[likely]] {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    if (detail::is_compact_int(object)) {
        out = static_cast<double>(detail::compact_value(object));
        return true;
    }
    return false;
}

VELTRUM_HOT bool read_int32(PyObject* object, std::int32_t& out) {
    if (detail::is_compact_int(object)) [[likely]] {
        out = static_cast<std::int32_t>(detail::compact_value(object));
        return true;
    }
    return false;
}

VELTRUM_HOT bool read_bool(PyObject* object, bool& out) {
    if (Py_IS_TYPE(object, &PyBool_Type)) [[likely]] {
        out = object == Py_True;
        return true;
    }
    return false;
}

// An exact float is read in place; anything else goes through __float__ or
// __index__ as the interpreter defines them. An exact int larger than
// compact goes through PyLong_AsDouble, as its __float__ does, with the same
// OverflowError.
inline Result<double> to_double(PyObject* object) {
    if (double value = 0.0; read_double(object, value)) [[likely]] {
        return value;
    }
    if (PyLong_CheckExact(object)) {
        return detail::exact_int_to_double(object);
    }
    return detail::to_double_slow(object);
}

// A Python int (or __index__) within the signed 32-bit range.
inline Result<std::int32_t> to_int32(PyObject* object) {
    if (std::int32_t value = 0; read_int32(object, value)) [[likely]] {
        return value;
    }
    return detail::to_int32_slow(object);
}

// True, False or a numpy boolean; nothing else (no truth testing).
inline Result<bool> to_bool(PyObject* object) {
    if (bool value = false; read_bool(object, value)) [[likely]] {
        return value;
    }
    return detail::to_bool_slow(object);
}

// A conversion failure of exactly TypeError becomes "argument '{name}': {text}";
// every other exception passes unchanged.
PendingError wrap_conversion_error(std::string_view parameter, PendingError error);

// Converts, wrapping a failure with the parameter's name.
template <class T>
inline Result<T> convert_argument(Result<T> converted, std::string_view parameter) {
    if (converted) [[likely]] {
        return converted;
    }
    return wrap_conversion_error(parameter, converted.take_error());
}

}  // namespace veltrum
