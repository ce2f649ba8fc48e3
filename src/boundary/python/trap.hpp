// The entry trap: every call from the interpreter into the module runs inside
// it. Nothing is thrown across the interpreter: a model failure becomes a
// PanicException, a pending error is raised, and anything that escapes the
// conversion itself aborts the process.
#pragma once

#include <Python.h>

#include "boundary/failure/failure.hpp"
#include "boundary/python/pending_error.hpp"
#include "compat.hpp"

namespace veltrum {
namespace detail {

// A failure escaped the entry: report it with every frame and abort.
[[noreturn]] void escape() noexcept;

// The caught failure as a lazy PanicException.
PendingError converted(ModelFailure& failure) noexcept;

// Raises the error into the interpreter outside the protected region: a
// failure while doing so has nowhere to go.
void restore_unprotected(PendingError&& error) noexcept;

}  // namespace detail

// For entries that return an object: null with the exception set on failure.
template <class Body>
PyObject* trap_call(Body&& body) noexcept {
    try {
        Result<PyObject*> outcome = body();
        if (outcome) {
            return outcome.value();
        }
        detail::restore_unprotected(outcome.take_error());
    } catch (ModelFailure& failure) {
        detail::restore_unprotected(detail::converted(failure));
    } catch (...) {
        detail::escape();
    }
    return nullptr;
}

// For the instance release, which has no result: a failure goes to the
// interpreter's unraisable-exception hook.
template <class Body>
void trap_release(Body&& body) noexcept {
    try {
        body();
    } catch (ModelFailure& failure) {
        // A release can run while an exception is already on its way (objects
        // dropped during unwinding): report through the hook without losing it.
        PyObject* in_flight = compat::get_raised_exception();
        detail::restore_unprotected(detail::converted(failure));
        PyErr_WriteUnraisable(nullptr);
        compat::set_raised_exception(in_flight);
    } catch (...) {
        detail::escape();
    }
}

}  // namespace veltrum
