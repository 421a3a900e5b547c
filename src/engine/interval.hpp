// Narrowing the interval to one symbol's share: the same arithmetic for both directions.
#pragma once

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

}  // namespace vantor
