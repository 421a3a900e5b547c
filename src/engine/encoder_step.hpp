// The encoder's step, inline, so that the single step and the batch loop compile it into
// their own loops: narrowing to the symbol's share and settling the bits it fixes.
#pragma once

#include <cstdint>

#include "coder_state.hpp"
#include "few_elements.hpp"
#include "frequency_model.hpp"
#include "interval.hpp"
#include "platform.hpp"
#include "step_status.hpp"

namespace vantor::encoding {

// Appends the low `count` bits of `bits`, earliest highest, count at most 56: with the 7 or
// fewer bits of the partial byte they fit one 64-bit word.
inline void put_bits(CoderState& state, uint64_t bits, unsigned count) {
    const uint64_t word = (uint64_t{state.out_byte} << count) | bits;
    unsigned filled = state.out_bit_count + count;
    if (filled < 8) {  // the usual case: the byte is not complete yet
        state.out_byte = static_cast<uint8_t>(word);
        state.out_bit_count = static_cast<uint8_t>(filled);
        return;
    }
    while (filled >= 8) {
        filled -= 8;
        state.output.push(static_cast<uint8_t>(word >> filled));
    }
    state.out_byte = static_cast<uint8_t>(word & ((1u << filled) - 1));
    state.out_bit_count = static_cast<uint8_t>(filled);
}

// Any number of bits, in pieces.
inline void put_long(CoderState& state, uint64_t bits, unsigned count) {
    if (count > 32) {
        put_bits(state, bits >> 32, count - 32);
        count = 32;
    }
    put_bits(state, bits & 0xFFFFFFFF, count);
}

// `count` copies of one bit.
inline void put_run(CoderState& state, unsigned bit, uint64_t count) {
    constexpr unsigned PIECE = 32;
    const uint64_t all = bit != 0 ? 0xFFFFFFFF : 0;
    for (; count > PIECE; count -= PIECE)
        put_bits(state, all, PIECE);
    put_bits(state, all >> (PIECE - count), static_cast<unsigned>(count));
}

// One bit followed by every deferred opposite bit.
inline void settle_bit(CoderState& state, unsigned bit) {
    put_bits(state, bit, 1);
    put_run(state, bit ^ 1u, state.pending_bits);
    state.pending_bits = 0;
}

VANTOR_ALWAYS_INLINE void renormalise(CoderState& state) {
    const Renormalisation r = renormalise_interval(state);
    if (r.settled != 0 && state.pending_bits == 0 && r.settled <= 56) {
        put_bits(state, r.settled_bits, r.settled);  // the usual case, in one piece
    } else if (r.settled != 0) {
        const unsigned first = static_cast<unsigned>(r.settled_bits >> (r.settled - 1));
        settle_bit(state, first);
        const unsigned rest = r.settled - 1;
        put_long(state, r.settled_bits & ((uint64_t{1} << rest) - 1), rest);
    }
    state.pending_bits += r.expansions;
}

// encode_symbol on `count` elements of kind K.
template <ElementKind K>
VANTOR_ALWAYS_INLINE StepStatus step(CoderState& state, const Storage<K>* elements, uint64_t count,
                                     uint64_t symbol) {
    if (count == 0) return StepStatus::EmptyProbabilities;
    if (symbol >= count) return StepStatus::SymbolOutOfRange;
    const SymbolRange share = count <= SMALL_COUNT ? short_share<K>(elements, count, symbol)
                                                   : encoder_share_of<K>(elements, count, symbol);
    if (!share.codable) return StepStatus::NoShare;
    narrow(state, share.cum_low, share.cum_high);
    renormalise(state);
    assert_invariants(state, AfterStep::Encoding);
    return StepStatus::Coded;
}

}  // namespace vantor::encoding
