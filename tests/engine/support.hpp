// Small helpers shared by the engine tests.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/coder_state.hpp"
#include "engine/decoder.hpp"
#include "engine/encoder.hpp"
#include "engine/probability_view.hpp"

namespace vantor::testing {

inline const char* kind_name(ElementKind kind) {
    constexpr const char* names[] = {"Float32", "Float16", "BFloat16", "Float64"};
    return names[static_cast<int>(kind)];
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
