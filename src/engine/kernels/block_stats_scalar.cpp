// Block statistics by the scalar rule: the path of every CPU, and the one the others are
// checked against.
#include "block_stats.hpp"
#include "scalar.hpp"

namespace vantor::kernels {

namespace {

template <ElementKind K>
Totals scalar_small(const Storage<K>* elements, uint64_t count, uint64_t* q) {
    const FromElements<K> q_of{elements};
    uint64_t sum = 0, max = 0;
    for (uint64_t i = 0; i < count; ++i) {
        q[i] = q_of(i);
        max = q[i] > max ? q[i] : max;
        sum += q[i];
    }
    return {sum, max};
}

// No small_share: the rule has no quicker way to it than every q.
template <ElementKind K>
constexpr KernelRow<K> scalar_row{
    .block = scalar_totals<K>, .small = scalar_small<K>, .small_share = nullptr};

}  // namespace

extern const BlockStatsTable SCALAR_BLOCK_STATS = {
    .name = "scalar",
    .float32 = scalar_row<ElementKind::Float32>,
    .float16 = scalar_row<ElementKind::Float16>,
    .bfloat16 = scalar_row<ElementKind::BFloat16>,
    .float64 = scalar_row<ElementKind::Float64>,
    .small_share_from = SMALL_COUNT + 1,
};

}  // namespace vantor::kernels
