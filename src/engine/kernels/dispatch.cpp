#include "dispatch.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace vantor::kernels {

namespace {

#if defined(__x86_64__) || defined(__i386__)
// Not every compiler's __builtin_cpu_supports knows F16C, so ask the CPU directly.
bool has_f16c() {
    unsigned eax, ebx, ecx, edx;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_F16C) != 0;
}

bool has_avx2() { return __builtin_cpu_supports("avx2") && has_f16c(); }

bool has_avx512() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
}
#endif

const BlockStatsTable* detect() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (has_avx512()) return &AVX512_BLOCK_STATS;
    if (has_avx2()) return &AVX2_BLOCK_STATS;
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
    __builtin_cpu_init();
    if (table == &AVX512_BLOCK_STATS) return has_avx512();
    if (table == &AVX2_BLOCK_STATS) return has_avx2();
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
