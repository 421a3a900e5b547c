// Initialisation of the _vantor module, once per process.
#pragma once

#include <Python.h>

namespace vantor::binding {

// The body of PyInit__vantor: creates the module from `definition` with the coder type
// (from `coder_spec`) in it and in its __all__. Every call after a successful one fails
// with ImportError. Returns a new reference, or null with an exception set.
PyObject* initialise_module(PyModuleDef& definition, PyType_Spec& coder_spec) noexcept;

}  // namespace vantor::binding
