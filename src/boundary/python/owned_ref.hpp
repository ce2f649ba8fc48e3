// A strong reference to a Python object, released when it goes out of scope,
// also while a model failure unwinds through it. A raw PyObject* never owns.
#pragma once

#include <Python.h>

#include <utility>

namespace veltrum {

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    ~OwnedRef() { Py_XDECREF(ptr_); }

    // Takes over a new reference (null stays empty).
    static OwnedRef steal(PyObject* ptr) noexcept { return OwnedRef(ptr); }
    // Adds a reference of its own to a borrowed object.
    static OwnedRef borrow(PyObject* ptr) noexcept { return OwnedRef(Py_XNewRef(ptr)); }

    OwnedRef(OwnedRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        // `other` is read once, by the temporary's move constructor; cppcheck
        // takes the swap with the temporary for a second access.
        // cppcheck-suppress accessMoved
        OwnedRef(std::move(other)).swap(*this);
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void swap(OwnedRef& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    explicit OwnedRef(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace veltrum
