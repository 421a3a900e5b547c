// Run-time choice of the widest block-statistics path the CPU supports.
#pragma once

#include <span>

#include "block_stats.hpp"

namespace vantor::kernels {

// The table in use, or null for the scalar path.
const BlockStatsTable* active_block_stats();
const char* active_path_name();

// For tests and benchmarks: run every path on the same inputs. Not thread-safe.
void use_block_stats(const BlockStatsTable* table);
bool cpu_supports(const BlockStatsTable* table);
// Every path compiled into this build, the scalar one (null) first.
std::span<const BlockStatsTable* const> compiled_paths();

}  // namespace vantor::kernels
