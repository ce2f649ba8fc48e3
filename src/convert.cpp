// Conversions beyond the fast paths, and the wrapping of their failures.
#include "convert.hpp"

#include <limits>

#include "messages.hpp"

namespace veltrum {
namespace {

bool utf8_equals(PyObject* str, std::string_view expected) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (text == nullptr) {
        discard_pending();
        return false;
    }
    return std::string_view(text, static_cast<std::size_t>(size)) == expected;
}

// "__module__", interned once and kept for the process. A str made afresh for
// each look-up would miss the interpreter's attribute cache, which then keeps
// it in place of the last one: memory a call leaves behind.
PyObject* g_module_attribute = nullptr;  // guarded by the interpreter lock

// numpy's boolean scalar type, recognised by module and name without importing
// numpy. Any failure while looking makes the answer no.
bool is_numpy_bool(PyTypeObject* type) {
    if (g_module_attribute == nullptr) {
        g_module_attribute = PyUnicode_InternFromString("__module__");
        if (g_module_attribute == nullptr) {
            discard_pending();
            return false;
        }
    }
    OwnedRef module =
        OwnedRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), g_module_attribute));
    if (!module) {
        discard_pending();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || !utf8_equals(module.get(), "numpy")) {
        return false;
    }
    OwnedRef name = OwnedRef::steal(compat::type_name(type));
    if (!name) {
        discard_pending();
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) {
        discard_pending();
        return false;
    }
    const std::string_view view(text, static_cast<std::size_t>(size));
    return view == "bool_" || view == "bool";
}

}  // namespace

namespace detail {

Result<double> to_double_slow(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return take_pending();
    }
    return value;
}

Result<double> exact_int_to_double(PyObject* object) {
    const double value = PyLong_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return take_pending();
    }
    return value;
}

Result<bool> to_bool_slow(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (!is_numpy_bool(type)) {
        return cannot_convert(type, "PyBool");
    }
    inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) {
        Text message("object of type '");
        message.append(render(reinterpret_cast<PyObject*>(type)));
        message.append("' does not define a '__bool__' conversion");
        return PendingError::lazy(PyExc_TypeError, std::move(message));
    }
    const int result = truth(object);
    if (result == 0 || result == 1) {
        return result == 1;
    }
    return take_pending();
}

Result<std::int32_t> to_int32_slow(PyObject* object) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        return take_pending();
    }
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return PendingError::lazy(PyExc_OverflowError,
                                  Text("Python int too large to convert to C long"));
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace detail

PendingError wrap_conversion_error(std::string_view parameter, PendingError error) {
    if (!error.is_exactly(PyExc_TypeError)) {
        return error;
    }
    Text message("argument '");
    message.append(parameter);
    message.append("': ");
    OwnedRef cause;
    if (PyObject* exception = error.instance()) {
        message.append(render(exception));
        cause = OwnedRef::steal(PyException_GetCause(exception));
    } else {
        message.append(error.message());  // our own TypeError: str() is its message
    }
    return caused_error(PyExc_TypeError, message, std::move(cause));
}

}  // namespace veltrum
