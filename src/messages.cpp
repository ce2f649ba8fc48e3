// Message pieces shared by binding, conversion and access errors.
#include "messages.hpp"

#include "compat.hpp"

namespace veltrum {

Text render(PyObject* object) {
    OwnedRef text = OwnedRef::steal(PyObject_Str(object));
    if (text) {
        return utf8_lossy(text.get());
    }
    std::move(take_pending()).restore();
    PyErr_WriteUnraisable(object);
    OwnedRef name = OwnedRef::steal(compat::type_name(Py_TYPE(object)));
    Py_ssize_t size = 0;
    const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        discard_pending();
        return Text("<unprintable object>");
    }
    Text out("<unprintable ");
    out.append(utf8, static_cast<std::size_t>(size));
    out.append(" object>");
    return out;
}

Text qualified_name(PyTypeObject* type) {
    OwnedRef name = OwnedRef::steal(compat::type_qualname(type));
    Py_ssize_t size = 0;
    const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        discard_pending();
        return Text("<failed to extract type name>");
    }
    return Text(utf8, static_cast<std::size_t>(size));
}

PendingError cannot_convert(PyTypeObject* type, std::string_view target) {
    Text message("'");
    message.append(qualified_name(type));
    message.append("' object cannot be converted to '");
    message.append(target);
    message.append("'");
    return PendingError::lazy(PyExc_TypeError, std::move(message));
}

namespace detail {

PendingError already_mutably_borrowed() {
    return PendingError::lazy(PyExc_RuntimeError, Text("Already mutably borrowed"));
}

PendingError already_borrowed() {
    return PendingError::lazy(PyExc_RuntimeError, Text("Already borrowed"));
}

}  // namespace detail

}  // namespace veltrum
