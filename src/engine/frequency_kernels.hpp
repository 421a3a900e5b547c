// The scalar element loops of both passes, compiled once per element kind. They define
// the results; the vector paths must agree with them bit for bit.
#pragma once

#include <cstdint>

#include "frequency_model.hpp"
#include "kernels/block_stats.hpp"

namespace vantor::kernels {

template <ElementKind K>
using Storage = typename Element<K>::Storage;

template <ElementKind K>
inline uint64_t quantised(const Storage<K>* elements, uint64_t i) {
    return quantise(Element<K>::widen(elements[i]));
}

// Wrapping sum and largest q of a run; exact for every input.
template <ElementKind K>
BlockStats scalar_stats(const Storage<K>* elements, uint64_t count) {
    uint64_t sum = 0, max = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t q = quantised<K>(elements, i);
        max = q > max ? q : max;
        sum += q;
    }
    return {sum, max};
}

template <ElementKind K>
TableSummary scan_table(const Storage<K>* elements, uint64_t count) {
    const BlockStats stats = scalar_stats<K>(elements, count);
    return {stats.sum, stats.max};
}

template <ElementKind K>
SymbolRange symbol_range(const Storage<K>* elements, uint64_t count, TableSummary summary,
                         uint64_t symbol) {
    if (symbol >= count) return {0, 0, false};
    DominantFinder dominant(summary.max);
    ShareCheck check;
    uint64_t c = 0;
    for (uint64_t i = 0;; ++i) {
        const uint64_t q = quantised<K>(elements, i);
        const uint64_t f = frequency(q, dominant.is_dominant(q), summary.sum);
        check.add(f);
        const uint64_t low = c;
        c = low + f;
        if (i == symbol) return {low, c, f != 0 && check.within_table()};
    }
}

// The decoder's walk over elements [begin, end), continuing the running state.
struct SearchState {
    DominantFinder dominant;
    ShareCheck check;
    uint64_t c = 0;
};

template <ElementKind K>
bool search_run(const Storage<K>* elements, uint64_t begin, uint64_t end, uint64_t sum,
                uint64_t target, SearchState& state, SymbolSearch& found) {
    for (uint64_t i = begin; i < end; ++i) {
        const uint64_t q = quantised<K>(elements, i);
        const uint64_t f = frequency(q, state.dominant.is_dominant(q), sum);
        state.check.add(f);
        const uint64_t next = state.c + f;
        if (next > target) {
            found = {i, state.c, next, true, f != 0 && state.check.within_table()};
            return true;
        }
        state.c = next;
    }
    return false;
}

template <ElementKind K>
SymbolSearch find_symbol(const Storage<K>* elements, uint64_t count, TableSummary summary,
                         uint64_t target) {
    SearchState state{DominantFinder(summary.max), {}, 0};
    SymbolSearch found{};
    if (search_run<K>(elements, 0, count, summary.sum, target, state, found)) return found;
    return {count == 0 ? 0 : count - 1, 0, 0, false, false};
}

}  // namespace vantor::kernels
