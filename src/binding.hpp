// Binding a call's positional and keyword arguments to the declared parameters.
// One constant description per entry, one binder; slots are borrowed pointers.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "boundary/pending_error.hpp"

namespace veltrum {

struct Parameters {
    std::string_view display;  // opens every binding message
    std::array<std::string_view, 4> names;
    std::size_t count;
};

inline constexpr Parameters kConstructorParameters{
    "NavCalc.__new__()", {"displacement", "length", "breadth", "draught"}, 4};
inline constexpr Parameters kSetupParameters{"NavCalc.setup()", {"speed_kts", "laden", {}, {}}, 2};
inline constexpr Parameters kComputeParameters{
    "NavCalc.compute()", {"wind_beta", "wind_scale", "wave_height", "wave_beta"}, 4};

namespace detail {

// Message builders, out of line: they run only when binding fails.
PendingError too_many_positional(const Parameters& params, Py_ssize_t given);
PendingError unexpected_keyword(const Parameters& params, PyObject* name);
PendingError multiple_values(const Parameters& params, const char* name, Py_ssize_t size);
PendingError missing_arguments(const Parameters& params, PyObject* const* slots);
// The name could not be encoded: drop the encoding error, report it unexpected.
PendingError unencodable_keyword(const Parameters& params, PyObject* name);

inline Status bind_keyword(const Parameters& params, PyObject** slots, PyObject* name,
                           PyObject* value) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) [[unlikely]] {
        return unencodable_keyword(params, name);
    }
    for (std::size_t i = 0; i < params.count; ++i) {
        const std::string_view declared = params.names[i];
        if (static_cast<std::size_t>(size) == declared.size() &&
            std::memcmp(text, declared.data(), declared.size()) == 0) {
            if (slots[i] != nullptr) {
                return multiple_values(params, text, size);
            }
            slots[i] = value;
            return kOk;
        }
    }
    return unexpected_keyword(params, name);
}

inline Status bind_positional(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                              PyObject** slots) {
    const auto n = static_cast<Py_ssize_t>(params.count);
    for (Py_ssize_t i = 0; i < n; ++i) {
        slots[i] = i < nargs ? args[i] : nullptr;
    }
    if (nargs > n) [[unlikely]] {
        return too_many_positional(params, nargs);
    }
    return kOk;
}

inline Status check_missing(const Parameters& params, Py_ssize_t nargs, PyObject* const* slots) {
    if (nargs < static_cast<Py_ssize_t>(params.count)) {
        for (std::size_t i = 0; i < params.count; ++i) {
            if (slots[i] == nullptr) {
                return missing_arguments(params, slots);
            }
        }
    }
    return kOk;
}

}  // namespace detail

// Fast-call arguments: the vector holds the positional values, then the values
// of the keywords named by `kwnames` (a tuple, or null).
inline Status bind_vector(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, PyObject** slots) {
    if (Status s = detail::bind_positional(params, args, nargs, slots); !s) {
        return s;
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            Status s = detail::bind_keyword(params, slots, PyTuple_GET_ITEM(kwnames, k),
                                            args[nargs + k]);
            if (!s) {
                return s;
            }
        }
    }
    return detail::check_missing(params, nargs, slots);
}

// Constructor arguments: a tuple and a keyword dictionary (null or empty when
// there are none), taken in the dictionary's order.
inline Status bind_tuple(const Parameters& params, PyObject* args, PyObject* kwargs,
                         PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (Status s = detail::bind_positional(params, PySequence_Fast_ITEMS(args), nargs, slots); !s) {
        return s;
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &name, &value)) {
            if (Status s = detail::bind_keyword(params, slots, name, value); !s) {
                return s;
            }
        }
    }
    return detail::check_missing(params, nargs, slots);
}

}  // namespace veltrum
