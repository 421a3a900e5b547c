// Vectors of a few elements, inline in the steps: the rule is applied once per element in a
// single pass, which for so few is quicker than any call into a vector path.
#pragma once

#include <cstdint>

#include "element_rule.hpp"
#include "kernels/block_stats.hpp"
#include "kernels/scalar.hpp"
#include "totals.hpp"

namespace vantor {

inline constexpr uint64_t FEW_COUNT = 8;

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
    const bool dominant_before = before.max == all.max;
    const bool dominant_here = !dominant_before && q == all.max;
    const uint64_t cum_low = before.sum + (dominant_before ? remainder : 0);
    const uint64_t f = dominant_here ? q + remainder : q;
    // d's frequency at its 64-bit value replaces its q; exact >= max, as it holds d's q.
    if (dominant_before) exact = saturating_add(exact - all.max, all.max + remainder);
    exact = saturating_add(exact, f);
    return {cum_low, cum_low + f, f != 0 && exact <= TOTAL_FREQ};
}

// Every q of count <= FEW_COUNT elements and their totals, by the rule (the totals whatever
// happens); false when some q reaches FAST_LIMIT, since sums of such q are not exact.
template <ElementKind K>
bool quantise_few(const Storage<K>* p, uint64_t count, uint64_t* q, Totals& totals) {
    uint64_t sum = 0, max = 0, bits = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t value = kernels::quantised<K>(p, i);
        q[i] = value;
        sum += value;
        max = value > max ? value : max;
        bits |= value;
    }
    totals = {sum, max};
    return bits < kernels::FAST_LIMIT;  // FAST_LIMIT is a power of two
}

// The share of `symbol` (< count <= FEW_COUNT) in one pass; false, with `range` unset, when
// some q reaches FAST_LIMIT.
template <ElementKind K>
bool few_share(const Storage<K>* p, uint64_t count, uint64_t symbol, SymbolRange& range) {
    Totals all{0, 0}, before{0, 0};
    uint64_t q = 0, bits = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t value = kernels::quantised<K>(p, i);
        if (i < symbol) {
            before.sum += value;
            before.max = value > before.max ? value : before.max;
        }
        q = i == symbol ? value : q;
        all.sum += value;
        all.max = value > all.max ? value : all.max;
        bits |= value;
    }
    if (bits >= kernels::FAST_LIMIT) return false;
    range = share_from(before, before.sum, q, all);
    return true;
}

// The rule's search over a whole vector, from q read through `q_of`.
template <class Source>
SymbolSearch search_by_rule(Source q_of, uint64_t count, Totals totals, uint64_t target) {
    kernels::SearchState state{kernels::DominantFinder(totals.max), {}, 0};
    SymbolSearch found{};
    if (kernels::scalar_search(q_of, 0, count, totals.sum, target, state, found)) return found;
    return kernels::search_exhausted(count);
}

}  // namespace vantor
