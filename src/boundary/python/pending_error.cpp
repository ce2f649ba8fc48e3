// Pending errors: restoring them into the interpreter, taking the interpreter's
// exception back, and the failed interpreter call.
#include "boundary/python/pending_error.hpp"

#include "boundary/failure/report.hpp"
#include "boundary/python/panic_exception.hpp"
#include "compat.hpp"

namespace veltrum {
namespace {

constexpr std::string_view kNoExceptionSet = "attempted to fetch exception but none was set";

void append_repr(Text& out, PyObject* object) {
    OwnedRef repr = OwnedRef::steal(PyObject_Repr(object));
    if (repr) {
        out.append(utf8_lossy(repr.get()));
    } else {
        PyErr_Clear();
        out.append("<unprintable>");
    }
}

// A PanicException came back out of Python code (a hook the boundary called let
// it escape): print it through the interpreter and carry its message on as a
// failure of the current call. It was reported when first raised.
[[noreturn]] void resume_panic(OwnedRef exception) {
    Text message;
    OwnedRef text = OwnedRef::steal(PyObject_Str(exception.get()));
    if (text) {
        message = utf8_lossy(text.get());
    } else {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    report::write_stderr(
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n");
    compat::set_raised_exception(exception.release());
    PyErr_PrintEx(0);
    resume_failure(std::move(message));
}

void append_utf8(Text& out, Py_UCS4 c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace

bool PendingError::is_exactly(PyObject* type) const noexcept {
    switch (kind_) {
        case Kind::Lazy:
            return type_ == type;
        case Kind::Ready:
            return reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) == type;
        case Kind::Panic:
            break;
    }
    return false;
}

bool PendingError::matches(PyObject* type) const noexcept {
    switch (kind_) {
        case Kind::Lazy:
            return PyErr_GivenExceptionMatches(type_, type) != 0;
        case Kind::Ready:
            return PyErr_GivenExceptionMatches(exception_.get(), type) != 0;
        case Kind::Panic:
            break;
    }
    return false;
}

void PendingError::restore() && {
    if (kind_ == Kind::Ready) {
        compat::set_raised_exception(exception_.release());
        return;
    }
    // The producer: the exception type and the value to raise it with.
    OwnedRef type;
    OwnedRef value;
    if (kind_ == Kind::Panic) {
        type = OwnedRef::borrow(panic_exception_type());
    } else {
        type = OwnedRef::borrow(type_);
    }
    OwnedRef text = OwnedRef::steal(PyUnicode_FromStringAndSize(
        message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (!text) {
        api_call_failed();
    }
    if (kind_ == Kind::Panic) {
        // A tuple value: the interpreter passes its items as the arguments.
        value = OwnedRef::steal(PyTuple_New(1));
        if (!value) {
            api_call_failed();
        }
        PyTuple_SET_ITEM(value.get(), 0, text.release());
    } else {
        value = std::move(text);
    }
    if (PyType_Check(type.get()) &&
        PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(type.get()),
                            Py_TPFLAGS_BASE_EXC_SUBCLASS)) {
        PyErr_SetObject(type.get(), value.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

OwnedRef PendingError::into_instance() && {
    std::move(*this).restore();
    return OwnedRef::steal(compat::get_raised_exception());
}

PendingError caused_error(PyObject* type, std::string_view message, OwnedRef cause) {
    OwnedRef text = OwnedRef::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) {
        api_call_failed();
    }
    OwnedRef error = OwnedRef::steal(PyObject_CallOneArg(type, text.get()));
    if (!error) {
        api_call_failed();
    }
    PyException_SetCause(error.get(), cause.release());
    return PendingError::ready(std::move(error));
}

PendingError no_exception_set() noexcept {
    return PendingError::lazy(PyExc_SystemError, Text(kNoExceptionSet));
}

PendingError take_pending() {
    OwnedRef exception = OwnedRef::steal(compat::get_raised_exception());
    if (!exception) {
        return no_exception_set();
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) == panic_exception_type()) {
        resume_panic(std::move(exception));
    }
    // resume_panic() never returns, so nothing reaches here after the move.
    // cppcheck-suppress accessMoved
    return PendingError::ready(std::move(exception));
}

void discard_pending() { (void)take_pending(); }

void api_call_failed(const Site& site) {
    PyErr_Print();
    fail("Python API call failed", site);
}

Text describe_pending() {
    OwnedRef exception = OwnedRef::steal(compat::get_raised_exception());
    Text out("PyErr { type: ");
    if (!exception) {
        out.append("<class 'SystemError'>, value: SystemError('");
        out.append(kNoExceptionSet);
        out.append("'), traceback: None }");
        return out;
    }
    append_repr(out, reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    out.append(", value: ");
    append_repr(out, exception.get());
    out.append(", traceback: ");
    OwnedRef traceback = OwnedRef::steal(PyException_GetTraceback(exception.get()));
    append_repr(out, traceback ? traceback.get() : Py_None);
    out.append(" }");
    return out;
}

Text utf8_lossy(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
        return Text(utf8, static_cast<std::size_t>(size));
    }
    // Only lone surrogates make a str unencodable. Encoded as they stand and
    // decoded with replacement, each is three ill-formed bytes: three U+FFFD.
    PyErr_Clear();
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    Text out;
    out.reserve(static_cast<std::size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) {
            out.append("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
        } else {
            append_utf8(out, c);
        }
    }
    return out;
}

}  // namespace veltrum
