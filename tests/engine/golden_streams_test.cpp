// Streams fixed once for all platforms: the engine must give these exact bytes wherever it
// is built, whichever kernel the CPU selects, and decode them back. The bytes come from the
// plain-Python reference coder (golden_streams.py), which builds the same vectors from the
// same generator.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "engine/coder_state.hpp"
#include "engine/decoder.hpp"
#include "engine/encoder.hpp"
#include "engine/probability_view.hpp"

namespace vantor {
namespace {

#include "golden_streams.inc"

// Vectors are written as the low bytes of each element's bit pattern.
static_assert(std::endian::native == std::endian::little);

constexpr std::size_t STEPS = 48;
constexpr std::size_t REFUSED_STEP = 20;
constexpr uint64_t SIZES[] = {1, 2, 3, 17, 64, 255, 256, 257, 1000, 4099};

struct SplitMix64 {
    uint64_t state;
    uint64_t next() {
        uint64_t z = state += 0x9E3779B97F4A7C15u;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
};

unsigned bit_length(uint64_t n) {
    unsigned length = 0;
    for (; n != 0; n >>= 1)
        ++length;
    return length;
}

// One element's bit pattern, as golden_streams.py draws it.
uint64_t element_bits(uint64_t r, uint64_t n, unsigned exponent_bits, unsigned fraction_bits) {
    const int64_t bias = (int64_t{1} << (exponent_bits - 1)) - 1;
    const uint64_t sign = uint64_t{1} << (exponent_bits + fraction_bits);
    const uint64_t fraction = (r >> 8) & ((uint64_t{1} << fraction_bits) - 1);
    const int64_t exponent = bias - int64_t{bit_length(n)} - 1 - int64_t((r >> 4) % 6);
    const uint64_t value = (uint64_t(exponent > 0 ? exponent : 0) << fraction_bits) | fraction;
    switch (r % 32) {
        case 0:
            return 0;
        case 1:
            return sign;
        case 2:
            return 1;
        case 3:
            return (((uint64_t{1} << exponent_bits) - 1) << fraction_bits) |
                   (uint64_t{1} << (fraction_bits - 1)) | 5;
        case 4:
            return sign | value;
        default:
            return value;
    }
}

struct Format {
    ElementKind kind;
    unsigned exponent_bits;
    unsigned fraction_bits;
    unsigned bytes;
};

// One step's vector, stored as the element type's bytes.
struct Step {
    std::vector<uint8_t> bytes;
    uint64_t count;
    uint64_t symbol;
    ProbabilityView view(ElementKind kind) const { return {kind, bytes.data(), count}; }
};

std::vector<Step> steps_of(const Format& format, int kind_index) {
    SplitMix64 rng{0x5EED0000u + uint64_t(kind_index)};
    std::vector<Step> out;
    for (std::size_t step = 0; step < STEPS; ++step) {
        const uint64_t n = SIZES[rng.next() % std::size(SIZES)];
        Step s{std::vector<uint8_t>(n * format.bytes), n, 0};
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t bits =
                element_bits(rng.next(), n, format.exponent_bits, format.fraction_bits);
            std::memcpy(s.bytes.data() + i * format.bytes, &bits, format.bytes);
        }
        s.symbol = step == REFUSED_STEP ? n : rng.next() % n;
        out.push_back(std::move(s));
    }
    return out;
}

struct Golden {
    const char* name;
    Format format;
    const uint8_t* stream;
    std::size_t size;
};

const Golden GOLDEN[] = {
    {"Float32", {ElementKind::Float32, 8, 23, 4}, GOLDEN_FLOAT32, sizeof GOLDEN_FLOAT32},
    {"Float16", {ElementKind::Float16, 5, 10, 2}, GOLDEN_FLOAT16, sizeof GOLDEN_FLOAT16},
    {"BFloat16", {ElementKind::BFloat16, 8, 7, 2}, GOLDEN_BFLOAT16, sizeof GOLDEN_BFLOAT16},
    {"Float64", {ElementKind::Float64, 11, 52, 8}, GOLDEN_FLOAT64, sizeof GOLDEN_FLOAT64},
};

class GoldenStreams : public ::testing::TestWithParam<int> {};

TEST_P(GoldenStreams, EncodeToTheRecordedBytesAndDecodeBack) {
    const Golden& golden = GOLDEN[GetParam()];
    const std::vector<Step> steps = steps_of(golden.format, GetParam());
    const ElementKind kind = golden.format.kind;

    CoderState encoder;
    for (std::size_t i = 0; i < STEPS; ++i) {
        const StepStatus status = encode_symbol(encoder, steps[i].view(kind), steps[i].symbol);
        EXPECT_EQ(status, i == REFUSED_STEP ? StepStatus::SymbolOutOfRange : StepStatus::Coded)
            << "step " << i;
    }
    finish_stream(encoder);
    const std::vector<uint8_t> stream(encoder.output.data(),
                                      encoder.output.data() + encoder.output.size());
    EXPECT_EQ(stream, std::vector<uint8_t>(golden.stream, golden.stream + golden.size));

    CoderState decoder;
    load_stream(decoder, golden.stream, golden.size);
    for (std::size_t i = 0; i < STEPS; ++i) {
        if (i == REFUSED_STEP) continue;
        const DecodeOutcome outcome = decode_symbol(decoder, steps[i].view(kind));
        ASSERT_EQ(outcome.status, StepStatus::Coded) << "step " << i;
        EXPECT_EQ(outcome.symbol, steps[i].symbol) << "step " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, GoldenStreams, ::testing::Range(0, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(GOLDEN[info.param].name);
                         });

}  // namespace
}  // namespace vantor
