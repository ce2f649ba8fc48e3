// Access to a receiver's vessel record for the length of a method call: shared
// for compute, exclusive for setup. Re-entrant calls (Python code run by a
// conversion calling back into the same object) become RuntimeErrors instead of
// touching a record that is in use.
#pragma once

#include <Python.h>

#include <cstddef>
#include <limits>

#include "boundary/python/pending_error.hpp"
#include "messages.hpp"
#include "navcalc.hpp"

namespace veltrum {

enum class AccessMode { Shared, Exclusive };

inline constexpr std::size_t kExclusiveAccess = std::numeric_limits<std::size_t>::max();

namespace detail {
PendingError already_mutably_borrowed();
PendingError already_borrowed();
}  // namespace detail

// Holds the access and a reference to the receiver; the destructor gives both
// back, also while a model failure unwinds.
template <AccessMode Mode>
class ReceiverAccess {
public:
    ReceiverAccess() = default;
    ReceiverAccess(const ReceiverAccess&) = delete;
    ReceiverAccess& operator=(const ReceiverAccess&) = delete;
    ~ReceiverAccess() {
        if (self_ != nullptr) {
            if constexpr (Mode == AccessMode::Shared) {
                --self_->access;
            } else {
                self_->access = 0;
            }
            Py_DECREF(reinterpret_cast<PyObject*>(self_));
        }
    }

    Status acquire(PyObject* receiver) {
        PyTypeObject* cls = navcalc_type_for_receiver();
        PyTypeObject* type = Py_TYPE(receiver);
        if (type != cls && PyType_IsSubtype(type, cls) == 0) [[unlikely]] {
            return cannot_convert(type, "NavCalc");
        }
        auto* self = reinterpret_cast<NavCalcObject*>(receiver);
        if constexpr (Mode == AccessMode::Shared) {
            if (self->access == kExclusiveAccess) [[unlikely]] {
                return detail::already_mutably_borrowed();
            }
            ++self->access;
        } else {
            if (self->access != 0) [[unlikely]] {
                return detail::already_borrowed();
            }
            self->access = kExclusiveAccess;
        }
        Py_INCREF(receiver);
        self_ = self;
        return kOk;
    }

    model::Vessel& vessel() noexcept { return self_->vessel; }

private:
    NavCalcObject* self_ = nullptr;
};

}  // namespace veltrum
