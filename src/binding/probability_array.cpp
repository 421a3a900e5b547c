// Placeholder until array acceptance lands: refuses every `probs`.
#include "probability_array.hpp"

namespace vantor::binding {

ProbabilityArray ProbabilityArray::obtain(PyObject*, SourceLocation) {
    throw_error(PyExc_TypeError, "probability arrays are not supported yet");
}

ProbabilityArray::ProbabilityArray(PyObject* array, ProbabilityView view, bool borrowed)
    : array_(array), view_(view), borrowed_(borrowed) {}

ProbabilityArray::ProbabilityArray(ProbabilityArray&& other) noexcept
    : array_(other.array_), view_(other.view_), borrowed_(other.borrowed_) {
    other.array_ = nullptr;
    other.borrowed_ = false;
}

ProbabilityArray::~ProbabilityArray() { Py_XDECREF(array_); }

}  // namespace vantor::binding
