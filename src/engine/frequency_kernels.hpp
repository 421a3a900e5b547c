// The element loops of both passes, compiled once per element kind.
#pragma once

#include <cstdint>

#include "frequency_model.hpp"

namespace vantor::kernels {

template <ElementKind K>
using Storage = typename Element<K>::Storage;

template <ElementKind K>
inline uint64_t quantised(const Storage<K>* elements, uint64_t i) {
    return quantise(Element<K>::widen(elements[i]));
}

template <ElementKind K>
TableSummary scan_table(const Storage<K>* elements, uint64_t count) {
    uint64_t best = 0, dominant = 0, sum = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t q = quantised<K>(elements, i);
        if (q > best) {
            best = q;
            dominant = i;
        }
        sum += q;
    }
    return {sum, dominant};
}

template <ElementKind K>
SymbolRange symbol_range(const Storage<K>* elements, uint64_t count, TableSummary summary,
                         uint64_t symbol) {
    if (symbol >= count) return {0, 0, false};
    ShareCheck check;
    uint64_t c = 0;
    for (uint64_t i = 0;; ++i) {
        const uint64_t f = frequency(quantised<K>(elements, i), i == summary.dominant, summary.sum);
        check.add(f);
        const uint64_t low = c;
        c = low + f;
        if (i == symbol) return {low, c, f != 0 && check.within_table()};
    }
}

template <ElementKind K>
SymbolSearch find_symbol(const Storage<K>* elements, uint64_t count, TableSummary summary,
                         uint64_t target) {
    ShareCheck check;
    uint64_t c = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t f = frequency(quantised<K>(elements, i), i == summary.dominant, summary.sum);
        check.add(f);
        const uint64_t next = c + f;
        if (next > target) return {i, c, next, true, f != 0 && check.within_table()};
        c = next;
    }
    return {count == 0 ? 0 : count - 1, 0, 0, false, false};
}

}  // namespace vantor::kernels
