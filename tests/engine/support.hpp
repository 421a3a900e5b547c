// Small helpers shared by the engine tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/coder_state.hpp"
#include "engine/decoder.hpp"
#include "engine/encoder.hpp"
#include "engine/probability_view.hpp"

namespace vantor::testing {

inline constexpr ElementKind ALL_KINDS[] = {ElementKind::Float32, ElementKind::Float16,
                                            ElementKind::BFloat16, ElementKind::Float64};

inline std::size_t element_width(ElementKind kind) {
    return kind == ElementKind::Float64 ? 8 : kind == ElementKind::Float32 ? 4 : 2;
}

inline const char* kind_name(ElementKind kind) {
    constexpr const char* names[] = {"Float32", "Float16", "BFloat16", "Float64"};
    return names[static_cast<int>(kind)];
}

// A double to IEEE binary16, rounding to nearest even, for building float16 test vectors on
// any compiler (not every one has _Float16). NaN stays a quiet NaN with its top payload.
inline uint16_t to_binary16(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const auto sign = static_cast<uint16_t>((bits >> 48) & 0x8000u);
    const uint64_t magnitude = bits & 0x7FFFFFFFFFFFFFFFu;
    if (magnitude > 0x7FF0000000000000u) {
        return static_cast<uint16_t>(sign | 0x7E00u | ((magnitude >> 42) & 0x3FFu));
    }
    if (magnitude >= 0x40EFFE0000000000u) return static_cast<uint16_t>(sign | 0x7C00u);  // 65520
    if (magnitude < 0x3F10000000000000u) {
        // Below 2^-14 the result is a multiple of 2^-24, which scaling makes a whole number.
        const double scaled = std::fabs(value) * 16777216.0;
        return static_cast<uint16_t>(sign | static_cast<uint32_t>(std::nearbyint(scaled)));
    }
    // Rebias the exponent, drop 42 fraction bits, round half to even; a carry out of the
    // fraction moves into the exponent as it should.
    const uint64_t rebased = magnitude - (uint64_t{1023 - 15} << 52);
    uint64_t half = rebased >> 42;
    const uint64_t dropped = rebased & ((uint64_t{1} << 42) - 1);
    const uint64_t tie = uint64_t{1} << 41;
    if (dropped > tie || (dropped == tie && (half & 1u) != 0)) ++half;
    return static_cast<uint16_t>(sign | half);
}

inline ProbabilityView view_of(const std::vector<double>& v) {
    return {ElementKind::Float64, v.data(), v.size()};
}
inline ProbabilityView view_of(const std::vector<float>& v) {
    return {ElementKind::Float32, v.data(), v.size()};
}

inline std::vector<uint8_t> output_of(const CoderState& state) {
    return {state.output.data(), state.output.data() + state.output.size()};
}

// Encodes `symbols` under one vector each time, finishes, and returns the stream.
template <class Vector>
std::vector<uint8_t> encode_all(const Vector& probabilities, const std::vector<uint64_t>& symbols) {
    CoderState state;
    for (uint64_t s : symbols) {
        if (encode_symbol(state, view_of(probabilities), s) != StepStatus::Coded) return {};
    }
    finish_stream(state);
    return output_of(state);
}

// Every field, buffers included, for checks that a refused step changed nothing.
struct Snapshot {
    std::vector<uint8_t> output, input;
    std::size_t output_capacity;
    uint64_t low, high, pending_bits, value, input_pos;
    uint8_t out_bit_count, out_byte, in_bits_left;

    explicit Snapshot(const CoderState& s)
        : output(output_of(s)),
          input(s.input.data(), s.input.data() + s.input.size()),
          output_capacity(s.output.capacity()),
          low(s.low),
          high(s.high),
          pending_bits(s.pending_bits),
          value(s.value),
          input_pos(s.input_pos),
          out_bit_count(s.out_bit_count),
          out_byte(s.out_byte),
          in_bits_left(s.in_bits_left) {}

    bool operator==(const Snapshot&) const = default;
};

}  // namespace vantor::testing
