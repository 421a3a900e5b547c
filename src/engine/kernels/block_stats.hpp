// The primitives of the fast passes, one table of functions per instruction set with a row
// per element kind: the sum and the largest of the quantised probabilities q of a run of
// elements, every q of a small vector, and what one symbol's share needs of a small vector.
//
// The scalar path applies the rule. A vector path may give up on a run (elements above 1.0,
// for example, or q too large for its lanes) by returning a max of FAST_LIMIT or more; the
// caller then applies the rule to that run. Below FAST_LIMIT its results equal the rule's,
// for runs of at most MAX_RUN elements. This header holds no inline code, so the files
// compiled for wider instruction sets cannot leak their code into the others.
#pragma once

#include <cstdint>

#include "engine/element_kind.hpp"
#include "engine/totals.hpp"

namespace vantor::kernels {

inline constexpr uint64_t FAST_LIMIT = uint64_t{1} << 33;
// FAST_LIMIT * MAX_RUN stays below 2^53, so that double lanes sum such runs exactly.
inline constexpr uint64_t MAX_RUN = uint64_t{1} << 19;

// What the share of one symbol (< count <= SMALL_COUNT) needs from a small vector besides
// its own q, exact: the totals, the sum of the q before the symbol, and whether a q equal to
// the largest lies before it. A max of FAST_LIMIT or more when the path cannot make them
// exact.
struct SmallShare {
    Totals all;
    uint64_t before;
    uint64_t before_max;  // all.max when some q before the symbol equals it, else 0
};

// One element kind's kernels on one path, typed by the kind's storage.
template <ElementKind K>
struct KernelRow {
    // The totals of a run of at most MAX_RUN elements; the sum is exact when
    // max < FAST_LIMIT.
    Totals (*block)(const Storage<K>* elements, uint64_t count);
    // Writes q of each of the count <= SMALL_COUNT elements and returns their totals, exact;
    // a max of FAST_LIMIT or more, with q unwritten, when the path cannot make them exact.
    // q has room for SMALL_COUNT values: a path may store whole vectors past q[count - 1].
    Totals (*small)(const Storage<K>* elements, uint64_t count, uint64_t* q);
    // Null on paths that have no quicker way to it than `small`.
    SmallShare (*small_share)(const Storage<K>* elements, uint64_t count, uint64_t symbol);
};

// One path: a row per element kind, each named, so that no row depends on the order of
// ElementKind. A path without `small_share` sets `small_share_from` past SMALL_COUNT; below
// `small_share_from` elements a batch's one-pass loop is the quicker (measured).
struct BlockStatsTable {
    const char* name;
    KernelRow<ElementKind::Float32> float32;
    KernelRow<ElementKind::Float16> float16;
    KernelRow<ElementKind::BFloat16> bfloat16;
    KernelRow<ElementKind::Float64> float64;
    uint64_t small_share_from;
};

// Every build has the scalar path; the vector paths compiled in are listed by dispatch.cpp.
extern const BlockStatsTable SCALAR_BLOCK_STATS;

}  // namespace vantor::kernels
