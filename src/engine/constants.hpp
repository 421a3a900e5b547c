// Fixed-point constants shared by the frequency model, the encoder and the decoder.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantor {

// Every frequency table totals exactly this (modulo 2^64).
inline constexpr uint64_t TOTAL_FREQ = uint64_t{1} << 32;

// The coding interval is 62 bits wide, with inclusive bounds.
inline constexpr uint64_t HALF = uint64_t{1} << 61;
inline constexpr uint64_t QUARTER = uint64_t{1} << 60;
inline constexpr uint64_t THREE_QUARTERS = uint64_t{3} << 60;
inline constexpr uint64_t INITIAL_HIGH = (uint64_t{1} << 62) - 1;

// Room reserved for the encoded stream when a coder is created.
inline constexpr std::size_t INITIAL_OUTPUT_CAPACITY = 4096;

}  // namespace vantor
