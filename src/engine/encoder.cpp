#include "encoder.hpp"

#include "encoder_step.hpp"

namespace vantor {

StepStatus encode_symbol(CoderState& state, const ProbabilityView& view, uint64_t symbol) {
    return visit_kind(view.kind, [&](auto kind) {
        encoding::Registers registers(state);
        const StepStatus status = encoding::step<kind()>(
            registers, static_cast<const Storage<kind()>*>(view.data), view.count, symbol);
        if (status == StepStatus::Coded) registers.save();
        assert_invariants(state, AfterStep::Encoding);
        return status;
    });
}

void finish_stream(CoderState& state) {
    ++state.pending_bits;
    encoding::settle_bit(state, state.low >= QUARTER ? 1u : 0u);
    if (state.out_bit_count != 0) {
        state.output.push(static_cast<uint8_t>(state.out_byte << (8 - state.out_bit_count)));
    }
    assert_invariants(state, AfterStep::Finish);
}

}  // namespace vantor
