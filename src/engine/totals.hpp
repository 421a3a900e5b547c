// What the first pass of a step needs from a run of elements, and what every path of the
// block statistics returns.
#pragma once

#include <cstdint>

namespace vantor {

struct Totals {
    uint64_t sum;  // the quantised probabilities added up, wrapping modulo 2^64
    uint64_t max;  // the largest of them; 0 for a run of no element
};

// Vectors of up to this many elements are quantised whole and every q kept, so that the
// second pass reads them instead of applying the rule again.
inline constexpr uint64_t SMALL_COUNT = 32;

}  // namespace vantor
