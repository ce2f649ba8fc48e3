// Message pieces shared by binding, conversion and access errors.
#pragma once

#include <Python.h>

#include <string_view>

#include "boundary/python/pending_error.hpp"

namespace veltrum {

// str() of an object as message text. When str() raises, the exception goes to
// the unraisable-exception hook and the text names the object's type instead.
Text render(PyObject* object);

// The type's qualified name, or "<failed to extract type name>".
Text qualified_name(PyTypeObject* type);

// TypeError "'{type}' object cannot be converted to '{target}'".
PendingError cannot_convert(PyTypeObject* type, std::string_view target);

}  // namespace veltrum
