#include "dispatch.hpp"

namespace vantor::kernels {

namespace {

const BlockStatsTable* detect() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq")) {
        return &AVX512_BLOCK_STATS;
    }
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c")) {
        return &AVX2_BLOCK_STATS;
    }
#endif
    return nullptr;
}

const BlockStatsTable* chosen = detect();

}  // namespace

const BlockStatsTable* active_block_stats() {
    return chosen;
}

void use_block_stats(const BlockStatsTable* table) {
    chosen = table;
}

bool cpu_supports(const BlockStatsTable* table) {
#if defined(__x86_64__) || defined(__i386__)
    if (table == &AVX512_BLOCK_STATS) {
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    }
    if (table == &AVX2_BLOCK_STATS) {
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c");
    }
#endif
    return table == nullptr;
}

std::span<const BlockStatsTable* const> compiled_paths() {
    static const BlockStatsTable* const paths[] = {nullptr, &AVX2_BLOCK_STATS, &AVX512_BLOCK_STATS};
    return paths;
}

const char* active_path_name() {
    return chosen ? chosen->name : "scalar";
}

}  // namespace vantor::kernels
