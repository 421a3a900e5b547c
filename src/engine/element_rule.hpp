// The element rule, and what the passes built on it answer.
//
// Element i quantises to q_i = max(1, U(x_i * 2^32)), U truncating and saturating. The
// dominant symbol d (first index of the largest q) takes the rounding remainder:
// f_d = q_d + TOTAL_FREQ - S, where S is the wrapping sum of all q; every other f_i = q_i.
#pragma once

#include <cstdint>

#include "constants.hpp"

namespace vantor {

// The largest double below 2^64; anything above it saturates.
inline constexpr double LARGEST_BELOW_2_64 = 18446744073709549568.0;

inline uint64_t quantise(double x) {
    const double scaled = x * 4294967296.0;
    // Written so that NaN fails the first test: NaN and negatives give 0, then 1.
    if (!(scaled >= 1.0)) return 1;
    if (scaled > LARGEST_BELOW_2_64) return UINT64_MAX;
    return static_cast<uint64_t>(scaled);
}

inline uint64_t frequency(uint64_t q, bool is_dominant, uint64_t sum) {
    return is_dominant ? q + TOTAL_FREQ - sum : q;
}

// The share [cum_low, cum_high) of one symbol, and whether it can be coded.
struct SymbolRange {
    uint64_t cum_low;
    uint64_t cum_high;
    bool codable;

    bool operator==(const SymbolRange&) const = default;
};

// The decoder's search result: the first symbol whose running bound exceeds the target.
struct SymbolSearch {
    uint64_t symbol;  // when not found: the last index read (0 for an empty vector)
    uint64_t cum_low;
    uint64_t cum_high;
    bool found;
    bool codable;

    bool operator==(const SymbolSearch&) const = default;
};

}  // namespace vantor
