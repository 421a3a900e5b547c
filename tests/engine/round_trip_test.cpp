// Engine against the reference coder: random vectors of every kind and length, refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/batch.hpp"
#include "engine/frequency_model.hpp"
#include "reference_coder.hpp"
#include "support.hpp"

namespace vantor {
namespace {

using testing::ReferenceCoder;
using testing::ReferenceTable;
using testing::Snapshot;

using testing::ALL_KINDS;

// One vector stored as its element kind, with the exactly widened values beside it.
struct TypedVector {
    ElementKind kind;
    std::vector<uint8_t> storage;
    std::vector<double> widened;

    ProbabilityView view() const { return {kind, storage.data(), widened.size()}; }
};

template <class T>
void append(std::vector<uint8_t>& out, T value) {
    uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    out.insert(out.end(), raw, raw + sizeof(T));
}

TypedVector store(ElementKind kind, const std::vector<double>& values) {
    TypedVector v{kind, {}, {}};
    for (double p : values) {
        switch (kind) {
            case ElementKind::Float32:
                append(v.storage, static_cast<float>(p));
                v.widened.push_back(static_cast<float>(p));
                break;
            case ElementKind::Float16: {
                const uint16_t bits = testing::to_binary16(p);
                append(v.storage, bits);
                v.widened.push_back(half_to_double(bits));
                break;
            }
            case ElementKind::BFloat16: {
                const float f = static_cast<float>(p);
                uint32_t bits;
                std::memcpy(&bits, &f, 4);
                append(v.storage, static_cast<uint16_t>(bits >> 16));
                v.widened.push_back(bfloat16_to_double(static_cast<uint16_t>(bits >> 16)));
                break;
            }
            case ElementKind::Float64:
                append(v.storage, p);
                v.widened.push_back(p);
                break;
        }
    }
    return v;
}

// Random weights scaled to `total`, with zeros, NaN, negatives and tiny values mixed in.
std::vector<double> random_probabilities(std::mt19937_64& rng, std::size_t n, double total) {
    std::exponential_distribution<double> weight(1.0);
    std::uniform_int_distribution<int> pick(0, 99);
    std::vector<double> p(n);
    double sum = 0;
    for (double& x : p)
        sum += (x = weight(rng));
    for (double& x : p) {
        x = x / sum * total;
        const int r = pick(rng);
        if (r < 5)
            x = 0.0;
        else if (r < 7)
            x = std::numeric_limits<double>::quiet_NaN();
        else if (r < 9)
            x = -x;
        else if (r < 11)
            x = 1e-30;
    }
    return p;
}

const std::size_t LENGTHS[] = {1, 2, 3, 7, 16, 255, 1000, 4097};

class RoundTrip : public ::testing::TestWithParam<ElementKind> {};

TEST_P(RoundTrip, MatchesTheReferenceAndDecodesBack) {
    std::mt19937_64 rng(static_cast<unsigned>(GetParam()) * 1000 + 1);
    for (int run = 0; run < 40; ++run) {
        std::vector<TypedVector> vectors;
        std::vector<uint64_t> symbols;
        CoderState engine;
        ReferenceCoder reference;
        for (int step = 0; step < 60; ++step) {
            const std::size_t n = LENGTHS[rng() % std::size(LENGTHS)];
            TypedVector v = store(GetParam(), random_probabilities(rng, n, 1.0));
            const ReferenceTable table(v.widened);
            uint64_t s = rng() % n;
            if (!table.codable(s)) continue;
            ASSERT_EQ(encode_symbol(engine, v.view(), s), StepStatus::Coded);
            reference.encode(v.widened, s);
            symbols.push_back(s);
            vectors.push_back(std::move(v));
        }
        finish_stream(engine);
        const std::vector<uint8_t> stream = testing::output_of(engine);
        ASSERT_EQ(stream, reference.finish()) << "run " << run;

        CoderState decoder;
        load_stream(decoder, stream.data(), stream.size());
        for (std::size_t i = 0; i < symbols.size(); ++i) {
            const DecodeOutcome got = decode_symbol(decoder, vectors[i].view());
            ASSERT_EQ(got.status, StepStatus::Coded);
            ASSERT_EQ(got.symbol, symbols[i]) << "run " << run << " step " << i;
        }
    }
}

// Vectors summing to well over 1: each symbol is coded exactly when the reference finds a
// proper share for it, and a refused step leaves every field as it was.
TEST_P(RoundTrip, InvariantBreakingVectorsAreCodedOrRefusedUntouched) {
    std::mt19937_64 rng(static_cast<unsigned>(GetParam()) * 1000 + 2);
    std::uniform_real_distribution<double> total(0.9, 2.5);
    int coded = 0, refused = 0;
    for (int run = 0; run < 20; ++run) {
        std::vector<TypedVector> vectors;
        std::vector<uint64_t> symbols;
        CoderState engine;
        ReferenceCoder reference;
        for (int step = 0; step < 80; ++step) {
            const std::size_t n = LENGTHS[rng() % 5];
            TypedVector v = store(GetParam(), random_probabilities(rng, n, total(rng)));
            const uint64_t s = rng() % n;
            const Snapshot before(engine);
            const StepStatus status = encode_symbol(engine, v.view(), s);
            if (!ReferenceTable(v.widened).codable(s)) {
                ASSERT_EQ(status, StepStatus::NoShare);
                ASSERT_EQ(Snapshot(engine), before);
                ++refused;
                continue;
            }
            ASSERT_EQ(status, StepStatus::Coded);
            reference.encode(v.widened, s);
            symbols.push_back(s);
            vectors.push_back(std::move(v));
            ++coded;
        }
        finish_stream(engine);
        const std::vector<uint8_t> stream = testing::output_of(engine);
        ASSERT_EQ(stream, reference.finish());
        CoderState decoder;
        load_stream(decoder, stream.data(), stream.size());
        for (std::size_t i = 0; i < symbols.size(); ++i) {
            ASSERT_EQ(decode_symbol(decoder, vectors[i].view()).symbol, symbols[i]);
        }
    }
    EXPECT_GT(coded, 100);
    EXPECT_GT(refused, 100);
}

// Arbitrary bytes decoded under arbitrary vectors: the engine agrees with the reference on
// every symbol and on every refusal.
TEST_P(RoundTrip, ArbitraryStreamsDecodeAsTheReferenceDoes) {
    std::mt19937_64 rng(static_cast<unsigned>(GetParam()) * 1000 + 3);
    std::uniform_real_distribution<double> total(0.5, 2.0);
    for (int run = 0; run < 30; ++run) {
        std::vector<uint8_t> stream(rng() % 40);
        for (auto& b : stream)
            b = static_cast<uint8_t>(rng());
        CoderState engine;
        ReferenceCoder reference;
        load_stream(engine, stream.data(), stream.size());
        reference.start(stream);
        for (int step = 0; step < 100; ++step) {
            const TypedVector v =
                store(GetParam(), random_probabilities(rng, LENGTHS[rng() % 6], total(rng)));
            const Snapshot before(engine);
            const uint64_t want = reference.decode(v.widened);
            const DecodeOutcome got = decode_symbol(engine, v.view());
            if (want == UINT64_MAX) {
                ASSERT_EQ(got.status, StepStatus::NoShare);
                ASSERT_EQ(Snapshot(engine), before);
                break;  // the reference moved on; the engine did not
            }
            ASSERT_EQ(got.status, StepStatus::Coded);
            ASSERT_EQ(got.symbol, want);
            ASSERT_EQ(engine.value, reference.value);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, RoundTrip, ::testing::ValuesIn(ALL_KINDS),
                         [](const auto& info) { return testing::kind_name(info.param); });

// Runs of middle-half expansions of every length up to well past one word of deferred bits,
// each ended by an outer symbol, one step at a time and in one batch, from a fresh coder and
// from one whose output is a few bytes short of its capacity.
TEST(RoundTrip, LongRunsOfDeferredBitsMatchTheReference) {
    const std::vector<double> middle{0.25, 0.5, 0.25};
    for (std::size_t filled : {std::size_t{0}, INITIAL_OUTPUT_CAPACITY - 5}) {
        for (uint64_t run = 50; run <= 130; run += 5) {
            std::vector<uint64_t> symbols(run, 1);
            symbols.push_back(run % 2 == 0 ? 0 : 2);
            symbols.push_back(1);
            CoderState single, batch;
            for (std::size_t i = 0; i < filled; ++i) {
                single.output.push(0xA5);
                batch.output.push(0xA5);
            }
            ReferenceCoder reference;
            for (uint64_t s : symbols) {
                ASSERT_EQ(encode_symbol(single, testing::view_of(middle), s), StepStatus::Coded);
                reference.encode(middle, s);
            }
            const ProbabilityRows rows{ElementKind::Float64,
                                       reinterpret_cast<const char*>(middle.data()),
                                       symbols.size(), middle.size(), 0};
            ASSERT_EQ(encode_rows(batch, rows, symbols.data()).status, StepStatus::Coded);
            finish_stream(single);
            finish_stream(batch);
            std::vector<uint8_t> expected(filled, 0xA5);
            const std::vector<uint8_t> tail = reference.finish();
            expected.insert(expected.end(), tail.begin(), tail.end());
            ASSERT_EQ(testing::output_of(single), expected) << "run " << run;
            ASSERT_EQ(testing::output_of(batch), expected) << "run " << run;
        }
    }
}

// A coder in the middle of a stream, with partial byte, pending bits and input loaded.
CoderState busy_coder() {
    CoderState state;
    const std::vector<double> v{0.25, 0.5, 0.25};
    const std::vector<uint8_t> bytes{0x5F, 0x10, 0x33};
    load_stream(state, bytes.data(), bytes.size());
    for (int i = 0; i < 5; ++i)
        encode_symbol(state, testing::view_of(v), 1);
    encode_symbol(state, testing::view_of(v), 0);
    return state;
}

struct EncodeRefusal {
    std::vector<double> probabilities;
    uint64_t symbol;
    StepStatus status;
};

class EncodeRefusals : public ::testing::TestWithParam<EncodeRefusal> {};

TEST_P(EncodeRefusals, LeaveTheStateAsItWas) {
    const EncodeRefusal& c = GetParam();
    CoderState state = busy_coder();
    const Snapshot before(state);
    EXPECT_EQ(encode_symbol(state, testing::view_of(c.probabilities), c.symbol), c.status);
    EXPECT_EQ(Snapshot(state), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EncodeRefusals,
    ::testing::Values(EncodeRefusal{{}, 0, StepStatus::EmptyProbabilities},
                      EncodeRefusal{{0.5, 0.5}, 2, StepStatus::SymbolOutOfRange},
                      EncodeRefusal{{0.5, 0.5}, UINT64_MAX, StepStatus::SymbolOutOfRange},
                      EncodeRefusal{{1.0, 1.0}, 0, StepStatus::NoShare},
                      EncodeRefusal{{0.5, 0.5, 0.5}, 0, StepStatus::NoShare},
                      EncodeRefusal{{0.6, 0.6, 0.7}, 1, StepStatus::NoShare},
                      EncodeRefusal{{0.6, 0.6, 0.6}, 0, StepStatus::NoShare}));

TEST(DecodeRefusals, WindowOutsideTheIntervalAfterEncoding) {
    CoderState state = busy_coder();
    const std::vector<double> fair{0.5, 0.5};
    // The upper share leaves low above the window that the loaded stream put near 0.37.
    encode_symbol(state, testing::view_of(std::vector<double>{0.45, 0.55}), 1);
    ASSERT_TRUE(state.value < state.low || state.value > state.high);
    const Snapshot before(state);
    EXPECT_EQ(decode_symbol(state, testing::view_of(fair)).status, StepStatus::NotPositioned);
    EXPECT_EQ(Snapshot(state), before);
}

TEST(DecodeRefusals, EmptyVectorAndEmptyInterval) {
    CoderState state;
    const std::vector<uint8_t> bytes{0xA5};
    load_stream(state, bytes.data(), bytes.size());
    Snapshot before(state);
    EXPECT_EQ(decode_symbol(state, testing::view_of(std::vector<double>{})).status,
              StepStatus::EmptyProbabilities);
    EXPECT_EQ(Snapshot(state), before);

    state.low = 0;
    state.high = UINT64_MAX;  // width 2^64 wraps to zero
    before = Snapshot(state);
    EXPECT_EQ(decode_symbol(state, testing::view_of(std::vector<double>{1.0})).status,
              StepStatus::EmptyInterval);
    EXPECT_EQ(Snapshot(state), before);
}

TEST(DecodeRefusals, SearchStopsAtASymbolWithNoShare) {
    CoderState state;
    const std::vector<uint8_t> bytes{0xFF, 0xFF, 0xFF};
    load_stream(state, bytes.data(), bytes.size());
    const Snapshot before(state);
    // Frequencies 0.6, 0.6, -0.2 of the table: the window near the top reaches symbol 1,
    // whose share ends past the table.
    const DecodeOutcome outcome =
        decode_symbol(state, testing::view_of(std::vector<double>{0.6, 0.6, 0.7}));
    EXPECT_EQ(outcome.status, StepStatus::NoShare);
    EXPECT_EQ(outcome.symbol, 1u);
    EXPECT_EQ(Snapshot(state), before);
}

}  // namespace
}  // namespace vantor
