#include "decoder.hpp"

#include "decoder_step.hpp"

namespace vantor {

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

DecodeOutcome decode_symbol(CoderState& state, const ProbabilityView& view) {
    return visit_kind(view.kind, [&](auto kind) {
        return decoding::step<kind()>(state, static_cast<const Storage<kind()>*>(view.data),
                                      view.count);
    });
}

}  // namespace vantor
