// The decoding half: reads the encoder's stream in lockstep with the same interval.
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder_state.hpp"
#include "probability_view.hpp"
#include "step_status.hpp"

namespace vantor {

// Takes a private copy of the stream, resets the interval and fills the 62-bit window.
// Leaves the encoder's fields as they are.
void load_stream(CoderState& state, const uint8_t* bytes, std::size_t size);

// The next stream bit: bytes from bit 7 down, then zero bits for ever.
unsigned read_bit(CoderState& state);

// Refuses (state untouched) an empty interval, a window outside the interval, an empty
// vector, or a search that finds no proper share; otherwise decodes one symbol.
DecodeOutcome decode_symbol(CoderState& state, const ProbabilityView& view);

}  // namespace vantor
