// Narrowing the interval to one symbol's share: the same arithmetic for both directions.
#pragma once

#include <bit>
#include <cstdint>

#include "coder_state.hpp"
#include "wide_math.hpp"

namespace vantor {

// Full 64 x 64 -> 128-bit product, divided by 2^32, kept to its low 64 bits.
inline uint64_t scale_by_share(uint64_t range, uint64_t bound) {
    return wide::mul_shift32(range, bound);
}

// Both bounds move from the old low; only the upper one gets the - 1. Wraps modulo 2^64.
inline void narrow(CoderState& state, uint64_t cum_low, uint64_t cum_high) {
    const uint64_t range = state.high - state.low + 1;
    const uint64_t low = state.low;
    state.high = low + scale_by_share(range, cum_high) - 1;
    state.low = low + scale_by_share(range, cum_low);
}

// The renormalisation after a narrowing, in two strides instead of bit by bit (whose
// branches follow the coded bits and are mispredicted about once a bit). The loop first
// shifts out the leading bits on which low and high agree (high shifting in ones); then the
// interval straddles the middle (low 0..., high 1...), and every middle-half expansion
// that follows (low 01..., high 10...) takes a quarter off both and shifts. A narrowed
// interval is at least 2 wide, so low and high differ somewhere in their 62 bits.
struct Renormalisation {
    unsigned settled;       // bits shifted out, on which low and high agreed
    uint64_t settled_bits;  // those bits, earliest highest
    unsigned expansions;    // middle-half expansions after them
};

inline Renormalisation renormalise_interval(CoderState& state) {
    constexpr uint64_t MASK = INITIAL_HIGH;  // the 62 bits of the interval
    // (`| 1` changes no count here and spares the compilers a test for zero.)
    const auto settled = static_cast<unsigned>(std::countl_zero((state.low ^ state.high) | 1)) - 2;
    // (With none settled this is low >> 62, which is 0: low has 62 bits.)
    const uint64_t settled_bits = state.low >> (62 - settled);
    const uint64_t ones = (uint64_t{1} << settled) - 1;
    uint64_t low = (state.low << settled) & MASK;
    uint64_t high = ((state.high << settled) | ones) & MASK;
    // Expansions happen only when low is 01... and high 10...; then they go on for as many
    // leading ones of low and zeros of high as follow, from bit 60 down. Each removes bit 60,
    // which is 1 in low and 0 in high, and shifts; bit 61 stays 0 in low and 1 in high.
    // Counted whether or not they happen, with a mask rather than a branch, which would
    // follow the coded bits: with none, the shifts below change nothing, as low lies below
    // HALF and high above it.
    const auto low_run = static_cast<unsigned>(std::countl_zero(~(low << 3) | 1));
    const auto high_run = static_cast<unsigned>(std::countl_zero((high << 3) | 1));
    const unsigned straddles =
        static_cast<unsigned>((low >> 60) == 1) & static_cast<unsigned>((high >> 60) == 2);
    const unsigned expansions = (low_run < high_run ? low_run : high_run) & (0u - straddles);
    low = (low << expansions) & (HALF - 1);
    high = (((high << expansions) | ((uint64_t{1} << expansions) - 1)) & MASK) | HALF;
    state.low = low;
    state.high = high;
    return {settled, settled_bits, expansions};
}

}  // namespace vantor
