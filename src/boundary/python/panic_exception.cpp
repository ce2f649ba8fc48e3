// PanicException, created once per process and never released.
#include "boundary/python/panic_exception.hpp"

#include "boundary/failure/failure.hpp"
#include "boundary/python/pending_error.hpp"

namespace veltrum {
namespace {

PyObject* g_panic_type = nullptr;  // guarded by the interpreter lock

constexpr const char* kDoc =
    "\n"
    "The exception raised when the native code of the veltrum extension, called from Python,\n"
    "fails.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

}  // namespace

PyObject* panic_exception_type() {
    if (g_panic_type != nullptr) {
        return g_panic_type;
    }
    PyObject* created =
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kDoc, PyExc_BaseException, nullptr);
    if (created == nullptr) {
        Text message("Failed to initialize new exception type.: ");
        message.append(describe_pending());
        fail(message, here());
    }
    // Creating the type can run Python code that gets here first; keep the
    // first type stored so every failure raises one and the same type.
    if (g_panic_type != nullptr) {
        Py_DECREF(created);
    } else {
        g_panic_type = created;
    }
    return g_panic_type;
}

}  // namespace veltrum
