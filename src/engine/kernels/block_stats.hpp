// The one primitive of the fast passes: the sum and the largest of the quantised
// probabilities q of a run of elements, one table of functions per instruction set.
//
// The scalar path applies the rule. The vector paths compute q in floating point (scale by 2^32,
// truncate, at least 1) and sum in double lanes, which is exact while every q is below FAST_LIMIT
// and the run is at most MAX_RUN long. A result whose max reaches FAST_LIMIT is not exact, and the
// caller falls back to the scalar rule for that run. This header holds no inline code, so the files
// compiled for wider instruction sets cannot leak their code into the others.
#pragma once

#include <cstdint>

#include "engine/element_kind.hpp"
#include "engine/totals.hpp"

namespace vantor::kernels {

inline constexpr uint64_t FAST_LIMIT = uint64_t{1} << 33;
// FAST_LIMIT * MAX_RUN stays below 2^53, so double sums of fast runs are exact.
inline constexpr uint64_t MAX_RUN = uint64_t{1} << 19;

// The sum is exact when max < FAST_LIMIT.
using BlockStatsFn = Totals (*)(const void* elements, uint64_t count);

// Writes q of each of the count <= SMALL_COUNT elements and returns their totals, exact;
// a max of FAST_LIMIT or more, with q unwritten, when the path cannot make them exact.
using QuantiseFn = Totals (*)(const void* elements, uint64_t count, uint64_t* q);

// One entry per ElementKind, in the enum's order.
struct BlockStatsTable {
    BlockStatsFn by_kind[4];
    QuantiseFn small[4];
    const char* name;
};

// Every build has the scalar path; the vector paths compiled in are listed by dispatch.cpp.
extern const BlockStatsTable SCALAR_BLOCK_STATS;

}  // namespace vantor::kernels
