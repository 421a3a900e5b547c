// Turning one probability vector into a frequency table that totals TOTAL_FREQ.
//
// The element rule: element i quantises to q_i = max(1, U(x_i * 2^32)), U truncating and
// saturating. The dominant symbol d (first index of the largest q) takes the rounding
// remainder: f_d = q_d + TOTAL_FREQ - S, where S is the wrapping sum of all q; every other
// f_i = q_i. The table is never stored: each pass recomputes it from the elements. The first
// pass needs only S and the largest q; the second finds d on its way as the first element
// equal to that maximum.
//
// Two sets of passes give the same results bit for bit. `scan_table`, `symbol_range` and
// `find_symbol` are the definition, element by element (kernels/scalar.hpp). `encoder_share`,
// `scan_runs` and `search_runs` are what the coder runs: they read the vector in blocks with
// the widest block statistics the CPU has, and fall back to the definition wherever a block
// would not be exact.
#pragma once

#include <cstddef>
#include <cstdint>

#include "constants.hpp"
#include "probability_view.hpp"
#include "totals.hpp"

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

// The definition. The first pass; the encoder's second pass (a symbol beyond the vector gets
// the empty share (0, 0), which is not codable); the decoder's search.
Totals scan_table(const ProbabilityView& view);
SymbolRange symbol_range(const ProbabilityView& view, Totals totals, uint64_t symbol);
SymbolSearch find_symbol(const ProbabilityView& view, Totals totals, uint64_t target);

// The fast path.

// The encoder's share of `symbol` (< count) in a single read of the vector: the elements
// before the symbol are summed, those after only counted into S and the maximum.
SymbolRange encoder_share(const ProbabilityView& view, uint64_t symbol);

// The decoder's first pass keeps the totals of consecutive runs of elements, so that its
// search skips whole runs without reading them again. A run's sum is exact when its max is
// below 2^33, else it wraps.
inline constexpr std::size_t MAX_RUNS = 128;
// Runs after the first start on a 64-byte boundary: run r covers elements from
// head + r * run_length (from 0 for r = 0) to head + (r + 1) * run_length.
// A small vector keeps every q instead.
struct RunScan {
    Totals totals;        // of the whole vector
    uint64_t run_length;  // 0 when no run totals were kept
    uint64_t head;        // elements before the first boundary, < 64 bytes' worth
    uint64_t run_count;
    Totals runs[MAX_RUNS];
    bool small;  // q holds every element's q
    uint64_t q[SMALL_COUNT];
};
void scan_runs(const ProbabilityView& view, RunScan& scan);
SymbolSearch search_runs(const ProbabilityView& view, const RunScan& scan, uint64_t target);

}  // namespace vantor
