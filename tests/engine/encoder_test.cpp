#include "engine/encoder.hpp"
#include "engine/interval.hpp"

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

// The renormalisation in one shift against the bit-by-bit loop, on intervals whose settled
// prefix and run of middle-half expansions take every length, random bits after them.
TEST(Encoder, RenormalisationInOneShiftMatchesBitByBit) {
    std::mt19937_64 rng(11);
    for (unsigned settled = 0; settled <= 60; ++settled) {
        for (unsigned run = 0; settled + run <= 60; ++run) {
            for (int trial = 0; trial < 20; ++trial) {
                const unsigned at = 61 - settled;  // the first bit on which they differ
                const uint64_t prefix = (rng() & INITIAL_HIGH) >> (at + 1) << (at + 1);
                const uint64_t run_bits = ((uint64_t{1} << run) - 1) << (at - run);
                const uint64_t tail_mask = (uint64_t{1} << (at - run)) - 1;
                const uint64_t low = prefix | run_bits | (rng() & tail_mask);
                const uint64_t high = prefix | (uint64_t{1} << at) | (rng() & tail_mask);
                if (high - low < 1) continue;

                uint64_t l = low, h = high, bits = 0;
                unsigned out = 0, expansions = 0;
                for (;;) {
                    if (h < HALF || l >= HALF) {
                        ASSERT_EQ(expansions, 0u);
                        bits = bits << 1 | (l >= HALF);
                        ++out;
                        l &= HALF - 1, h &= HALF - 1;
                    } else if (h >= THREE_QUARTERS || l < QUARTER) {
                        break;
                    } else {
                        ++expansions;
                        l -= QUARTER, h -= QUARTER;
                    }
                    l <<= 1;
                    h = h << 1 | 1;
                }
                CoderState state;
                state.low = low;
                state.high = high;
                const Renormalisation r = renormalise_interval(state);
                ASSERT_EQ(r.settled, out) << std::hex << low << " " << high;
                ASSERT_EQ(r.settled_bits, bits) << std::hex << low << " " << high;
                ASSERT_EQ(r.expansions, expansions) << std::hex << low << " " << high;
                ASSERT_EQ(state.low, l) << std::hex << low << " " << high;
                ASSERT_EQ(state.high, h) << std::hex << low << " " << high;
            }
        }
    }
}

}  // namespace
}  // namespace vantor
