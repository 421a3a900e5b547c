// The state of one coder: the encoder's and the decoder's fields side by side.
#pragma once

#include <cstdint>

#include "byte_buffer.hpp"
#include "constants.hpp"

namespace vantor {

// Between steps, for inputs the coder accepts:
//   low <= high <= 2^62 - 1,  low < HALF <= high,  low < QUARTER or high >= THREE_QUARTERS
// so the width high - low + 1 exceeds 2^60; while decoding also low <= value <= high.
struct CoderState {
    ByteBuffer output{INITIAL_OUTPUT_CAPACITY};  // completed encoded bytes
    ByteBuffer input;                            // private copy of the stream being decoded
    uint64_t low = 0;                            // inclusive lower bound of the interval
    uint64_t high = INITIAL_HIGH;                // inclusive upper bound of the interval
    uint64_t pending_bits = 0;  // deferred opposite bits from middle-half expansions
    uint64_t value = 0;         // decoder's 62-bit code window
    uint64_t input_pos = 0;     // bytes of `input` loaded into the bit reader so far
    uint8_t out_bit_count = 0;  // bits collected in out_byte, 0..7 between operations
    uint8_t out_byte = 0;       // collected bits in the low out_bit_count bits, earliest highest
    uint8_t in_bits_left = 0;   // unread bits of input[input_pos - 1]

    CoderState() = default;
    explicit CoderState(ByteBuffer reserved_output)
        : output(static_cast<ByteBuffer&&>(reserved_output)) {}
};

}  // namespace vantor
