#include "step_errors.hpp"

#include <string>

#include "py_error.hpp"

namespace vantor::binding {

void check_step(StepStatus status, uint64_t symbol, uint64_t count) {
    switch (status) {
        case StepStatus::Coded:
            return;
        case StepStatus::SymbolOutOfRange:
            throw_error(PyExc_IndexError, "symbol " + std::to_string(symbol) +
                                              " is out of range for " + std::to_string(count) +
                                              " probabilities");
        case StepStatus::EmptyProbabilities:
            throw_error(PyExc_ValueError, "probabilities are empty");
        case StepStatus::NoShare:
            throw_error(PyExc_ValueError, "probabilities sum to more than 1: symbol " +
                                              std::to_string(symbol) +
                                              " has no share of the frequency table");
        case StepStatus::NotPositioned:
            throw_error(PyExc_ValueError,
                        "the decoder is not positioned in a stream: call start_decoding first");
        case StepStatus::EmptyInterval:
            fail(compat::DIVIDE_BY_ZERO, compat::DECODE_EMPTY_INTERVAL);
    }
    fail("unknown engine step status " + std::to_string(static_cast<unsigned>(status)), here());
}

}  // namespace vantor::binding
