#include "encoder.hpp"

#include "frequency_model.hpp"
#include "interval.hpp"

namespace vantor {

namespace {

void put_bit(CoderState& state, unsigned bit) {
    state.out_byte = static_cast<uint8_t>((unsigned{state.out_byte} << 1) | bit);
    if (++state.out_bit_count == 8) {
        state.output.push(state.out_byte);
        state.out_byte = 0;
        state.out_bit_count = 0;
    }
}

// One bit followed by every deferred opposite bit.
void settle_bit(CoderState& state, unsigned bit) {
    put_bit(state, bit);
    for (; state.pending_bits > 0; --state.pending_bits)
        put_bit(state, bit ^ 1u);
}

void renormalise(CoderState& state) {
    for (;;) {
        if (state.high < HALF) {
            settle_bit(state, 0);
        } else if (state.low >= HALF) {
            settle_bit(state, 1);
            state.low -= HALF;
            state.high -= HALF;
        } else if (state.high >= THREE_QUARTERS || state.low < QUARTER) {
            return;
        } else {
            ++state.pending_bits;
            state.low -= QUARTER;
            state.high -= QUARTER;
        }
        state.low <<= 1;
        state.high = (state.high << 1) | 1;
    }
}

}  // namespace

StepStatus encode_symbol(CoderState& state, const ProbabilityView& view, uint64_t symbol) {
    if (view.count == 0) return StepStatus::EmptyProbabilities;
    if (symbol >= view.count) return StepStatus::SymbolOutOfRange;
    const SymbolRange share = encoder_share(view, symbol);
    if (!share.codable) return StepStatus::NoShare;
    narrow(state, share.cum_low, share.cum_high);
    renormalise(state);
    assert_invariants(state, AfterStep::Encoding);
    return StepStatus::Coded;
}

void finish_stream(CoderState& state) {
    ++state.pending_bits;
    settle_bit(state, state.low >= QUARTER ? 1u : 0u);
    if (state.out_bit_count != 0) {
        state.output.push(static_cast<uint8_t>(state.out_byte << (8 - state.out_bit_count)));
    }
    assert_invariants(state, AfterStep::Finish);
}

}  // namespace vantor
