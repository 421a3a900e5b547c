#include "coder_calls.hpp"

#include <string>

namespace vantor::binding {

namespace {

// Throws the error of a refused step, its message led by `prefix`.
[[noreturn]] void refuse(StepStatus status, uint64_t symbol, uint64_t count,
                         const std::string& prefix) {
    switch (status) {
        case StepStatus::SymbolOutOfRange:
            throw_error(PyExc_IndexError, prefix + "symbol " + std::to_string(symbol) +
                                              " is out of range for " + std::to_string(count) +
                                              " probabilities");
        case StepStatus::EmptyProbabilities:
            throw_error(PyExc_ValueError, prefix + "probabilities are empty");
        case StepStatus::NoShare:
            throw_error(PyExc_ValueError, prefix + "probabilities sum to more than 1: symbol " +
                                              std::to_string(symbol) +
                                              " has no share of the frequency table");
        case StepStatus::NotPositioned:
            throw_error(PyExc_ValueError, prefix +
                                              "the decoder is not positioned in a stream: call "
                                              "start_decoding first");
        case StepStatus::EmptyInterval:
            fail(compat::DIVIDE_BY_ZERO, compat::DECODE_EMPTY_INTERVAL);
        case StepStatus::Coded:
            break;
    }
    fail("unknown engine step status " + std::to_string(static_cast<unsigned>(status)), here());
}

}  // namespace

void check_step(StepStatus status, uint64_t symbol, uint64_t count) {
    if (status != StepStatus::Coded) refuse(status, symbol, count, {});
}

void check_rows(const BatchOutcome& outcome, uint64_t length) {
    if (outcome.status != StepStatus::Coded) {
        refuse(outcome.status, outcome.symbol, length, "row " + std::to_string(outcome.row) + ": ");
    }
}

}  // namespace vantor::binding
