// Turning one probability vector into a frequency table that totals TOTAL_FREQ.
//
// The element rule (element_rule.hpp) gives every element its q and the dominant symbol
// the rounding remainder. The table is never stored: each pass recomputes it from the
// elements. The first pass needs only S and the largest q; the second finds d on its way as
// the first element equal to that maximum.
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
#include "element_rule.hpp"
#include "probability_view.hpp"
#include "totals.hpp"

namespace vantor {

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
// A small vector keeps every q instead; one of up to KEPT_COUNT elements keeps every q as
// well, with runs of SMALL_COUNT (head 0), so that the search reads no element again.
inline constexpr uint64_t KEPT_COUNT = 256;
struct RunScan {
    Totals totals;        // of the whole vector
    uint64_t run_length;  // 0 when no run totals were kept
    uint64_t head;        // elements before the first boundary, < 64 bytes' worth
    uint64_t run_count;
    Totals runs[MAX_RUNS];
    bool small;  // q holds every element's q, and there are no runs
    bool kept;   // q holds every element's q, and each run's totals are exact
    uint64_t q[KEPT_COUNT + SMALL_COUNT];  // (room for the vectors a path stores whole)
};
void scan_runs(const ProbabilityView& view, RunScan& scan);
SymbolSearch search_runs(const ProbabilityView& view, const RunScan& scan, uint64_t target);

// The same three on elements of a known kind, for callers that chose the kind once for
// many vectors.
template <ElementKind K>
SymbolRange encoder_share_of(const Storage<K>* elements, uint64_t count, uint64_t symbol);
template <ElementKind K>
void scan_runs_of(const Storage<K>* elements, uint64_t count, RunScan& scan);
template <ElementKind K>
SymbolSearch search_runs_of(const Storage<K>* elements, uint64_t count, const RunScan& scan,
                            uint64_t target);

}  // namespace vantor
