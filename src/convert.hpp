// Converting argument objects to the plain values the model takes.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "boundary/pending_error.hpp"

namespace veltrum {

namespace detail {
Result<double> to_double_slow(PyObject* object);
Result<bool> to_bool_slow(PyObject* object);
}  // namespace detail

// An exact float is read in place; anything else goes through __float__ or
// __index__ as the interpreter defines them.
inline Result<double> to_double(PyObject* object) {
    if (PyFloat_CheckExact(object)) [[likely]] {
        return PyFloat_AS_DOUBLE(object);
    }
    return detail::to_double_slow(object);
}

// A Python int (or __index__) within the signed 32-bit range.
Result<std::int32_t> to_int32(PyObject* object);

// True, False or a numpy boolean; nothing else (no truth testing).
inline Result<bool> to_bool(PyObject* object) {
    if (Py_IS_TYPE(object, &PyBool_Type)) [[likely]] {
        return object == Py_True;
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
