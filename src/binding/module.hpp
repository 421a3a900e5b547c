// Initialisation of the _vantor module, once per process, and creation of its class.
#pragma once

#include <Python.h>

namespace vantor::binding {

// The type made from `description`. Failure is RuntimeError "An error occurred while initializing
// class ArithmeticCoder", caused by the error of the creation.
PyTypeObject* create_type(PyType_Spec& description);

// The body of PyInit__vantor: creates the module from `definition` and adds the class
// `class_type()` to it under `class_name`, and to its __all__. Every call after a
// successful one fails with ImportError. Returns a new reference, or null with an
// exception set.
PyObject* initialise_module(PyModuleDef& definition, const char* class_name,
                            PyTypeObject* (*class_type)()) noexcept;

}  // namespace vantor::binding
