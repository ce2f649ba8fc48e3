// PanicException: the Python exception type that model failures become.
#pragma once

#include <Python.h>

namespace veltrum {

// The type, created on first use and kept for the life of the process
// (borrowed). Raises a model failure when it cannot be created.
PyObject* panic_exception_type();

}  // namespace veltrum
