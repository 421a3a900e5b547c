// The TypeError for an object that is not of the type a conversion needs.
#pragma once

#include <Python.h>

namespace vantor::binding {

// Throws TypeError "'{qualname of the object's type}' object cannot be converted to
// '{target}'".
[[noreturn]] void throw_conversion_error(PyObject* object, const char* target);

}  // namespace vantor::binding
