// How a coding step ended. Every refusal is decided before the step changes any state,
// so a refused step leaves the coder exactly as it was.
#pragma once

#include <cstdint>

namespace vantor {

enum class StepStatus : uint8_t {
    Coded,
    EmptyProbabilities,  // the vector has no element
    SymbolOutOfRange,    // encoder: symbol >= element count
    NoShare,             // the symbol's share is empty or reaches past TOTAL_FREQ
    NotPositioned,       // decoder: the code window lies outside the interval
    EmptyInterval,       // decoder: the interval has width zero (no division possible)
};

struct DecodeOutcome {
    StepStatus status;
    uint64_t symbol;  // the decoded symbol; for NoShare, the symbol the search reached
};

}  // namespace vantor
