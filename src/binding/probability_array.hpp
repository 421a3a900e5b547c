// The probability vector of one step: `probs` accepted as an array and held under a shared
// borrow of the process-wide registry for exactly one engine step.
#pragma once

#include <Python.h>

#include "compat_texts.hpp"
#include "engine/probability_view.hpp"

namespace vantor::binding {

class ProbabilityArray {
  public:
    // Classifies `probs` (float32, float16, bfloat16 or float64 arrays read in place,
    // anything else converted to float32), takes the shared borrow and checks contiguity,
    // reporting a non-contiguous array at `contiguity_site`. Throws PyError or
    // InternalFailure; nothing is held after a throw.
    static ProbabilityArray obtain(PyObject* probs, SourceLocation contiguity_site);

    ProbabilityArray(ProbabilityArray&& other) noexcept;
    ProbabilityArray& operator=(ProbabilityArray&&) = delete;
    ProbabilityArray(const ProbabilityArray&) = delete;
    ProbabilityArray& operator=(const ProbabilityArray&) = delete;
    // Releases the shared borrow, then drops the array reference.
    ~ProbabilityArray();

    const ProbabilityView& view() const { return view_; }

  private:
    ProbabilityArray(PyObject* array, ProbabilityView view, bool borrowed);

    PyObject* array_;  // owned
    ProbabilityView view_;
    bool borrowed_;
};

}  // namespace vantor::binding
