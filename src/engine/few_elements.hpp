// Short vectors, inline in the steps. Up to FEW_COUNT elements the rule is applied once per
// element in a single pass, which for so few is quicker than a call into most vector paths
// (the encoder's share takes the path's kernel from the length the path names); up to
// SMALL_COUNT the widest path quantises them all at once. Either way every q is kept, so
// that the second pass reads q instead of the elements. Two elements need no pass at all:
// their table is one boundary.
#pragma once

#include <algorithm>
#include <cstdint>
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "compiler.hpp"
#include "element_rule.hpp"
#include "kernels/block_stats.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/scalar.hpp"
#include "totals.hpp"

namespace vantor {

inline constexpr uint64_t FEW_COUNT = 8;

inline uint64_t all_ones_if(bool condition) {
    return uint64_t{0} - static_cast<uint64_t>(condition);
}

// The true partial sum of the frequencies, saturating far above TOTAL_FREQ instead of
// wrapping: it decides whether a share lies inside the table.
inline constexpr uint64_t CEILING = uint64_t{1} << 62;
inline uint64_t saturating_add(uint64_t a, uint64_t b) {
    return b > CEILING - a ? CEILING : a + b;
}

// The rule's share of the symbol from the totals of the elements before it (`before`, with
// `exact` their sum saturating at CEILING), its own q and the totals of the whole vector:
// d is the first element equal to the maximum, before the symbol, the symbol, or after.
inline SymbolRange share_from(Totals before, uint64_t exact, uint64_t q, Totals all) {
    const uint64_t remainder = TOTAL_FREQ - all.sum;  // wrapping, as in the rule
    // (Masks, not branches: where d lies follows the data, and new rows mispredict it.)
    const uint64_t dominant_before = all_ones_if(before.max == all.max);
    const uint64_t dominant_here = all_ones_if(q == all.max) & ~dominant_before;
    const uint64_t cum_low = before.sum + (remainder & dominant_before);
    const uint64_t f = q + (remainder & dominant_here);
    // d's frequency at its 64-bit value replaces its q; exact >= max, as it holds d's q.
    const uint64_t with_d = saturating_add(exact - all.max, all.max + remainder);
    exact = (with_d & dominant_before) | (exact & ~dominant_before);
    exact = saturating_add(exact, f);
    return {cum_low, cum_low + f, f != 0 && exact <= TOTAL_FREQ};
}

// q by the rule for an element whose q lies below FAST_LIMIT, and FAST_LIMIT for any other,
// whose q the rule must then decide. Clamping first lets a signed conversion truncate, which
// is one instruction where the unsigned one is a dozen. NaN gives 1, as in the rule.
inline uint64_t quantise_below_limit(double x) {
    constexpr double LIMIT = static_cast<double>(kernels::FAST_LIMIT);
#if defined(__SSE2__) || defined(_M_X64)
    // (maxsd returns its second operand for NaN; compilers do not always find it alone.)
    __m128d scaled = _mm_set_sd(x * 4294967296.0);
    scaled = _mm_min_sd(_mm_max_sd(scaled, _mm_set_sd(1.0)), _mm_set_sd(LIMIT));
    return static_cast<uint64_t>(_mm_cvttsd_si64(scaled));
#else
    double scaled = x * 4294967296.0;
    scaled = scaled > 1.0 ? scaled : 1.0;
    scaled = scaled < LIMIT ? scaled : LIMIT;
    return static_cast<uint64_t>(static_cast<int64_t>(scaled));
#endif
}

// The same for a float32 element, read where it lies and not widened: x * 2^32 is exact in
// float too (a power of two scales every finite float exactly, and beyond the limit it stays
// beyond it), and FAST_LIMIT is a float, so the clamps and the truncation give the same q.
inline uint64_t quantise_below_limit(const float* at) {
    constexpr float LIMIT = static_cast<float>(kernels::FAST_LIMIT);
    static_assert(static_cast<uint64_t>(LIMIT) == kernels::FAST_LIMIT);
#if defined(__SSE2__) || defined(_M_X64)
    __m128 scaled = _mm_mul_ss(_mm_load_ss(at), _mm_set_ss(4294967296.0f));
    scaled = _mm_min_ss(_mm_max_ss(scaled, _mm_set_ss(1.0f)), _mm_set_ss(LIMIT));
    return static_cast<uint64_t>(_mm_cvttss_si64(scaled));
#else
    float scaled = *at * 4294967296.0f;
    scaled = scaled > 1.0f ? scaled : 1.0f;
    scaled = scaled < LIMIT ? scaled : LIMIT;
    return static_cast<uint64_t>(static_cast<int64_t>(scaled));
#endif
}

// q below FAST_LIMIT of the element at `at`, of kind K.
template <ElementKind K>
uint64_t quantise_element(const Storage<K>* at) {
    if constexpr (K == ElementKind::Float32) {
        return quantise_below_limit(at);
    } else {
        return quantise_below_limit(Element<K>::widen(*at));
    }
}

// Every q of count <= FEW_COUNT elements and their totals, by the rule (the totals whatever
// happens); false when some q reaches FAST_LIMIT, since sums of such q are not exact.
template <ElementKind K>
bool quantise_few(const Storage<K>* p, uint64_t count, uint64_t* q, Totals& totals) {
    uint64_t sum = 0, max = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t value = quantise_element<K>(p + i);
        q[i] = value;
        sum += value;
        max = value > max ? value : max;
    }
    if (max < kernels::FAST_LIMIT) {
        totals = {sum, max};
        return true;
    }
    totals = kernels::scalar_totals<K>(p, count);
    return false;
}

// Every q of count <= SMALL_COUNT elements from the widest path, and their totals; false,
// with the totals by the rule, when the path could not make them or some q reaches
// FAST_LIMIT.
template <ElementKind K>
bool quantise_small(const Storage<K>* p, uint64_t count, uint64_t* q, Totals& totals) {
    totals = kernels::row_of<K>(kernels::active_block_stats()).small(p, count, q);
    if (totals.max < kernels::FAST_LIMIT) return true;
    totals = kernels::scalar_totals<K>(p, count);
    return false;
}

// The share of `symbol` from every q of the vector, all below FAST_LIMIT (so their sums are
// exact), and their totals. The maximum before the symbol matters only as far as it reaches
// the whole maximum.
inline SymbolRange share_of_array(const uint64_t* q, Totals all, uint64_t symbol) {
    // Two loops: the sum alone vectorises, and the search for the maximum stops at it.
    Totals before{0, 0};
    for (uint64_t i = 0; i < symbol; ++i)
        before.sum += q[i];
    for (uint64_t i = 0; i < symbol; ++i) {
        if (q[i] == all.max) {
            before.max = all.max;
            break;
        }
    }
    return share_from(before, before.sum, q[symbol], all);
}

// The share of `symbol` (< count <= FEW_COUNT) in one pass; false, with `range` unset, when
// some q reaches FAST_LIMIT.
template <ElementKind K>
bool few_share(const Storage<K>* p, uint64_t count, uint64_t symbol, SymbolRange& range) {
    // d is the first element equal to the maximum.
    uint64_t sum = 0, before = 0, max = 0, d = 0, q = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t value = quantise_element<K>(p + i);
        before = i == symbol ? sum : before;
        q = i == symbol ? value : q;
        d = value > max ? i : d;
        max = value > max ? value : max;
        sum += value;
    }
    if (max >= kernels::FAST_LIMIT) return false;
    const Totals all{sum, max};
    range = share_from({before, d < symbol ? max : 0}, before, q, all);
    return true;
}

// Two elements, the most common short vector, where the table reduces to one boundary:
// the non-dominant q (the second on a tie) at its end of the table. When that q lies below
// TOTAL_FREQ the invariant holds and both shares are proper; false otherwise.
struct Boundary {
    uint64_t at;
    bool proper;
};
template <ElementKind K>
VANTOR_ALWAYS_INLINE Boundary binary_boundary(const Storage<K>* p) {
    const uint64_t q0 = quantise_element<K>(p);
    const uint64_t q1 = quantise_element<K>(p + 1);
    // The shares follow from the other q alone, whatever the dominant one's (even clamped):
    // its frequency, q_d + TOTAL_FREQ - (q0 + q1), is TOTAL_FREQ less the other q.
    // (Masks, not selections: compilers make those branches, which new rows mispredict.)
    const uint64_t second_dominant = all_ones_if(q1 > q0);
    const uint64_t other = (q0 & second_dominant) | (q1 & ~second_dominant);
    return {(other & second_dominant) | ((TOTAL_FREQ - other) & ~second_dominant),
            other < TOTAL_FREQ};
}

// The share of symbol 0 or 1 of a two-element table.
inline SymbolRange binary_share(uint64_t boundary, uint64_t symbol) {
    const uint64_t second = all_ones_if(symbol != 0);
    return {boundary & second, boundary + ((TOTAL_FREQ - boundary) & second), true};
}

// The rule's search over a whole vector, from q read through `q_of`.
template <class Source>
SymbolSearch search_by_rule(Source q_of, uint64_t count, Totals totals, uint64_t target) {
    kernels::SearchState state{kernels::DominantFinder(totals.max), {}, 0};
    SymbolSearch found{};
    if (kernels::scalar_search(q_of, 0, count, totals.sum, target, state, found)) return found;
    return kernels::search_exhausted(count);
}

// Whether the walk over kept q applies: the table invariant holds (the q other than the
// largest sum to less than TOTAL_FREQ) and the target lies inside the table.
inline bool walkable(Totals totals, uint64_t target) {
    return totals.sum - totals.max < TOTAL_FREQ && target < TOTAL_FREQ;
}

// The walk itself, from q[i] with the bound c before it and the remainder still owed (0
// once given): the remainder goes to d, the first q equal to the maximum, and to no later
// one. The caller knows the target lies ahead.
inline SymbolSearch walk_kept(const uint64_t* q, uint64_t i, uint64_t max, uint64_t remainder,
                              uint64_t c, uint64_t target) {
    for (;; ++i) {
        const bool dominant = q[i] == max;
        const uint64_t next = c + q[i] + (dominant ? remainder : 0);
        if (next > target) return {i, c, next, true, true};
        remainder = dominant ? 0 : remainder;
        c = next;
    }
}

// The rule's search over kept q, all below FAST_LIMIT, so that their sums are exact. When
// the q other than the largest sum to less than TOTAL_FREQ (the table invariant), every
// frequency is at least 1 and the bounds rise to TOTAL_FREQ without wrapping: each share lies
// in the table, and the walk needs neither the saturating check nor, as the target lies
// below TOTAL_FREQ, an end.
inline SymbolSearch search_kept(const uint64_t* q, uint64_t count, Totals totals, uint64_t target) {
    if (!walkable(totals, target))
        return search_by_rule(kernels::FromArray{q}, count, totals, target);
    return walk_kept(q, 0, totals.max, TOTAL_FREQ - totals.sum, 0, target);  // (wrapping)
}

// search_kept for at most FEW_COUNT q, without a branch on the target: the bounds first,
// which do not depend on it, then the symbol as the number of upper bounds at or below the
// target (they rise, every frequency being at least 1). The walk mispredicts its end on most
// rows, which also throws away the work on the next row begun meanwhile; past FEW_COUNT
// the walk was the quicker all the same (measured).
inline SymbolSearch search_few(const uint64_t* q, uint64_t count, Totals totals, uint64_t target) {
    if (!walkable(totals, target))
        return search_by_rule(kernels::FromArray{q}, count, totals, target);
    uint64_t bounds[FEW_COUNT + 1];
    uint64_t remainder = TOTAL_FREQ - totals.sum;  // wrapping, as in the rule
    uint64_t c = 0;
    bounds[0] = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t dominant = all_ones_if(q[i] == totals.max);  // d and no later q
        c += q[i] + (remainder & dominant);
        remainder &= ~dominant;
        bounds[i + 1] = c;
    }
    uint64_t symbol = 0;
    for (uint64_t i = 1; i < count; ++i)
        symbol += bounds[i] <= target ? 1 : 0;
    return {symbol, bounds[symbol], bounds[symbol + 1], true, true};
}

// The rule's share of `symbol` over the elements themselves, for vectors whose q the quick
// paths cannot sum exactly; out of line, as the steps seldom need it.
template <ElementKind K>
VANTOR_NOINLINE SymbolRange share_by_rule(const Storage<K>* p, uint64_t count, uint64_t symbol) {
    return kernels::scalar_share(kernels::FromElements<K>{p}, count,
                                 kernels::scalar_totals<K>(p, count), symbol);
}

// The share of `symbol` (< count <= SMALL_COUNT): every q kept in one pass, or by the rule
// when some q reaches FAST_LIMIT. `MadeAhead` when the share is made while an earlier row
// is coded, as in batches: then only the kernel's throughput counts, and it takes over from
// the length its path names; a single step waits for the share, and below FEW_COUNT
// elements the kernel's latency loses to the one-pass loop (measured).
template <ElementKind K, bool MadeAhead = false>
VANTOR_ALWAYS_INLINE SymbolRange short_share(const Storage<K>* p, uint64_t count, uint64_t symbol) {
    if (count == 2) {
        const Boundary b = binary_boundary<K>(p);
        if (b.proper) return binary_share(b.at, symbol);
    }
    SymbolRange range;
    const kernels::BlockStatsTable& path = kernels::active_block_stats();
    const uint64_t kernel_from =
        MadeAhead ? path.small_share_from : std::max(path.small_share_from, FEW_COUNT + 1);
    if (count >= kernel_from && count > 2) {
        const kernels::SmallShare s = kernels::row_of<K>(path).small_share(p, count, symbol);
        if (s.all.max < kernels::FAST_LIMIT)
            return share_from({s.before, s.before_max}, s.before, quantise_element<K>(p + symbol),
                              s.all);
    } else if (count <= FEW_COUNT) {
        if (few_share<K>(p, count, symbol, range)) return range;
    } else {
        uint64_t q[SMALL_COUNT];
        Totals all;
        if (quantise_small<K>(p, count, q, all)) return share_of_array(q, all, symbol);
    }
    return share_by_rule<K>(p, count, symbol);
}

// The decoder's search of a vector of at most SMALL_COUNT elements: every q is kept, then
// read by the rule's walk.
template <ElementKind K>
VANTOR_ALWAYS_INLINE SymbolSearch short_search(const Storage<K>* p, uint64_t count,
                                               uint64_t target) {
    if (count == 2) {
        const Boundary b = binary_boundary<K>(p);
        if (b.proper && target < TOTAL_FREQ) {
            const uint64_t symbol = target >= b.at ? 1 : 0;
            const SymbolRange share = binary_share(b.at, symbol);
            return {symbol, share.cum_low, share.cum_high, true, true};
        }
    }
    Totals totals;
    if (count <= FEW_COUNT) {
        uint64_t q[FEW_COUNT];
        if (quantise_few<K>(p, count, q, totals)) return search_few(q, count, totals, target);
    } else {
        uint64_t q[SMALL_COUNT];
        if (quantise_small<K>(p, count, q, totals)) return search_kept(q, count, totals, target);
    }
    return search_by_rule(kernels::FromElements<K>{p}, count, totals, target);
}

}  // namespace vantor
