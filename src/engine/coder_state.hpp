// The state of one coder: its registers and its two byte buffers.
#pragma once

#include <cstdint>

#include "byte_buffer.hpp"
#include "constants.hpp"
#include "debug.hpp"

namespace vantor {

// The registers of one coder: everything a step reads and writes besides the bytes of its
// buffers. One record, so that a batch can mark and restore them as a whole.
//
// Between steps, for inputs the coder accepts:
//   low <= high <= 2^62 - 1,  low < HALF <= high,  low < QUARTER or high >= THREE_QUARTERS
// so the width high - low + 1 exceeds 2^60; while decoding also low <= value <= high.
struct CoderRegisters {
    uint64_t low = 0;              // inclusive lower bound of the interval
    uint64_t high = INITIAL_HIGH;  // inclusive upper bound of the interval
    uint64_t pending_bits = 0;     // deferred opposite bits from middle-half expansions
    uint64_t value = 0;            // decoder's 62-bit code window
    uint64_t input_pos = 0;        // bytes of `input` loaded into the bit reader so far
    uint8_t out_bit_count = 0;     // bits collected in out_byte, 0..7 between operations
    uint8_t out_byte = 0;          // collected bits in the low out_bit_count bits, earliest highest
    uint8_t in_bits_left = 0;      // unread bits of input[input_pos - 1]

    bool operator==(const CoderRegisters&) const = default;
};

// The state of one coder: its registers, and the encoder's and the decoder's buffers.
struct CoderState : CoderRegisters {
    ByteBuffer output{INITIAL_OUTPUT_CAPACITY};  // completed encoded bytes
    ByteBuffer input;                            // private copy of the stream being decoded

    CoderState() = default;
    explicit CoderState(ByteBuffer reserved_output)
        : output(static_cast<ByteBuffer&&>(reserved_output)) {}

    CoderRegisters& registers() { return *this; }
    const CoderRegisters& registers() const { return *this; }
};

// A step's renormalisation shifts at most 34 times (a share of at least 1 / 2^32 of a width
// above 2^60 leaves a width of at least 2^28, and the loop stops once it exceeds 2^60), and
// each middle-half expansion is one shift. The count of deferred bits therefore grows by at
// most 34 per step; 2^62 is out of reach of any real run, and a count beyond it is a wrap.
inline constexpr uint64_t PENDING_BITS_BOUND = uint64_t{1} << 62;

// Which operation just ran, for the invariants it guarantees.
enum class AfterStep : uint8_t { Encoding, Finish, Decoding };

// Asserts (in debug builds) what holds after every completed operation. The window
// invariant low <= value <= high is the decoder's alone: load_stream establishes it and a
// decoded step keeps it, but an encoder step moves the interval without the window, which
// is why a decoder step refuses a window outside the interval instead of assuming it.
inline void assert_invariants([[maybe_unused]] const CoderState& s,
                              [[maybe_unused]] AfterStep step) {
    VANTOR_ASSERT(s.low <= s.high && s.high <= INITIAL_HIGH);
    VANTOR_ASSERT(s.low < HALF && HALF <= s.high);
    VANTOR_ASSERT(s.low < QUARTER || s.high >= THREE_QUARTERS);
    VANTOR_ASSERT(s.pending_bits < PENDING_BITS_BOUND);
    VANTOR_ASSERT(step != AfterStep::Finish || s.pending_bits == 0);
    VANTOR_ASSERT(s.out_bit_count <= 7);
    VANTOR_ASSERT(s.in_bits_left <= 7 && s.input_pos <= s.input.size());
    VANTOR_ASSERT(step != AfterStep::Decoding || (s.low <= s.value && s.value <= s.high));
}

}  // namespace vantor
