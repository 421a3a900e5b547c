#include "decoder.hpp"

#include "few_elements.hpp"
#include "frequency_model.hpp"
#include "interval.hpp"
#include "wide_math.hpp"

namespace vantor {

namespace {

// The point of the frequency table that the window maps to:
// floor(((value - low + 1) * 2^32 - 1) / range), in 128-bit arithmetic.
uint64_t decoding_target(const CoderState& state, uint64_t range) {
    return wide::window_quotient(state.value - state.low, range);
}

// The next `count` (at most 62) stream bits, earliest highest, as read_bit would give them.
uint64_t read_bits(CoderState& state, unsigned count) {
    if (count == 0) return 0;
    if (count <= state.in_bits_left) {  // the usual case: within the byte being read
        state.in_bits_left = static_cast<uint8_t>(state.in_bits_left - count);
        return (unsigned{state.input[state.input_pos - 1]} >> state.in_bits_left) &
               ((1u << count) - 1);
    }
    uint64_t bits = 0;
    while (count > 0) {
        if (state.in_bits_left == 0) {
            if (state.input_pos >= state.input.size()) return bits << count;
            state.in_bits_left = 8;
            ++state.input_pos;
        }
        const unsigned take = count < state.in_bits_left ? count : state.in_bits_left;
        state.in_bits_left = static_cast<uint8_t>(state.in_bits_left - take);
        const unsigned byte = state.input[state.input_pos - 1];
        bits = (bits << take) | ((byte >> state.in_bits_left) & ((1u << take) - 1));
        count -= take;
    }
    return bits;
}

// The encoder's renormalisation, with the window carried along and a bit read for each
// bit the encoder wrote; middle-half expansions need no count here. The window lies in the
// interval, so it shares the settled leading bits: shifting them out is what subtracting
// HALF for a leading 1 does. Each expansion maps it to 2 (value - QUARTER).
void renormalise(CoderState& state) {
    const Renormalisation r = renormalise_interval(state);
    const uint64_t bits = read_bits(state, r.settled + r.expansions);
    uint64_t value = ((state.value << r.settled) & INITIAL_HIGH) | (bits >> r.expansions);
    value = (value << r.expansions) - (QUARTER << (r.expansions + 1)) + 2 * QUARTER;
    state.value = value | (bits & ((uint64_t{1} << r.expansions) - 1));
}

}  // namespace

void load_stream(CoderState& state, const uint8_t* bytes, std::size_t size) {
    // The copy is made before the old stream is released.
    state.input = ByteBuffer::copy_of(bytes, size);
    state.input_pos = 0;
    state.in_bits_left = 0;
    state.low = 0;
    state.high = INITIAL_HIGH;
    state.value = 0;
    for (int i = 0; i < 62; ++i)
        state.value = (state.value << 1) | read_bit(state);
    assert_invariants(state, AfterStep::Decoding);
}

unsigned read_bit(CoderState& state) {
    if (state.in_bits_left == 0) {
        if (state.input_pos >= state.input.size()) return 0;
        state.in_bits_left = 8;
        ++state.input_pos;
    }
    --state.in_bits_left;
    return (unsigned{state.input[state.input_pos - 1]} >> state.in_bits_left) & 1u;
}

namespace {

// The search of a vector of a few elements: one pass keeps every q, a second reads them.
template <ElementKind K>
SymbolSearch search_few(const Storage<K>* elements, uint64_t count, uint64_t target) {
    uint64_t q[FEW_COUNT];
    Totals totals;
    if (quantise_few<K>(elements, count, q, totals)) {
        return search_by_rule(kernels::FromArray{q}, count, totals, target);
    }
    return search_by_rule(kernels::FromElements<K>{elements}, count, totals, target);
}

template <ElementKind K>
SymbolSearch search_many(const Storage<K>* elements, uint64_t count, uint64_t target) {
    RunScan scan;
    scan_runs_of<K>(elements, count, scan);
    return search_runs_of<K>(elements, count, scan, target);
}

}  // namespace

template <ElementKind K>
DecodeOutcome decode_elements(CoderState& state, const Storage<K>* elements, uint64_t count) {
    const uint64_t range = state.high - state.low + 1;
    if (range == 0) return {StepStatus::EmptyInterval, 0};
    if (state.value < state.low || state.value > state.high) return {StepStatus::NotPositioned, 0};
    if (count == 0) return {StepStatus::EmptyProbabilities, 0};
    const uint64_t target = decoding_target(state, range);
    const SymbolSearch search = count <= FEW_COUNT ? search_few<K>(elements, count, target)
                                                   : search_many<K>(elements, count, target);
    if (!search.found || !search.codable) return {StepStatus::NoShare, search.symbol};
    narrow(state, search.cum_low, search.cum_high);
    renormalise(state);
    assert_invariants(state, AfterStep::Decoding);
    return {StepStatus::Coded, search.symbol};
}

template DecodeOutcome decode_elements<ElementKind::Float32>(CoderState&, const float*, uint64_t);
template DecodeOutcome decode_elements<ElementKind::Float16>(CoderState&, const uint16_t*,
                                                             uint64_t);
template DecodeOutcome decode_elements<ElementKind::BFloat16>(CoderState&, const uint16_t*,
                                                              uint64_t);
template DecodeOutcome decode_elements<ElementKind::Float64>(CoderState&, const double*, uint64_t);

DecodeOutcome decode_symbol(CoderState& state, const ProbabilityView& view) {
    return visit_kind(view.kind, [&](auto kind) {
        return decode_elements<kind()>(state, static_cast<const Storage<kind()>*>(view.data),
                                       view.count);
    });
}

}  // namespace vantor
