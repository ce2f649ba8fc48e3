// Every point where the C API of the supported interpreters (CPython 3.10 to
// 3.15) differs, in one place. Each function gives, on every version, what the
// newest interface gives; the rest of the code calls these and nothing
// version-specific.
#pragma once

#include <Python.h>

#include <cstring>

#if PY_VERSION_HEX < 0x030A0000
#error "veltrum needs CPython 3.10 or newer"
#endif
#if defined(Py_LIMITED_API)
#error "veltrum reads objects in place and cannot be built for the limited API"
#endif
#if defined(Py_GIL_DISABLED)
#error "veltrum relies on the interpreter lock and does not support free-threaded builds"
#endif

namespace veltrum::compat {

// PyErr_GetRaisedException (3.12): the current exception as one normalised
// instance, its traceback attached, or null; the indicator is cleared.
inline PyObject* get_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
        Py_DECREF(traceback);
    }
    Py_DECREF(type);
    return value;
#endif
}

// PyErr_SetRaisedException (3.12): takes over the instance (null clears).
inline void set_raised_exception(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    if (exception == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// A compact int (one digit or none) holds its value inline. Before 3.12 the
// digit count is the object's size, negative for negative values; a zero has
// no digit to read.
static_assert(PyLong_SHIFT <= 30);
inline bool long_is_compact(PyObject* object) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object)) != 0;
#else
    const Py_ssize_t size = Py_SIZE(object);
    return -1 <= size && size <= 1;
#endif
}

inline Py_ssize_t long_compact_value(PyObject* object) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
#else
    const Py_ssize_t size = Py_SIZE(object);
    if (size == 0) {
        return 0;
    }
    return size * static_cast<Py_ssize_t>(reinterpret_cast<PyLongObject*>(object)->ob_digit[0]);
#endif
}

#if PY_VERSION_HEX < 0x030B0000
namespace detail {
// What 3.11's PyType_GetName gives: a heap type's own name, else the part of
// tp_name after its last dot.
inline PyObject* static_type_name(PyTypeObject* type) noexcept {
    const char* dot = std::strrchr(type->tp_name, '.');
    return PyUnicode_FromString(dot != nullptr ? dot + 1 : type->tp_name);
}
}  // namespace detail
#endif

// PyType_GetName (3.11): a new reference to the type's __name__.
inline PyObject* type_name(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetName(type);
#else
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        return Py_NewRef(reinterpret_cast<PyHeapTypeObject*>(type)->ht_name);
    }
    return detail::static_type_name(type);
#endif
}

// PyType_GetQualName (3.11): a new reference to the type's __qualname__.
inline PyObject* type_qualname(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetQualName(type);
#else
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        return Py_NewRef(reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname);
    }
    return detail::static_type_name(type);
#endif
}

}  // namespace veltrum::compat
