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

}  // namespace

extern const BlockStatsTable SCALAR_BLOCK_STATS = {
    {scalar_block<ElementKind::Float32>, scalar_block<ElementKind::Float16>,
     scalar_block<ElementKind::BFloat16>, scalar_block<ElementKind::Float64>},
    "scalar",
};

}  // namespace vantor::kernels
