#include "frequency_model.hpp"

#include <iterator>

#include "few_elements.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/scalar.hpp"

namespace vantor {

namespace {

using kernels::BlockStatsTable;
using kernels::FAST_LIMIT;
using kernels::FromArray;
using kernels::FromElements;
using kernels::MAX_RUN;
using kernels::SearchState;
template <ElementKind K>
using Elements = const kernels::Storage<K>*;

// Runs of the decoder's first pass are at least this long.
constexpr uint64_t MIN_RUN_LENGTH = 1024;
// Inside a run the search narrows through pieces of these sizes, then walks pieces of
// SMALL_COUNT quantised whole.
constexpr uint64_t SEARCH_PIECES[] = {1024, 256};

template <ElementKind K>
Elements<K> elements_of(const ProbabilityView& view) {
    return static_cast<Elements<K>>(view.data);
}

template <ElementKind K>
Totals block_totals(const BlockStatsTable& table, Elements<K> p, uint64_t count) {
    return kernels::row_of<K>(table).block(p, count);
}

// Totals of one run of at most MAX_RUN elements: the path's when they are exact for the
// run, else the scalar rule's; either way the sum is exact when max < FAST_LIMIT.
template <ElementKind K>
Totals run_totals(const BlockStatsTable& table, Elements<K> p, uint64_t count) {
    const Totals totals = block_totals<K>(table, p, count);
    if (totals.max < FAST_LIMIT) return totals;
    return kernels::scalar_totals<K>(p, count);
}

// Walks [0, count) in runs, the first `first` elements long and the others `length` (both
// at most MAX_RUN), and combines their totals into `all`: wrapping sum, maximum. `each` sees
// every run's totals first and stops the walk by returning false. Returns whether the walk
// reached the end.
template <ElementKind K, class Each>
bool combine_runs(const BlockStatsTable& table, Elements<K> p, uint64_t count, uint64_t first,
                  uint64_t length, Totals& all, Each&& each) {
    for (uint64_t begin = 0, end = first; begin < count; begin = end, end += length) {
        const Totals run = run_totals<K>(table, p + begin, (end < count ? end : count) - begin);
        if (!each(run)) return false;
        all.sum += run.sum;
        all.max = run.max > all.max ? run.max : all.max;
    }
    return true;
}

template <ElementKind K>
Totals whole_totals(const BlockStatsTable& table, Elements<K> p, uint64_t count) {
    Totals all{0, 0};
    combine_runs<K>(table, p, count, MAX_RUN, MAX_RUN, all, [](const Totals&) { return true; });
    return all;
}

// Elements before the first 64-byte boundary of the data (none if elements straddle it).
template <ElementKind K>
uint64_t elements_to_boundary(Elements<K> p) {
    const auto offset = reinterpret_cast<uintptr_t>(p) % 64;
    return offset % sizeof(*p) == 0 ? (64 - offset) % 64 / sizeof(*p) : 0;
}

}  // namespace

template <ElementKind K>
SymbolRange encoder_share_of(Elements<K> p, uint64_t count, uint64_t symbol) {
    if (count <= SMALL_COUNT) return short_share<K>(p, count, symbol);
    const BlockStatsTable& table = kernels::active_block_stats();
    // Every q before the symbol must be below FAST_LIMIT for their sum to be exact.
    Totals before{0, 0};
    uint64_t exact = 0;
    if (!combine_runs<K>(table, p, symbol, MAX_RUN, MAX_RUN, before, [&](const Totals& run) {
            exact = saturating_add(exact, run.sum);
            return run.max < FAST_LIMIT;
        })) {
        return share_by_rule<K>(p, count, symbol);
    }
    const uint64_t q = kernels::quantised<K>(p, symbol);
    const Totals after = whole_totals<K>(table, p + symbol + 1, count - symbol - 1);
    Totals all{before.sum + q + after.sum, before.max > q ? before.max : q};
    all.max = after.max > all.max ? after.max : all.max;
    return share_from(before, exact, q, all);
}

// Every q of count <= KEPT_COUNT elements, SMALL_COUNT at a time, each piece a run; false
// when some piece's q are not exact, leaving no runs.
template <ElementKind K>
bool keep_pieces(Elements<K> p, uint64_t count, RunScan& out) {
    out.totals = {0, 0};
    for (uint64_t piece = 0; piece < count; piece += SMALL_COUNT) {
        const uint64_t length = count - piece < SMALL_COUNT ? count - piece : SMALL_COUNT;
        Totals run;
        if (!quantise_small<K>(p + piece, length, out.q + piece, run)) {
            out.run_count = 0;
            return false;
        }
        out.runs[out.run_count++] = run;
        out.totals.sum += run.sum;
        out.totals.max = run.max > out.totals.max ? run.max : out.totals.max;
    }
    out.run_length = SMALL_COUNT;
    out.kept = true;
    return true;
}

template <ElementKind K>
void scan_runs_of(Elements<K> p, uint64_t count, RunScan& out) {
    out.run_length = 0;
    out.head = 0;
    out.run_count = 0;
    out.small = false;
    out.kept = false;
    if (count <= FEW_COUNT) {
        // The totals are the rule's either way; the q only when they are exact.
        out.small = quantise_few<K>(p, count, out.q, out.totals);
        return;
    }
    const BlockStatsTable& table = kernels::active_block_stats();
    if (count <= SMALL_COUNT) {
        out.small = quantise_small<K>(p, count, out.q, out.totals);
        return;
    }
    if (count <= KEPT_COUNT && keep_pieces<K>(p, count, out)) return;
    uint64_t length = (count + MAX_RUNS - 1) / MAX_RUNS;
    length = length < MIN_RUN_LENGTH ? MIN_RUN_LENGTH : (length + 63) / 64 * 64;
    if (length + 64 > MAX_RUN) {
        out.totals = whole_totals<K>(table, p, count);
        return;
    }
    // Runs on line boundaries read whole lines, with no partial vector at either end.
    out.run_length = length;
    out.head = elements_to_boundary<K>(p);
    out.totals = {0, 0};
    combine_runs<K>(table, p, count, out.head + length, length, out.totals, [&](const Totals& run) {
        out.runs[out.run_count++] = run;
        return true;
    });
}

namespace {

// The whole table as the search sees it. When its sum is exact and the table invariant
// holds (the q other than the largest sum to less than TOTAL_FREQ), every bound is exact
// and at most TOTAL_FREQ, so the piece that holds d can be passed over on its sum plus
// the remainder d adds; otherwise the search must look inside that piece.
struct Table {
    Totals totals;
    bool remainder_known;
    uint64_t remainder;  // TOTAL_FREQ - totals.sum, wrapping, as in the rule

    Table(Totals all, uint64_t count, uint64_t target)
        : totals(all),
          remainder_known(all.max < FAST_LIMIT && count <= EXACT_SUM_COUNT &&
                          walkable(all, target)),
          remainder(TOTAL_FREQ - all.sum) {}

    // q below FAST_LIMIT = 2^33, so no sum of this many of them wraps.
    static constexpr uint64_t EXACT_SUM_COUNT = uint64_t{1} << 31;
};

// Passes over a run, and returns true, when its sum is exact and the running bound after
// it stays at or below the target; leaves the state as it was otherwise.
inline bool pass_over(const Totals& run, const Table& table, uint64_t target, SearchState& state) {
    if (run.max >= FAST_LIMIT) return false;
    const bool holds_d = run.max == table.totals.max && !state.dominant.seen();
    if (holds_d && !table.remainder_known) return false;
    // (Wrapping when the sum exceeds TOTAL_FREQ; the result, the run's frequencies summed,
    // is exact under the invariant.)
    const uint64_t added = run.sum + (holds_d ? table.remainder : 0);
    if (added > target || state.c > target - added) return false;
    state.dominant.is_dominant(run.max);  // d, if it is in the run, has been passed
    state.c += added;
    state.check.add(added);
    return true;
}

// The last level: pieces of SMALL_COUNT quantised whole, passed over on their totals or
// searched in their array of q.
template <ElementKind K>
bool search_small(Elements<K> p, uint64_t begin, uint64_t end, const Table& table, uint64_t target,
                  SearchState& state, SymbolSearch& found) {
    for (uint64_t piece = begin; piece < end; piece += SMALL_COUNT) {
        const uint64_t length = end - piece < SMALL_COUNT ? end - piece : SMALL_COUNT;
        uint64_t q[SMALL_COUNT];
        Totals piece_totals;
        if (!quantise_small<K>(p + piece, length, q, piece_totals)) {
            if (kernels::scalar_search(FromElements<K>{p}, piece, piece + length, table.totals.sum,
                                       target, state, found)) {
                return true;
            }
        } else if (!pass_over(piece_totals, table, target, state) &&
                   kernels::scalar_search(FromArray{q, piece}, piece, piece + length,
                                          table.totals.sum, target, state, found)) {
            return true;
        }
    }
    return false;
}

// Walks [begin, end) in pieces of SEARCH_PIECES[level], descending into the piece that
// cannot be passed over, down to pieces of SMALL_COUNT.
template <ElementKind K>
bool search(const BlockStatsTable& path, Elements<K> p, uint64_t begin, uint64_t end,
            std::size_t level, const Table& table, uint64_t target, SearchState& state,
            SymbolSearch& found) {
    if (level == std::size(SEARCH_PIECES)) {
        return search_small<K>(p, begin, end, table, target, state, found);
    }
    const uint64_t step = SEARCH_PIECES[level];
    // The caller already found this range cannot be passed over: no need to sum it again.
    if (end - begin <= step) {
        return search<K>(path, p, begin, end, level + 1, table, target, state, found);
    }
    for (uint64_t piece = begin; piece < end; piece += step) {
        const uint64_t length = end - piece < step ? end - piece : step;
        const Totals piece_totals = block_totals<K>(path, p + piece, length);
        if (!pass_over(piece_totals, table, target, state) &&
            search<K>(path, p, piece, piece + length, level + 1, table, target, state, found)) {
            return true;
        }
    }
    return false;
}

// search_kept over runs of kept q: whole runs passed over on their sums, then the walk in
// the run that holds the target. Only under the table invariant, as search_kept.
SymbolSearch search_kept_runs(const RunScan& scan, uint64_t target) {
    const Totals& totals = scan.totals;
    uint64_t remainder = TOTAL_FREQ - totals.sum;  // wrapping, as in the rule; 0 once given
    uint64_t c = 0;
    for (uint64_t r = 0;; ++r) {
        const bool holds_d = remainder != 0 && scan.runs[r].max == totals.max;
        const uint64_t sum = scan.runs[r].sum + (holds_d ? remainder : 0);
        if (sum > target - c)
            return walk_kept(scan.q, r * scan.run_length, totals.max, remainder, c, target);
        c += sum;
        remainder = holds_d ? 0 : remainder;
    }
}

}  // namespace

template <ElementKind K>
SymbolSearch search_runs_of(Elements<K> p, uint64_t count, const RunScan& scan, uint64_t target) {
    if (scan.small) return search_kept(scan.q, count, scan.totals, target);
    if (scan.kept && walkable(scan.totals, target)) return search_kept_runs(scan, target);
    if (count <= SMALL_COUNT) return search_by_rule(FromElements<K>{p}, count, scan.totals, target);
    const BlockStatsTable& path = kernels::active_block_stats();
    const Table table(scan.totals, count, target);
    SearchState state{kernels::DominantFinder(scan.totals.max), {}, 0};
    SymbolSearch found{};
    if (scan.run_length == 0) {
        if (search<K>(path, p, 0, count, 0, table, target, state, found)) return found;
    } else {
        for (uint64_t r = 0; r < scan.run_count; ++r) {
            const uint64_t begin = r == 0 ? 0 : scan.head + r * scan.run_length;
            uint64_t end = scan.head + (r + 1) * scan.run_length;
            end = end < count ? end : count;
            if (!pass_over(scan.runs[r], table, target, state) &&
                search<K>(path, p, begin, end, 0, table, target, state, found)) {
                return found;
            }
        }
    }
    return kernels::search_exhausted(count);
}

Totals scan_table(const ProbabilityView& view) {
    return visit_kind(view.kind, [&](auto kind) {
        return kernels::scalar_totals<kind()>(elements_of<kind()>(view), view.count);
    });
}

SymbolRange symbol_range(const ProbabilityView& view, Totals totals, uint64_t symbol) {
    return visit_kind(view.kind, [&](auto kind) {
        return kernels::scalar_share(FromElements<kind()>{elements_of<kind()>(view)}, view.count,
                                     totals, symbol);
    });
}

SymbolSearch find_symbol(const ProbabilityView& view, Totals totals, uint64_t target) {
    return visit_kind(view.kind, [&](auto kind) {
        return search_by_rule(FromElements<kind()>{elements_of<kind()>(view)}, view.count, totals,
                              target);
    });
}

SymbolRange encoder_share(const ProbabilityView& view, uint64_t symbol) {
    return visit_kind(view.kind, [&](auto kind) {
        return encoder_share_of<kind()>(elements_of<kind()>(view), view.count, symbol);
    });
}

void scan_runs(const ProbabilityView& view, RunScan& out) {
    visit_kind(view.kind, [&](auto kind) {
        scan_runs_of<kind()>(elements_of<kind()>(view), view.count, out);
    });
}

SymbolSearch search_runs(const ProbabilityView& view, const RunScan& scan, uint64_t target) {
    return visit_kind(view.kind, [&](auto kind) {
        return search_runs_of<kind()>(elements_of<kind()>(view), view.count, scan, target);
    });
}

#define VANTOR_FOR_KIND(K)                                                     \
    template SymbolRange encoder_share_of<K>(Elements<K>, uint64_t, uint64_t); \
    template void scan_runs_of<K>(Elements<K>, uint64_t, RunScan&);            \
    template SymbolSearch search_runs_of<K>(Elements<K>, uint64_t, const RunScan&, uint64_t);
VANTOR_FOR_KIND(ElementKind::Float32)
VANTOR_FOR_KIND(ElementKind::Float16)
VANTOR_FOR_KIND(ElementKind::BFloat16)
VANTOR_FOR_KIND(ElementKind::Float64)
#undef VANTOR_FOR_KIND

}  // namespace vantor
