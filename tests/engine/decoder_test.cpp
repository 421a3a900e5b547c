#include "engine/decoder.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "support.hpp"

namespace vantor {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::encode_all;
using testing::view_of;

const std::vector<double> FAIR{0.5, 0.5};

void load(CoderState& state, const Bytes& bytes) {
    load_stream(state, bytes.data(), bytes.size());
}

uint64_t decode(CoderState& state, const ProbabilityView& view) {
    const DecodeOutcome outcome = decode_symbol(state, view);
    EXPECT_EQ(outcome.status, StepStatus::Coded);
    return outcome.symbol;
}

struct WindowCase {
    Bytes stream;
    uint64_t value;
    uint64_t input_pos;
    uint8_t in_bits_left;
};

class Window : public ::testing::TestWithParam<WindowCase> {};

TEST_P(Window, IsFilledFromTheFirst62Bits) {
    const WindowCase& c = GetParam();
    CoderState state;
    load(state, c.stream);
    EXPECT_EQ(state.value, c.value);
    EXPECT_EQ(state.input_pos, c.input_pos);
    EXPECT_EQ(state.in_bits_left, c.in_bits_left);
    EXPECT_EQ(state.low, 0u);
    EXPECT_EQ(state.high, INITIAL_HIGH);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Window,
    ::testing::Values(
        WindowCase{{0xA5, 0x3C}, 0x294F000000000000, 2, 0},
        WindowCase{{0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8}, 0x3C7CBCFD3D7DBDFE, 8, 2},
        WindowCase{
            {0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA}, 0x3C7CBCFD3D7DBDFE, 8, 2},
        WindowCase{{1, 2, 3, 4, 5, 6, 7}, 0x004080C1014181C0, 7, 0}, WindowCase{{}, 0, 0, 0}));

TEST(Decoder, StepsMoveTheWindow) {
    CoderState state;
    load(state, {0xA5, 0x3C});
    EXPECT_EQ(decode(state, view_of(FAIR)), 1u);
    EXPECT_EQ(state.value, 0x129E000000000000u);
    EXPECT_EQ(state.low, 0u);
    EXPECT_EQ(state.high, INITIAL_HIGH);
    EXPECT_EQ(decode(state, view_of(FAIR)), 0u);
    EXPECT_EQ(state.value, 0x253C000000000000u);
    EXPECT_EQ(state.input_pos, 2u);
}

struct DecodeCase {
    std::vector<double> probabilities;
    Bytes stream;
    std::vector<uint64_t> symbols;
};

class Decodes : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decodes, BackToTheEncodedSymbols) {
    const DecodeCase& c = GetParam();
    CoderState state;
    load(state, c.stream);
    for (uint64_t want : c.symbols)
        EXPECT_EQ(decode(state, view_of(c.probabilities)), want);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Decodes,
    ::testing::Values(DecodeCase{FAIR, {0xA0}, {1}}, DecodeCase{FAIR, {0x20}, {0}},
                      DecodeCase{FAIR, {0xB2, 0x40}, {1, 0, 1, 1, 0, 0, 1, 0}},
                      DecodeCase{{0.25, 0.5, 0.25}, {0x60}, {1}},
                      DecodeCase{{0.25, 0.5, 0.25}, {0x78}, {1, 1, 1}},
                      DecodeCase{{1.0}, {0x40}, {0, 0, 0, 0}},
                      DecodeCase{{1.0, 1.0}, {0x40}, {1, 1}},
                      DecodeCase{{0.5, 0.5, 0.5}, {0x50}, {1, 2}},
                      // Steps past the encoded ones read the termination, then zeros.
                      DecodeCase{FAIR, {0xA0}, {1, 0, 1, 0}}, DecodeCase{FAIR, {}, {0, 0, 0}}));

TEST(Decoder, Float32StreamEndsOnQuarter) {
    const std::vector<float> v{0.5f, 0.25f, 0.25f};
    CoderState state;
    load(state, {0x5F, 0x10});
    for (uint64_t want : {0u, 1u, 2u, 2u, 1u, 0u})
        EXPECT_EQ(decode(state, view_of(v)), want);
    EXPECT_EQ(state.value, QUARTER);
    EXPECT_EQ(state.low, 0u);
    EXPECT_EQ(state.high, INITIAL_HIGH);
}

TEST(Decoder, WindowOnTheLowerEndOfTheShare) {
    CoderState state;
    load(state, {0x80, 0, 0, 0, 0, 0, 0, 0, 0x80});
    EXPECT_EQ(decode(state, view_of(FAIR)), 1u);
    for (int i = 0; i < 62; ++i)
        ASSERT_EQ(decode(state, view_of(FAIR)), 0u) << i;
    EXPECT_EQ(state.value, QUARTER);
}

TEST(Decoder, CertainSymbolChangesNothing) {
    const std::vector<double> certain{1.0};
    CoderState state;
    load(state, {0xA5, 0x3C, 0x99});
    const testing::Snapshot before(state);
    EXPECT_EQ(decode(state, view_of(certain)), 0u);
    EXPECT_EQ(testing::Snapshot(state), before);
}

// A coder that was never given a stream (its input has no storage at all) reads the zeros
// that empty bytes give.
TEST(Decoder, NoStreamReadsAsEmptyBytes) {
    const std::vector<double> skewed{0.7, 0.1, 0.2};
    CoderState fresh, empty;
    load(empty, {});
    for (int i = 0; i < 40; ++i) {
        const ProbabilityView view = view_of(i % 2 == 0 ? FAIR : skewed);
        EXPECT_EQ(decode(fresh, view), decode(empty, view));
    }
    EXPECT_EQ(fresh.value, empty.value);
    EXPECT_EQ(fresh.input_pos, 0u);
    EXPECT_EQ(fresh.in_bits_left, 0u);
}

TEST(Decoder, SecondLoadDiscardsTheFirst) {
    CoderState twice, once;
    load(twice, {0xFF, 0xEE, 0xDD});
    decode(twice, view_of(FAIR));
    load(twice, {0xB2, 0x40});
    load(once, {0xB2, 0x40});
    EXPECT_EQ(twice.input.capacity(), 2u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(decode(twice, view_of(FAIR)), decode(once, view_of(FAIR)));
    EXPECT_EQ(twice.value, once.value);
}

TEST(Decoder, LoadLeavesTheEncoderFields) {
    CoderState state;
    const std::vector<double> v{0.25, 0.5, 0.25};
    encode_symbol(state, view_of(v), 1);
    encode_symbol(state, view_of(FAIR), 1);
    const testing::Snapshot before(state);
    load(state, {0x12});
    EXPECT_EQ(state.pending_bits, before.pending_bits);
    EXPECT_EQ(state.out_byte, before.out_byte);
    EXPECT_EQ(state.out_bit_count, before.out_bit_count);
    EXPECT_EQ(testing::output_of(state), before.output);
}

}  // namespace
}  // namespace vantor
