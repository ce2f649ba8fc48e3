// Binding a call's positional and keyword arguments to the declared parameters.
// One constant description per entry, one binder; slots are borrowed pointers.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

#include "boundary/python/pending_error.hpp"
#include "hot.hpp"

namespace veltrum {

struct Parameters {
    std::string_view display;  // opens every binding message
    std::array<std::string_view, 4> names;
    std::size_t count;
    // For each name, the interned str that last matched it by its bytes
    // (null until one has): a keyword given as that very object has that
    // text, so it is matched without looking at its bytes. Identifiers in
    // Python code are interned, so keywords written in calls are these.
    PyObject** interned;
};

namespace detail {
// Set once each, under the interpreter lock, and never released.
inline PyObject* constructor_names[4] = {};
inline PyObject* setup_names[2] = {};
inline PyObject* compute_names[4] = {};
}  // namespace detail

inline constexpr Parameters kConstructorParameters{
    "NavCalc.__new__()", {"displacement", "length", "breadth", "draught"}, 4,
    detail::constructor_names};
inline constexpr Parameters kSetupParameters{
    "NavCalc.setup()", {"speed_kts", "laden", {}, {}}, 2, detail::setup_names};
inline constexpr Parameters kComputeParameters{
    "NavCalc.compute()", {"wind_beta", "wind_scale", "wave_height", "wave_beta"}, 4,
    detail::compute_names};

namespace detail {

// Message builders, out of line: they run only when binding fails.
PendingError too_many_positional(const Parameters& params, Py_ssize_t given);
PendingError unexpected_keyword(const Parameters& params, PyObject* name);
PendingError multiple_values(const Parameters& params, const char* name, Py_ssize_t size);
PendingError missing_arguments(const Parameters& params, PyObject* const* slots);
// The name could not be encoded: drop the encoding error, report it unexpected.
PendingError unencodable_keyword(const Parameters& params, PyObject* name);

// The same, for a keyword matched by identity: its text is the parameter's.
PendingError multiple_values_for(const Parameters& params, std::size_t i);

VELTRUM_HOT Status fill_slot(const Parameters& params, PyObject** slots, std::size_t i,
                             PyObject* value, const char* text, Py_ssize_t size) {
    if (slots[i] != nullptr) [[unlikely]] {
        return multiple_values(params, text, size);
    }
    slots[i] = value;
    return kOk;
}

// The name's UTF-8 text compared with the parameter names in order, as bytes.
Status bind_keyword_by_text(const Parameters& params, PyObject** slots, PyObject* name,
                            PyObject* value);

// `position` is where the keyword stands among all the call's arguments:
// keywords mostly follow the declaration order, so the parameter there is
// tried first.
VELTRUM_HOT Status bind_keyword(const Parameters& params, PyObject** slots, PyObject* name,
                                PyObject* value, std::size_t position) {
    // The same object as a parameter's interned name has that name's text,
    // and the names differ from each other, so at most one is identical:
    // comparing bytes would pick the same parameter, in whatever order the
    // identities are tried.
    std::size_t match = params.count;
    if (position < params.count && name == params.interned[position]) [[likely]] {
        match = position;
    } else {
        for (std::size_t i = 0; i < params.count; ++i) {
            if (name == params.interned[i]) {
                match = i;
                break;
            }
        }
    }
    if (match == params.count) [[unlikely]] {
        return bind_keyword_by_text(params, slots, name, value);
    }
    if (slots[match] != nullptr) [[unlikely]] {
        return multiple_values_for(params, match);
    }
    slots[match] = value;
    return kOk;
}

VELTRUM_HOT Status bind_positional(const Parameters& params, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject** slots) {
    const auto n = static_cast<Py_ssize_t>(params.count);
    if (nargs == n) [[likely]] {
        for (Py_ssize_t i = 0; i < n; ++i) {
            slots[i] = args[i];
        }
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            slots[i] = i < nargs ? args[i] : nullptr;
        }
    }
    if (nargs > n) [[unlikely]] {
        return too_many_positional(params, nargs);
    }
    return kOk;
}

VELTRUM_HOT Status check_missing(const Parameters& params, Py_ssize_t nargs,
                                 PyObject* const* slots) {
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
// of the keywords named by `kwnames` (a tuple, or null). On success `slots`
// points at the bound arguments: the vector itself when the call gave exactly
// the parameters, by position, which needs no binding; else `buffer`, filled.
VELTRUM_HOT Status bind_vector(const Parameters& params, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames, PyObject** buffer,
                               PyObject* const*& slots) {
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(params.count)) [[likely]] {
        slots = args;
        return kOk;
    }
    slots = buffer;
    if (Status s = detail::bind_positional(params, args, nargs, buffer); !s) {
        return s;
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            Status s = detail::bind_keyword(params, buffer, PyTuple_GET_ITEM(kwnames, k),
                                            args[nargs + k], static_cast<std::size_t>(nargs + k));
            if (!s) {
                return s;
            }
        }
    }
    return detail::check_missing(params, nargs, buffer);
}

// Constructor arguments: a tuple and a keyword dictionary (null or empty when
// there are none), taken in the dictionary's order.
VELTRUM_HOT Status bind_tuple(const Parameters& params, PyObject* args, PyObject* kwargs,
                              PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (Status s = detail::bind_positional(params, PySequence_Fast_ITEMS(args), nargs, slots); !s) {
        return s;
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        auto position = static_cast<std::size_t>(nargs);
        while (PyDict_Next(kwargs, &pos, &name, &value)) {
            if (Status s = detail::bind_keyword(params, slots, name, value, position++); !s) {
                return s;
            }
        }
    }
    return detail::check_missing(params, nargs, slots);
}

}  // namespace veltrum
