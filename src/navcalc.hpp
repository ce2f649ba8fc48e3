// The NavCalc instance as memory, and access to the class object.
#pragma once

#include <Python.h>

#include <cstddef>

#include "model/vessel.hpp"

namespace veltrum {

// Object header, vessel record, access flag; nothing else (no instance
// dictionary, no weak-reference list, no garbage-collector header).
struct NavCalcObject {
    PyObject_HEAD
    model::Vessel vessel;
    std::size_t access;  // 0 free, all bits set while setup runs, else running computes
};

static_assert(sizeof(void*) != 8 || sizeof(NavCalcObject) == 104);
static_assert(offsetof(NavCalcObject, vessel) == sizeof(PyObject));
static_assert(offsetof(NavCalcObject, access) == sizeof(PyObject) + sizeof(model::Vessel));

namespace detail {
// The class object once created; set once, never released.
inline PyTypeObject* navcalc_class = nullptr;  // guarded by the interpreter lock
PyTypeObject* create_type_for_receiver();
}  // namespace detail

// The class object for the receiver check of every method call, created if it
// does not exist yet; a failure to create it is printed and raised as a model
// failure.
inline PyTypeObject* navcalc_type_for_receiver() {
    if (detail::navcalc_class != nullptr) [[likely]] {
        return detail::navcalc_class;
    }
    return detail::create_type_for_receiver();
}

}  // namespace veltrum
