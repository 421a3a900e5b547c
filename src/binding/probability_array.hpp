// The probability vector of one step: `probs` accepted as an array and held under a shared
// borrow of the process-wide registry for exactly one engine step.
#pragma once

#include <Python.h>

#include "borrow_registry.hpp"
#include "compat_texts.hpp"
#include "engine/probability_view.hpp"
#include "py_ref.hpp"

namespace vantor::binding {

class ProbabilityArray {
  public:
    // Classifies `probs` (float32, float16, bfloat16 or float64 arrays read in place,
    // anything else converted to float32), takes the shared borrow and checks contiguity,
    // reporting a non-contiguous array at `contiguity_site`. Throws PyError or
    // InternalFailure; nothing is held after a throw.
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

}  // namespace vantor::binding
