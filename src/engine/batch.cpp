#include "batch.hpp"

#include <type_traits>

#include "decoder_step.hpp"
#include "encoder_step.hpp"

namespace vantor {

namespace {

// Every field a step can change: the registers and the length of the output. Steps only
// append to the output and never touch the input's bytes, so these restore the coder.
struct CoderMark {
    CoderRegisters registers;
    std::size_t output_length;
};

CoderMark mark(const CoderState& s) {
    return {s.registers(), s.output.size()};
}

void rewind(CoderState& s, const CoderMark& m) {
    s.registers() = m.registers;
    s.output.truncate(m.output_length);
}

}  // namespace

// (The loops read a copy of the rows: the steps' writes to the output could otherwise be
// writes to them, as far as the compiler knows, and each row would reload them.)

// Calls `code` with the rows' length, as a constant when it is 2: every row of a batch has
// the same length, and the loop for two-element rows then holds none of the other paths,
// whose registers would crowd its own. (A loop of their own for rows of at most
// SMALL_COUNT elements gained nothing in the encoder and cost the decoder a tenth.)
template <class Code>
BatchOutcome by_length(uint64_t length, Code code) {
    if (length == 2) return code(std::integral_constant<uint64_t, 2>{});
    return code(length);
}

// Row r's share, inline in the loop: a call per row would pass the share through memory.
template <ElementKind K, class Length>
VANTOR_ALWAYS_INLINE encoding::Prepared prepare_row(const ProbabilityRows& rows, Length length,
                                                    const uint64_t* symbols, uint64_t r) {
    return encoding::prepare<K, true>(rows.elements<K>(r), length, symbols[r]);
}

BatchOutcome encode_rows(CoderState& state, const ProbabilityRows& given, const uint64_t* symbols) {
    const ProbabilityRows rows = given;
    const CoderMark before = mark(state);
    return visit_kind(rows.kind, [&](auto kind) {
        return by_length(rows.length, [&](auto length) -> BatchOutcome {
            if (rows.rows == 0) return {StepStatus::Coded, 0, 0};
            encoding::Registers registers(state);
            // Each row's share is made before the previous row is coded: the share does not
            // depend on the interval, so the processor works on both at once.
            encoding::Prepared next = prepare_row<kind()>(rows, length, symbols, 0);
            for (uint64_t r = 0; r < rows.rows; ++r) {
                const encoding::Prepared now = next;
                if (now.status != StepStatus::Coded) {
                    rewind(state, before);
                    return {now.status, r, symbols[r]};
                }
                if (r + 1 < rows.rows) next = prepare_row<kind()>(rows, length, symbols, r + 1);
                registers.code(now.share);
            }
            registers.save();
            assert_invariants(state, AfterStep::Encoding);
            return {StepStatus::Coded, rows.rows, 0};
        });
    });
}

BatchOutcome decode_rows(CoderState& state, const ProbabilityRows& given, uint64_t* symbols) {
    const ProbabilityRows rows = given;
    const CoderMark before = mark(state);
    return visit_kind(rows.kind, [&](auto kind) {
        return by_length(rows.length, [&](auto length) -> BatchOutcome {
            for (uint64_t r = 0; r < rows.rows; ++r) {
                const DecodeOutcome outcome =
                    decoding::step<kind()>(state, rows.elements<kind()>(r), length);
                if (outcome.status != StepStatus::Coded) {
                    rewind(state, before);
                    return {outcome.status, r, outcome.symbol};
                }
                symbols[r] = outcome.symbol;
            }
            return {StepStatus::Coded, rows.rows, 0};
        });
    });
}

}  // namespace vantor
