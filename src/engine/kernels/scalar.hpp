// The scalar passes, compiled once per element kind: the element rule applied one element
// at a time. They define the results; the block statistics and everything built on them
// must agree with them bit for bit.
#pragma once

#include <cstdint>

#include "engine/element_rule.hpp"
#include "engine/probability_view.hpp"
#include "engine/totals.hpp"

namespace vantor::kernels {

using vantor::Storage;

template <ElementKind K>
inline uint64_t quantised(const Storage<K>* elements, uint64_t i) {
    return quantise(Element<K>::widen(elements[i]));
}

// Where the second passes read q: the elements by the rule, or an array of q made before.
template <ElementKind K>
struct FromElements {
    const Storage<K>* elements;
    uint64_t operator()(uint64_t i) const { return quantised<K>(elements, i); }
};
struct FromArray {
    const uint64_t* q;
    uint64_t first = 0;  // the element index of q[0]
    uint64_t operator()(uint64_t i) const { return q[i - first]; }
};

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

// The first pass: wrapping sum and largest q of a run; exact for every input.
template <ElementKind K>
Totals scalar_totals(const Storage<K>* elements, uint64_t count) {
    uint64_t sum = 0, max = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t q = quantised<K>(elements, i);
        max = q > max ? q : max;
        sum += q;
    }
    return {sum, max};
}

// The encoder's second pass: frequencies summed from index 0 up to the symbol.
template <class Source>
SymbolRange scalar_share(Source q_of, uint64_t count, Totals totals, uint64_t symbol) {
    if (symbol >= count) return {0, 0, false};
    DominantFinder dominant(totals.max);
    ShareCheck check;
    uint64_t c = 0;
    for (uint64_t i = 0;; ++i) {
        const uint64_t q = q_of(i);
        const uint64_t f = frequency(q, dominant.is_dominant(q), totals.sum);
        check.add(f);
        const uint64_t low = c;
        c = low + f;
        if (i == symbol) return {low, c, f != 0 && check.within_table()};
    }
}

// The decoder's walk, resumable: where it stands after the elements read so far.
struct SearchState {
    DominantFinder dominant;
    ShareCheck check;
    uint64_t c = 0;  // the running bound
};

// Walks elements [begin, end) from `state`; true, with `found` set, at the first element
// whose running bound exceeds the target.
template <class Source>
bool scalar_search(Source q_of, uint64_t begin, uint64_t end, uint64_t sum, uint64_t target,
                   SearchState& state, SymbolSearch& found) {
    for (uint64_t i = begin; i < end; ++i) {
        const uint64_t q = q_of(i);
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

// What a search that runs out of elements gives: not found, the last index read.
inline SymbolSearch search_exhausted(uint64_t count) {
    return {count == 0 ? 0 : count - 1, 0, 0, false, false};
}

}  // namespace vantor::kernels
