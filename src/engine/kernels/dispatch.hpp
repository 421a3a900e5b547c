// Run-time choice of the widest block-statistics path the CPU supports, made once.
#pragma once

#include <atomic>
#include <span>

#include "block_stats.hpp"

namespace vantor::kernels {

// The choice itself, made once, by the first use (whichever thread comes first): the path a
// benchmark asked for before it (use_block_stats), or else the widest the CPU and the OS
// support. Out of line: the steps see only the pointer it leaves in `chosen_path`.
const BlockStatsTable& choose_block_stats();
// Null until the choice is made, then that path for good.
extern std::atomic<const BlockStatsTable*> chosen_path;

#if defined(VANTOR_KERNEL_OVERRIDE)
namespace testing {
extern std::atomic<const BlockStatsTable*> forced_path;
}
#endif

// The path in use: chosen at the first use and the same from then on. Inline, as the short
// vectors' steps look it up once a row: one load (plain on x86 and ARM) and a branch that
// goes one way for the life of the process.
inline const BlockStatsTable& active_block_stats() {
#if defined(VANTOR_KERNEL_OVERRIDE)
    if (const BlockStatsTable* forced = testing::forced_path.load(std::memory_order_acquire)) {
        return *forced;
    }
#endif
    if (const BlockStatsTable* chosen = chosen_path.load(std::memory_order_acquire)) [[likely]] {
        return *chosen;
    }
    return choose_block_stats();
}

// The row of kind K on `path`.
template <ElementKind K>
const KernelRow<K>& row_of(const BlockStatsTable& path) {
    if constexpr (K == ElementKind::Float32) return path.float32;
    if constexpr (K == ElementKind::Float16) return path.float16;
    if constexpr (K == ElementKind::BFloat16) return path.bfloat16;
    if constexpr (K == ElementKind::Float64) return path.float64;
}

// Asks the first use to choose `path` (a benchmark's --path). False, and nothing changes,
// when the choice has been made already. Safe from any thread.
bool use_block_stats(const BlockStatsTable& path);
// Whether this CPU and OS run `path`.
bool cpu_supports(const BlockStatsTable& path);
// Every path compiled into this build, the scalar one first and the widest last.
std::span<const BlockStatsTable* const> compiled_paths();

#if defined(VANTOR_KERNEL_OVERRIDE)
namespace testing {

// Test builds only (VANTOR_KERNEL_OVERRIDE): every thread uses `path` while this lives, so
// that one process runs every path on the same inputs. The release module has no such
// switch: its path never changes once chosen. Guards nest; each puts back what it found.
class ForcedPath {
  public:
    explicit ForcedPath(const BlockStatsTable& path)
        : saved_(forced_path.exchange(&path, std::memory_order_acq_rel)) {}
    ~ForcedPath() { forced_path.store(saved_, std::memory_order_release); }
    ForcedPath(const ForcedPath&) = delete;
    ForcedPath& operator=(const ForcedPath&) = delete;

  private:
    const BlockStatsTable* saved_;
};

}  // namespace testing
#endif

}  // namespace vantor::kernels
