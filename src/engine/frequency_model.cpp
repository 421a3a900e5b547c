#include "frequency_model.hpp"

#include <iterator>

#include "frequency_kernels.hpp"
#include "kernels/dispatch.hpp"

namespace vantor {

namespace {

using kernels::BlockStats;
using kernels::BlockStatsTable;
using kernels::FAST_LIMIT;
using kernels::MAX_RUN;
template <ElementKind K>
using Elements = const kernels::Storage<K>*;

// Below this many elements a vector call costs more than it saves.
constexpr uint64_t VECTOR_MIN = 8;
// Runs of the decoder's first pass are at least this long.
constexpr uint64_t MIN_RUN_LENGTH = 1024;
// Inside a run the search narrows through pieces of these sizes before the scalar walk.
constexpr uint64_t SEARCH_PIECES[] = {1024, 256, 32};

template <ElementKind K>
Elements<K> elements_of(const ProbabilityView& view) {
    return static_cast<Elements<K>>(view.data);
}

const BlockStatsTable* vector_path(uint64_t count) {
    return count >= VECTOR_MIN ? kernels::active_block_stats() : nullptr;
}

// Totals of one run of at most MAX_RUN elements: the vector path when it is exact for the
// run, else the scalar rule; either way the sum is exact when max < FAST_LIMIT.
template <ElementKind K>
BlockStats run_totals(const BlockStatsTable* table, Elements<K> p, uint64_t count) {
    if (table != nullptr && count != 0) {
        const BlockStats stats = table->by_kind[static_cast<int>(K)](p, count);
        if (stats.max < FAST_LIMIT) return stats;
    }
    return kernels::scalar_stats<K>(p, count);
}

// Totals of any number of elements, combined run by run: wrapping sum and maximum.
template <ElementKind K>
BlockStats totals(const BlockStatsTable* table, Elements<K> p, uint64_t count) {
    BlockStats all{0, 0};
    for (uint64_t begin = 0; begin < count; begin += MAX_RUN) {
        const uint64_t length = count - begin < MAX_RUN ? count - begin : MAX_RUN;
        const BlockStats run = run_totals<K>(table, p + begin, length);
        all.sum += run.sum;
        all.max = run.max > all.max ? run.max : all.max;
    }
    return all;
}

template <ElementKind K>
SymbolRange share(Elements<K> p, uint64_t count, uint64_t symbol) {
    const BlockStatsTable* table = vector_path(count);
    if (table == nullptr) {
        return kernels::symbol_range<K>(p, count, kernels::scan_table<K>(p, count), symbol);
    }
    // Every q before the symbol must be below FAST_LIMIT for their sum to be exact.
    BlockStats before{0, 0};
    for (uint64_t begin = 0; begin < symbol; begin += MAX_RUN) {
        const uint64_t length = symbol - begin < MAX_RUN ? symbol - begin : MAX_RUN;
        const BlockStats run = run_totals<K>(table, p + begin, length);
        if (run.max >= FAST_LIMIT) {
            return kernels::symbol_range<K>(p, count, kernels::scan_table<K>(p, count), symbol);
        }
        before.sum += run.sum;
        before.max = run.max > before.max ? run.max : before.max;
    }
    const uint64_t q = kernels::quantised<K>(p, symbol);
    const BlockStats after = totals<K>(table, p + symbol + 1, count - symbol - 1);
    const uint64_t sum = before.sum + q + after.sum;
    uint64_t max = before.max > q ? before.max : q;
    max = after.max > max ? after.max : max;

    // d is the first element equal to the maximum: before the symbol, the symbol, or after.
    const uint64_t remainder = TOTAL_FREQ - sum;  // wrapping, as in the rule
    const bool dominant_before = before.max == max;
    const bool dominant_here = !dominant_before && q == max;
    const uint64_t cum_low = before.sum + (dominant_before ? remainder : 0);
    const uint64_t f = dominant_here ? q + remainder : q;
    // The exact partial sum through the symbol, with d's frequency at its 64-bit value.
    unsigned __int128 partial = static_cast<unsigned __int128>(before.sum) + q;
    if (dominant_before || dominant_here) {
        partial = partial - max + static_cast<uint64_t>(max + remainder);
    }
    return {cum_low, cum_low + f, f != 0 && partial <= TOTAL_FREQ};
}

template <ElementKind K>
void scan(Elements<K> p, uint64_t count, TableScan& out) {
    const BlockStatsTable* table = vector_path(count);
    out.run_length = 0;
    out.run_count = 0;
    if (table == nullptr) {
        out.summary = kernels::scan_table<K>(p, count);
        return;
    }
    uint64_t length = (count + MAX_RUNS - 1) / MAX_RUNS;
    length = length < MIN_RUN_LENGTH ? MIN_RUN_LENGTH : (length + 63) / 64 * 64;
    if (length > MAX_RUN) {
        const BlockStats all = totals<K>(table, p, count);
        out.summary = {all.sum, all.max};
        return;
    }
    out.run_length = length;
    BlockStats all{0, 0};
    for (uint64_t begin = 0; begin < count; begin += length) {
        const uint64_t n = count - begin < length ? count - begin : length;
        const BlockStats run = run_totals<K>(table, p + begin, n);
        out.runs[out.run_count++] = {run.sum, run.max};
        all.sum += run.sum;
        all.max = run.max > all.max ? run.max : all.max;
    }
    out.summary = {all.sum, all.max};
}

// A run can be passed over when its sum is exact, it does not hold d (so every f is q), and
// the running bound after it stays at or below the target.
inline bool skippable(uint64_t sum, uint64_t max, TableSummary summary, uint64_t target,
                      const kernels::SearchState& state) {
    return max < FAST_LIMIT && !(max == summary.max && !state.dominant.seen()) && sum <= target &&
           state.c <= target - sum;
}

inline void skip(uint64_t sum, kernels::SearchState& state) {
    state.c += sum;
    state.check.add(sum);
}

// Walks [begin, end) in pieces of SEARCH_PIECES[level], descending into the piece that
// cannot be passed over, down to the element-by-element rule.
template <ElementKind K>
bool search(const BlockStatsTable* table, Elements<K> p, uint64_t begin, uint64_t end,
            std::size_t level, TableSummary summary, uint64_t target, kernels::SearchState& state,
            SymbolSearch& found) {
    if (level == std::size(SEARCH_PIECES)) {
        return kernels::search_run<K>(p, begin, end, summary.sum, target, state, found);
    }
    const uint64_t step = SEARCH_PIECES[level];
    // The caller already found this range cannot be passed over: no need to sum it again.
    if (end - begin <= step) {
        return search<K>(table, p, begin, end, level + 1, summary, target, state, found);
    }
    for (uint64_t piece = begin; piece < end; piece += step) {
        const uint64_t length = end - piece < step ? end - piece : step;
        const BlockStats stats = table->by_kind[static_cast<int>(K)](p + piece, length);
        if (skippable(stats.sum, stats.max, summary, target, state)) {
            skip(stats.sum, state);
        } else if (search<K>(table, p, piece, piece + length, level + 1, summary, target, state,
                             found)) {
            return true;
        }
    }
    return false;
}

template <ElementKind K>
SymbolSearch find(Elements<K> p, uint64_t count, const TableScan& scan, uint64_t target) {
    const BlockStatsTable* table = vector_path(count);
    if (table == nullptr) return kernels::find_symbol<K>(p, count, scan.summary, target);
    kernels::SearchState state{DominantFinder(scan.summary.max), {}, 0};
    SymbolSearch found{};
    if (scan.run_length == 0) {
        if (search<K>(table, p, 0, count, 0, scan.summary, target, state, found)) return found;
    } else {
        for (uint64_t r = 0; r < scan.run_count; ++r) {
            const uint64_t begin = r * scan.run_length;
            const uint64_t end = begin + scan.run_length < count ? begin + scan.run_length : count;
            const RunTotals& run = scan.runs[r];
            if (skippable(run.sum, run.max, scan.summary, target, state)) {
                skip(run.sum, state);
            } else if (search<K>(table, p, begin, end, 0, scan.summary, target, state, found)) {
                return found;
            }
        }
    }
    return {count - 1, 0, 0, false, false};
}

}  // namespace

TableSummary scan_table(const ProbabilityView& view) {
    return visit_kind(view.kind, [&](auto kind) {
        return kernels::scan_table<kind()>(elements_of<kind()>(view), view.count);
    });
}

SymbolRange symbol_range(const ProbabilityView& view, TableSummary summary, uint64_t symbol) {
    return visit_kind(view.kind, [&](auto kind) {
        return kernels::symbol_range<kind()>(elements_of<kind()>(view), view.count, summary,
                                             symbol);
    });
}

SymbolSearch find_symbol(const ProbabilityView& view, TableSummary summary, uint64_t target) {
    return visit_kind(view.kind, [&](auto kind) {
        return kernels::find_symbol<kind()>(elements_of<kind()>(view), view.count, summary, target);
    });
}

SymbolRange encoder_share(const ProbabilityView& view, uint64_t symbol) {
    return visit_kind(view.kind, [&](auto kind) {
        return share<kind()>(elements_of<kind()>(view), view.count, symbol);
    });
}

void scan_runs(const ProbabilityView& view, TableScan& out) {
    visit_kind(view.kind,
               [&](auto kind) { scan<kind()>(elements_of<kind()>(view), view.count, out); });
}

SymbolSearch find_symbol(const ProbabilityView& view, const TableScan& scan, uint64_t target) {
    return visit_kind(view.kind, [&](auto kind) {
        return find<kind()>(elements_of<kind()>(view), view.count, scan, target);
    });
}

}  // namespace vantor
