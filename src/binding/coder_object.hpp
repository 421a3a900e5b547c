// The ArithmeticCoder instance record and its life from __new__ to deallocation.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "engine/coder_state.hpp"

namespace vantor::binding {

// Memory comes raw from the type's allocator: `state` and `borrow_flag` are constructed in
// place by coder_new and destroyed explicitly by coder_dealloc.
struct CoderObject {
    PyObject header;
    CoderState state;
    // 0: free; all bits set: held by one running method call (see ExclusiveUse).
    std::atomic<uintptr_t> borrow_flag;
};

// Py_tp_new: refuses every argument, then makes a coder in its initial state.
PyObject* coder_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);

// Py_tp_dealloc: releases both byte buffers, the instance memory, then the type reference.
void coder_dealloc(PyObject* self);

}  // namespace vantor::binding
