// The probabilities of a call: `probs` accepted as an array, one vector for a step or one
// row per step for a batch, and held under a shared borrow of the process-wide registry for
// exactly the engine's work.
#pragma once

#include <Python.h>

#include "binding/runtime/compat_texts.hpp"
#include "binding/runtime/interpreter.hpp"
#include "borrow_registry.hpp"
#include "engine/batch.hpp"
#include "engine/probability_view.hpp"

namespace vantor::binding {

class ProbabilityArray {
  public:
    // Classifies `probs` (float32, float16, bfloat16 or float64 arrays read in place,
    // anything else converted to float32), takes the shared borrow and checks contiguity,
    // reporting a non-contiguous array at `contiguity_site`. Throws PyError or
    // InternalFailure; nothing is held after a throw. Its holder keeps the interpreter lock
    // for as long as it lives, and runs no Python code meanwhile.
    ProbabilityArray(PyObject* probs, SourceLocation contiguity_site);
    ProbabilityArray(const ProbabilityArray&) = delete;
    ProbabilityArray& operator=(const ProbabilityArray&) = delete;

    const ProbabilityView& view() const { return view_; }

  private:
    // Destroyed in reverse: the borrow is given back before the reference is dropped.
    ElementKind kind_ = ElementKind::Float32;
    PyRef array_;
    SharedBorrow borrow_;
    ProbabilityView view_;
};

// The rows of a batch: a two-dimensional array of the same kinds, read in place when each
// row is contiguous (any distance between rows), anything else converted to float32 first.
// Rows that are not contiguous are refused with a ValueError; another number of
// dimensions with a TypeError. The interpreter lock may be released while they are held.
class ProbabilityRowsArray {
  public:
    explicit ProbabilityRowsArray(PyObject* probs);
    ProbabilityRowsArray(const ProbabilityRowsArray&) = delete;
    ProbabilityRowsArray& operator=(const ProbabilityRowsArray&) = delete;

    const ProbabilityRows& rows() const { return rows_; }

  private:
    ElementKind kind_ = ElementKind::Float32;
    PyRef array_;
    SharedBorrow borrow_;
    ProbabilityRows rows_;
};

}  // namespace vantor::binding
