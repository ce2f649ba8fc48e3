// Python errors as values. Binding, conversion and access failures travel to
// the entry as a PendingError inside a Result and are raised into the
// interpreter only there.
#pragma once

#include <Python.h>

#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "boundary/failure/failure.hpp"
#include "boundary/failure/text.hpp"
#include "boundary/python/owned_ref.hpp"

namespace veltrum {

class PendingError {
public:
    // Lazy: the exception is made only when the error is restored. `type` is one
    // of the interpreter's exception types; the message becomes its argument.
    static PendingError lazy(PyObject* type, Text message) noexcept {
        return PendingError(Kind::Lazy, type, OwnedRef(), std::move(message));
    }
    // Lazy PanicException carrying a model failure's message.
    static PendingError panic(Text message) noexcept {
        return PendingError(Kind::Panic, nullptr, OwnedRef(), std::move(message));
    }
    // Ready: an exception instance taken from the interpreter.
    static PendingError ready(OwnedRef exception) noexcept {
        return PendingError(Kind::Ready, nullptr, std::move(exception), Text());
    }

    PendingError(PendingError&&) noexcept = default;
    PendingError& operator=(PendingError&&) noexcept = default;

    // The exception's type, exactly (no subclass).
    bool is_exactly(PyObject* type) const noexcept;
    // PyErr_GivenExceptionMatches against the exception or its lazy type.
    bool matches(PyObject* type) const noexcept;
    // A ready error's instance (null for a lazy one).
    PyObject* instance() const noexcept { return exception_.get(); }
    // A lazy error's message.
    const Text& message() const noexcept { return message_; }

    // Sets the error as the interpreter's current exception. Creating the
    // exception can fail: that is a model failure.
    void restore() &&;
    // Restores the error and takes it back as an exception instance.
    OwnedRef into_instance() &&;

private:
    enum class Kind : unsigned char { Lazy, Panic, Ready };
    // Sinks: both are moved into the members, so by value is right.
    // cppcheck-suppress passedByValue
    PendingError(Kind kind, PyObject* type, OwnedRef exception, Text message) noexcept
        : kind_(kind), type_(type), exception_(std::move(exception)), message_(std::move(message)) {}

    Kind kind_;
    PyObject* type_;      // Lazy: the interpreter's type object (immortal for our uses)
    OwnedRef exception_;  // Ready
    Text message_;        // Lazy, Panic
};

struct Unit {};

// A value or a pending error. Values are plain (trivially copyable), so a
// successful call pays for a flag and nothing else.
template <class T>
class [[nodiscard]] Result {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Result(T value) noexcept : ok_(true), value_(value) {}  // NOLINT: implicit by design
    Result(PendingError error) noexcept : ok_(false) {      // NOLINT
        new (&error_) PendingError(std::move(error));
    }
    Result(Result&& other) noexcept : ok_(other.ok_) {
        if (ok_) {
            value_ = other.value_;
        } else {
            new (&error_) PendingError(std::move(other.error_));
        }
    }
    Result& operator=(Result&&) = delete;
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ~Result() {
        if (!ok_) {
            error_.~PendingError();
        }
    }

    explicit operator bool() const noexcept { return ok_; }
    T value() const noexcept { return value_; }
    PendingError& error() noexcept { return error_; }
    PendingError take_error() noexcept { return std::move(error_); }

private:
    bool ok_;
    union {
        T value_;
        PendingError error_;
    };
};

using Status = Result<Unit>;
inline constexpr Unit kOk{};

// Takes the interpreter's current exception after a call reported failure. A
// PanicException coming back out of Python code is not an error to pass on: it
// resumes the failure it carries (a model failure is raised).
PendingError take_pending();

// Takes and drops the current exception (with the same PanicException rule).
void discard_pending();

// An interpreter call that had to create an object failed: print what the
// interpreter has pending and raise "Python API call failed".
[[noreturn]] void api_call_failed(const Site& site = here());

// A one-line rendering of the interpreter's current exception (type, value and
// traceback), which it takes and drops; for failure messages.
Text describe_pending();

// A ready exception of `type` with the message as its argument and `cause` as
// its __cause__; setting the cause (null clears it) also sets
// __suppress_context__.
PendingError caused_error(PyObject* type, std::string_view message, OwnedRef cause);

// A lazy SystemError for an interpreter call that failed without an exception.
PendingError no_exception_set() noexcept;

// The UTF-8 text of a str, with each lone surrogate shown as U+FFFD.
Text utf8_lossy(PyObject* str);

}  // namespace veltrum
