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

// The renormalisation after a narrowing, in one shift instead of bit by bit (whose branches
// follow the coded bits and are mispredicted about once a bit). First go the leading bits on
// which low and high agree (high shifting in ones); then the interval straddles the middle
// (low 0..., high 1...), and every middle-half expansion that follows (low 01..., high
// 10...) takes a quarter off both and shifts. A narrowed interval is at least 2 wide, so low
// and high differ somewhere in their 62 bits.
struct Renormalisation {
    unsigned settled;       // bits shifted out, on which low and high agreed
    uint64_t settled_bits;  // those bits, earliest highest
    unsigned expansions;    // middle-half expansions after them
};

// Both counts come straight from the narrowed bounds, so that the chain from one step's
// interval to the next is as short as it can be. Past the first bit on which the bounds
// differ (0 in low, 1 in high), the expansions go on while low has a 1 where high has a 0.
// Each one drops bit 60 of both and shifts; then bit 61 is 0 in low and 1 in high again,
// so that both together are one shift of every bit below the settled ones.
inline Renormalisation renormalisation_of(uint64_t low, uint64_t high) {
    // (`| 1` changes no count here and spares the compilers a test for zero.)
    const auto settled = static_cast<unsigned>(std::countl_zero((low ^ high) | 1)) - 2;
    const uint64_t expanding = (low & ~high) << (settled + 3);
    const auto expansions = static_cast<unsigned>(std::countl_zero(~expanding | 1));
    // (With none settled this is low >> 62, which is 0: low has 62 bits.)
    return {settled, low >> (62 - settled), expansions};
}

// The bounds after `shift` = settled + expansions shifts.
inline uint64_t shifted_low(uint64_t low, unsigned shift) {
    return (low << shift) & (HALF - 1);
}
inline uint64_t shifted_high(uint64_t high, unsigned shift) {
    return ((high << shift) | ((uint64_t{1} << shift) - 1) | HALF) & INITIAL_HIGH;
}

inline Renormalisation renormalise_interval(CoderState& state) {
    const Renormalisation r = renormalisation_of(state.low, state.high);
    const unsigned shift = r.settled + r.expansions;
    state.low = shifted_low(state.low, shift);
    state.high = shifted_high(state.high, shift);
    return r;
}

}  // namespace vantor
