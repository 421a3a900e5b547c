// The decoder's step, inline, so that the single step and the batch loop compile it into
// their own loops: finding the symbol the window points at and following the encoder's
// renormalisation.
#pragma once

#include <cstdint>

#include "coder_state.hpp"
#include "compiler.hpp"
#include "few_elements.hpp"
#include "frequency_model.hpp"
#include "interval.hpp"
#include "step_status.hpp"
#include "wide_math.hpp"

namespace vantor::decoding {

// The point of the frequency table that the window maps to:
// floor(((value - low + 1) * 2^32 - 1) / range), in 128-bit arithmetic.
inline uint64_t decoding_target(const CoderState& state, uint64_t range) {
    return wide::window_quotient(state.value - state.low, range);
}

// The next `count` (at most 57) stream bits, earliest highest, as read_bit would give them,
// with no branch on them: one big-endian word from the byte being read, shifted past the
// bits read already, with zeros past the stream's end; the position stops at the end, as
// read_bit's does.
inline uint64_t read_bits(CoderState& state, unsigned count) {
    VANTOR_ASSERT(count <= 57 && state.in_bits_left <= 7);
    const uint64_t consumed = state.input_pos * 8 - state.in_bits_left;
    const uint64_t word = state.input.word_at(consumed >> 3) << (consumed & 7);
    const uint64_t end = uint64_t{state.input.size()} * 8;
    const uint64_t after = consumed + count < end ? consumed + count : end;
    state.input_pos = (after + 7) >> 3;
    state.in_bits_left = static_cast<uint8_t>(state.input_pos * 8 - after);
    return (word >> 1) >> (63 - count);  // (two shifts: none of 64 when count is 0)
}

// The encoder's renormalisation, with the window carried along and a bit read for each
// bit the encoder wrote; middle-half expansions need no count here. The window lies in the
// interval, so it shares the settled leading bits: shifting them out is what subtracting
// HALF for a leading 1 does. Each expansion maps it to 2 (value - QUARTER).
VANTOR_ALWAYS_INLINE void renormalise(CoderState& state) {
    const Renormalisation r = renormalise_interval(state);
    const uint64_t bits = read_bits(state, r.settled + r.expansions);
    uint64_t value = ((state.value << r.settled) & INITIAL_HIGH) | (bits >> r.expansions);
    value = (value << r.expansions) - (QUARTER << (r.expansions + 1)) + 2 * QUARTER;
    state.value = value | (bits & ((uint64_t{1} << r.expansions) - 1));
}

// Out of line: its run totals take a frame the few-element path should not pay for.
template <ElementKind K>
VANTOR_NOINLINE SymbolSearch search_many(const Storage<K>* elements, uint64_t count,
                                         uint64_t target) {
    RunScan scan;
    scan_runs_of<K>(elements, count, scan);
    return search_runs_of<K>(elements, count, scan, target);
}

// decode_symbol on `count` elements of kind K.
template <ElementKind K>
VANTOR_ALWAYS_INLINE DecodeOutcome step(CoderState& state, const Storage<K>* elements,
                                        uint64_t count) {
    const uint64_t range = state.high - state.low + 1;
    if (range == 0) return {StepStatus::EmptyInterval, 0};
    if (state.value < state.low || state.value > state.high) return {StepStatus::NotPositioned, 0};
    if (count == 0) return {StepStatus::EmptyProbabilities, 0};
    const uint64_t target = decoding_target(state, range);
    const SymbolSearch search = count <= SMALL_COUNT ? short_search<K>(elements, count, target)
                                                     : search_many<K>(elements, count, target);
    if (!search.found || !search.codable) return {StepStatus::NoShare, search.symbol};
    narrow(state, search.cum_low, search.cum_high);
    renormalise(state);
    assert_invariants(state, AfterStep::Decoding);
    return {StepStatus::Coded, search.symbol};
}

}  // namespace vantor::decoding
