// Run-time choice of the widest block-statistics path the CPU supports.
#pragma once

#include <span>

#include "block_stats.hpp"

namespace vantor::kernels {

// The path in use: the widest the CPU and the OS support, chosen once at start-up. Inline,
// as the short vectors' steps look it up once a row.
extern const BlockStatsTable* active_path;
inline const BlockStatsTable& active_block_stats() {
    return *active_path;
}

// For tests and benchmarks: run every path on the same inputs. Not thread-safe.
void use_block_stats(const BlockStatsTable& table);
bool cpu_supports(const BlockStatsTable& table);
// Every path compiled into this build, the scalar one first and the widest last.
std::span<const BlockStatsTable* const> compiled_paths();

}  // namespace vantor::kernels
