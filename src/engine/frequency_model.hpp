// Turning one probability vector into a frequency table that totals TOTAL_FREQ.
//
// Element i quantises to q_i = max(1, U(x_i * 2^32)) with U truncating and saturating.
// The dominant symbol d (first index of the largest q) takes the rounding remainder:
// f_d = q_d + TOTAL_FREQ - S, where S is the wrapping sum of all q; every other f_i = q_i.
// The table is never stored: each pass recomputes it from the elements. The first pass
// needs only S and the largest q; the second finds d on its way as the first element
// equal to that maximum.
#pragma once

#include <cstddef>
#include <cstdint>

#include "constants.hpp"
#include "probability_view.hpp"

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

struct TableSummary {
    uint64_t sum;  // S, wrapping
    uint64_t max;  // the largest q; 0 for an empty vector
};

inline uint64_t frequency(uint64_t q, bool is_dominant, uint64_t sum) {
    return is_dominant ? q + TOTAL_FREQ - sum : q;
}

// Picks out d while walking the elements in order: the first q equal to the maximum.
class DominantFinder {
  public:
    explicit DominantFinder(uint64_t max) : max_(max) {}
    bool is_dominant(uint64_t q) {
        const bool hit = !seen_ && q == max_;
        seen_ = seen_ || hit;
        return hit;
    }
    bool seen() const { return seen_; }

  private:
    uint64_t max_;
    bool seen_ = false;
};

// Tracks the partial sums of the frequencies as true integers, saturating at 2^33, which
// can never wrap. A symbol has a proper share only when every partial sum up to and
// including its own stays within TOTAL_FREQ and its own frequency is not zero.
class ShareCheck {
  public:
    void add(uint64_t f) {
        const uint64_t bounded = f < CAP ? f : CAP;
        clamped_ += bounded;
        if (clamped_ > CAP) clamped_ = CAP;
    }
    bool within_table() const { return clamped_ <= TOTAL_FREQ; }

  private:
    static constexpr uint64_t CAP = TOTAL_FREQ << 1;
    uint64_t clamped_ = 0;
};

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

// The rule itself, element by element, as the scalar definition of the table: the first
// pass, the encoder's second pass (a symbol beyond the vector gets the empty share (0, 0),
// which is not codable) and the decoder's search.
TableSummary scan_table(const ProbabilityView& view);
SymbolRange symbol_range(const ProbabilityView& view, TableSummary summary, uint64_t symbol);
SymbolSearch find_symbol(const ProbabilityView& view, TableSummary summary, uint64_t target);

// The same results as the rule, computed with the fastest path the CPU has.

// The encoder's share of `symbol` (< count) in a single read of the vector: the elements
// before the symbol are summed, those after only counted into S and the maximum.
SymbolRange encoder_share(const ProbabilityView& view, uint64_t symbol);

// The decoder's first pass keeps the totals of consecutive runs of elements, so that its
// search skips whole runs without reading them again.
struct RunTotals {
    uint64_t sum;  // exact when max < 2^33, else wrapping
    uint64_t max;
};
inline constexpr std::size_t MAX_RUNS = 256;
struct TableScan {
    TableSummary summary;
    uint64_t run_length;  // 0 when no run totals were kept
    uint64_t run_count;
    RunTotals runs[MAX_RUNS];
};
void scan_runs(const ProbabilityView& view, TableScan& scan);
SymbolSearch find_symbol(const ProbabilityView& view, const TableScan& scan, uint64_t target);

}  // namespace vantor
