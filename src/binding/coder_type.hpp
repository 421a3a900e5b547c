// The ArithmeticCoder type object: created once from its description (slots, flags, name), then kept.
#pragma once

#include <Python.h>

#include "coder_object.hpp"

namespace vantor::binding {

// The type (borrowed), created from `description` when it does not exist yet. Failure is
// RuntimeError "An error occurred while initializing class ArithmeticCoder", caused by the
// error of the creation.
PyTypeObject* coder_type(PyType_Spec& description);

// The type (borrowed); module initialisation has created it before any method can run.
PyTypeObject* coder_type();

// `self` as a coder, or the cast error for a foreign object.
CoderObject& coder_from(PyObject* self);

}  // namespace vantor::binding
