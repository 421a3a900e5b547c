// The encoding half: narrowing to a symbol's share, settling bits, terminating the stream.
//
// Stream format: bytes of 8 stream bits each, earliest bit in bit 7. The bits are those
// settled by each step, then the termination (the deferred count plus two bits), then zero
// bits up to the byte boundary. No header, length or end marker.
#pragma once

#include <cstdint>

#include "coder_state.hpp"
#include "probability_view.hpp"
#include "step_status.hpp"

namespace vantor {

// Refuses (state untouched) an empty vector, a symbol beyond it, or a symbol with no
// proper share of the table; otherwise codes the symbol.
StepStatus encode_symbol(CoderState& state, const ProbabilityView& view, uint64_t symbol);

// Writes the termination and the padded last byte into `output`. Resets nothing: a later
// step continues the interval and a later finish appends a new termination.
void finish_stream(CoderState& state);

}  // namespace vantor
