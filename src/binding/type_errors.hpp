// The TypeErrors of argument and object conversion.
#pragma once

#include <Python.h>

#include "py_error.hpp"

namespace vantor::binding {

// TypeError "'{from}' object cannot be cast as '{to}'": `object` is not of `target` type.
PyError cast_error(PyObject* object, PyTypeObject* target);

// Throws TypeError "'{from}' object cannot be converted to '{target}'".
[[noreturn]] void throw_conversion_error(PyObject* object, const char* target);

// The error to raise when converting argument `name` failed with `error`: a TypeError
// (exactly) gains the argument's name, anything else passes unchanged.
PyError argument_error(const char* name, PyError error);

}  // namespace vantor::binding
