#include "batch.hpp"

#include "decoder_step.hpp"
#include "encoder_step.hpp"

namespace vantor {

namespace {

// Every field a step can change: the registers and the length of the output. Steps only
// append to the output and never touch the input's bytes, so these restore the coder.
struct CoderMark {
    uint64_t low, high, pending_bits, value, input_pos;
    std::size_t output_length;
    uint8_t out_bit_count, out_byte, in_bits_left;
};

CoderMark mark(const CoderState& s) {
    return {s.low,           s.high,          s.pending_bits, s.value,       s.input_pos,
            s.output.size(), s.out_bit_count, s.out_byte,     s.in_bits_left};
}

void rewind(CoderState& s, const CoderMark& m) {
    s.low = m.low;
    s.high = m.high;
    s.pending_bits = m.pending_bits;
    s.value = m.value;
    s.input_pos = m.input_pos;
    s.output.truncate(m.output_length);
    s.out_bit_count = m.out_bit_count;
    s.out_byte = m.out_byte;
    s.in_bits_left = m.in_bits_left;
}

}  // namespace

// (The loops read a copy of the rows: the steps' writes to the output could otherwise be
// writes to them, as far as the compiler knows, and each row would reload them.)

BatchOutcome encode_rows(CoderState& state, const ProbabilityRows& given, const uint64_t* symbols) {
    const ProbabilityRows rows = given;
    const CoderMark before = mark(state);
    return visit_kind(rows.kind, [&](auto kind) -> BatchOutcome {
        encoding::Registers registers(state);
        for (uint64_t r = 0; r < rows.rows; ++r) {
            const StepStatus status = encoding::step<kind()>(registers, rows.elements<kind()>(r),
                                                             rows.length, symbols[r]);
            if (status != StepStatus::Coded) {
                rewind(state, before);
                return {status, r, symbols[r]};
            }
        }
        registers.save();
        assert_invariants(state, AfterStep::Encoding);
        return {StepStatus::Coded, rows.rows, 0};
    });
}

BatchOutcome decode_rows(CoderState& state, const ProbabilityRows& given, uint64_t* symbols) {
    const ProbabilityRows rows = given;
    const CoderMark before = mark(state);
    return visit_kind(rows.kind, [&](auto kind) -> BatchOutcome {
        for (uint64_t r = 0; r < rows.rows; ++r) {
            const DecodeOutcome outcome =
                decoding::step<kind()>(state, rows.elements<kind()>(r), rows.length);
            if (outcome.status != StepStatus::Coded) {
                rewind(state, before);
                return {outcome.status, r, outcome.symbol};
            }
            symbols[r] = outcome.symbol;
        }
        return {StepStatus::Coded, rows.rows, 0};
    });
}

}  // namespace vantor
