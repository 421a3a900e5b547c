// Block statistics by the scalar rule: the path of every CPU, and the one the others are
// checked against.
#include "block_stats.hpp"
#include "scalar.hpp"

namespace vantor::kernels {

namespace {

template <ElementKind K>
Totals scalar_block(const void* elements, uint64_t count) {
    return scalar_totals<K>(static_cast<const Storage<K>*>(elements), count);
}

template <ElementKind K>
Totals scalar_small(const void* elements, uint64_t count, uint64_t* q) {
    const FromElements<K> q_of{static_cast<const Storage<K>*>(elements)};
    uint64_t sum = 0, max = 0;
    for (uint64_t i = 0; i < count; ++i) {
        q[i] = q_of(i);
        max = q[i] > max ? q[i] : max;
        sum += q[i];
    }
    return {sum, max};
}

}  // namespace

extern const BlockStatsTable SCALAR_BLOCK_STATS = {
    {scalar_block<ElementKind::Float32>, scalar_block<ElementKind::Float16>,
     scalar_block<ElementKind::BFloat16>, scalar_block<ElementKind::Float64>},
    {scalar_small<ElementKind::Float32>, scalar_small<ElementKind::Float16>,
     scalar_small<ElementKind::BFloat16>, scalar_small<ElementKind::Float64>},
    {},
    SMALL_COUNT + 1,
    "scalar",
};

}  // namespace vantor::kernels
