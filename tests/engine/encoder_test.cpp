#include "engine/encoder.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support.hpp"

namespace vantor {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::encode_all;
using testing::output_of;
using testing::view_of;

const std::vector<double> FAIR{0.5, 0.5};

TEST(Encoder, FreshCoderFinishesAs40AndAgainAs4050) {
    CoderState state;
    EXPECT_EQ(state.output.capacity(), INITIAL_OUTPUT_CAPACITY);
    finish_stream(state);
    EXPECT_EQ(output_of(state), Bytes{0x40});
    finish_stream(state);
    EXPECT_EQ(output_of(state), (Bytes{0x40, 0x50}));
}

struct StreamCase {
    std::vector<double> probabilities;
    std::vector<uint64_t> symbols;
    Bytes stream;
};

class Streams : public ::testing::TestWithParam<StreamCase> {};

TEST_P(Streams, EncodeToTheExpectedBytes) {
    const StreamCase& c = GetParam();
    EXPECT_EQ(encode_all(c.probabilities, c.symbols), c.stream);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Streams,
    ::testing::Values(StreamCase{{1.0}, {0, 0, 0, 0, 0}, {0x40}}, StreamCase{FAIR, {1}, {0xA0}},
                      StreamCase{FAIR, {0}, {0x20}},
                      StreamCase{FAIR, {1, 0, 1, 1, 0, 0, 1, 0}, {0xB2, 0x40}},
                      StreamCase{{0.25, 0.5, 0.25}, {1}, {0x60}},
                      StreamCase{{0.25, 0.5, 0.25}, {1, 1, 1}, {0x78}},
                      // A symbol's share may be broken only by the table invariant, not by
                      // the coder: these vectors still give the symbol a proper share.
                      StreamCase{{1.0, 1.0}, {1, 1}, {0x40}},
                      StreamCase{{0.5, 0.5, 0.5}, {1, 2}, {0x50}}));

TEST(Encoder, Float32Stream) {
    const std::vector<float> v{0.5f, 0.25f, 0.25f};
    EXPECT_EQ(encode_all(v, {0, 1, 2, 2, 1, 0}), (Bytes{0x5F, 0x10}));
}

TEST(Encoder, SymbolOneThenSixtyTwoZeros) {
    std::vector<uint64_t> symbols(63, 0);
    symbols[0] = 1;
    EXPECT_EQ(encode_all(FAIR, symbols), (Bytes{0x80, 0, 0, 0, 0, 0, 0, 0, 0x80}));
}

TEST(Encoder, StreamLongerThanTheInitialBufferComesOutWhole) {
    std::mt19937_64 rng(7);
    std::vector<uint64_t> symbols(5000 * 8);
    for (auto& s : symbols)
        s = rng() & 1;
    const Bytes stream = encode_all(FAIR, symbols);
    ASSERT_EQ(stream.size(), 5001u);  // one bit per symbol, then the termination byte
    for (std::size_t i = 0; i < 5000; ++i) {
        uint8_t byte = 0;
        for (std::size_t b = 0; b < 8; ++b)
            byte = static_cast<uint8_t>(uint64_t{byte} << 1 | symbols[i * 8 + b]);
        ASSERT_EQ(stream[i], byte) << i;
    }
}

TEST(Encoder, BufferGrowsByDoubling) {
    CoderState state;
    for (int i = 0; i < 4097 * 8; ++i)
        encode_symbol(state, view_of(FAIR), 1);
    EXPECT_EQ(state.output.size(), 4097u);
    EXPECT_EQ(state.output.capacity(), 8192u);
    ByteBuffer empty;
    empty.push(1);
    EXPECT_EQ(empty.capacity(), 8u);
}

TEST(Encoder, StepAfterFinishContinuesThePartialByte) {
    CoderState state;
    encode_symbol(state, view_of(FAIR), 1);
    finish_stream(state);  // 1 then the termination 01: A0 padded
    encode_symbol(state, view_of(FAIR), 1);
    EXPECT_EQ(output_of(state), Bytes{0xA0});
    EXPECT_EQ(state.out_bit_count, 4);
    EXPECT_EQ(state.pending_bits, 0u);
}

}  // namespace
}  // namespace vantor
