// PanicException: what an internal failure becomes for Python code.
#pragma once

#include <Python.h>

namespace vantor::binding {

// The class (borrowed; kept for the life of the process), created on first need. A failed
// creation is an internal failure; the next need tries again.
PyObject* panic_exception_type();

}  // namespace vantor::binding
