#include "dispatch.hpp"

#include <atomic>
#include <cstdint>
#include <iterator>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define VANTOR_X86 1
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace vantor::kernels {

// The vector paths CMake compiled in, each with the features it needs.
#define VANTOR_VECTOR_PATH(table, features) extern const BlockStatsTable table;
#include "vector_paths.inc"
#undef VANTOR_VECTOR_PATH

namespace {

// Instruction-set features, named as the compilers' -m flags name them.
enum Feature : uint32_t {
    FEATURE_AVX2 = 1u << 0,
    FEATURE_F16C = 1u << 1,
    FEATURE_AVX512F = 1u << 2,
    FEATURE_AVX512BW = 1u << 3,
    FEATURE_AVX512VL = 1u << 4,
    FEATURE_AVX512DQ = 1u << 5,
    FEATURE_AVX512VNNI = 1u << 6,
};

#ifdef VANTOR_X86
struct CpuidRegisters {
    uint32_t eax, ebx, ecx, edx;
};

CpuidRegisters cpuid(uint32_t leaf, uint32_t subleaf) {
#if defined(_MSC_VER) && !defined(__clang__)
    int r[4];
    __cpuidex(r, static_cast<int>(leaf), static_cast<int>(subleaf));
    return {static_cast<uint32_t>(r[0]), static_cast<uint32_t>(r[1]), static_cast<uint32_t>(r[2]),
            static_cast<uint32_t>(r[3])};
#else
    CpuidRegisters r{};
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
    return r;
#endif
}

// The register state the OS saves on a context switch (XCR0).
uint64_t os_saved_state() {
#if defined(_MSC_VER) && !defined(__clang__)
    return _xgetbv(0);
#else
    uint32_t low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (uint64_t{high} << 32) | low;
#endif
}

// A feature counts only when the CPU has it and the OS saves the registers it uses: the
// YMM state for AVX2 and F16C, the opmask and ZMM state as well for AVX-512.
uint32_t detect_features() {
    const uint32_t max_leaf = cpuid(0, 0).eax;
    if (max_leaf < 1) return 0;
    const uint32_t leaf1_ecx = cpuid(1, 0).ecx;
    const bool has_xgetbv = (leaf1_ecx & (1u << 27)) != 0;  // OSXSAVE
    const bool has_avx = (leaf1_ecx & (1u << 28)) != 0;
    if (!has_xgetbv || !has_avx) return 0;
    const uint64_t saved = os_saved_state();
    constexpr uint64_t YMM_STATE = 0x06;  // SSE and AVX registers
    constexpr uint64_t ZMM_STATE = 0xE6;  // and opmask, upper ZMM0-15, ZMM16-31
    if ((saved & YMM_STATE) != YMM_STATE) return 0;
    uint32_t features = 0;
    if (leaf1_ecx & (1u << 29)) features |= FEATURE_F16C;
    if (max_leaf >= 7) {
        const CpuidRegisters leaf7 = cpuid(7, 0);
        const uint32_t leaf7_ebx = leaf7.ebx;
        if (leaf7_ebx & (1u << 5)) features |= FEATURE_AVX2;
        if ((saved & ZMM_STATE) == ZMM_STATE) {
            if (leaf7_ebx & (1u << 16)) features |= FEATURE_AVX512F;
            if (leaf7_ebx & (1u << 17)) features |= FEATURE_AVX512DQ;
            if (leaf7_ebx & (1u << 30)) features |= FEATURE_AVX512BW;
            if (leaf7_ebx & (1u << 31)) features |= FEATURE_AVX512VL;
            if (leaf7.ecx & (1u << 11)) features |= FEATURE_AVX512VNNI;
        }
    }
    return features;
}
#else
uint32_t detect_features() {
    return 0;
}
#endif

// Every path, each with the features it needs; the widest last.
#define VANTOR_VECTOR_PATH(table, features) &table,
constexpr const BlockStatsTable* TABLES[] = {
    &SCALAR_BLOCK_STATS,
#include "vector_paths.inc"
};
#undef VANTOR_VECTOR_PATH

#define VANTOR_VECTOR_PATH(table, features) features,
constexpr uint32_t REQUIRED[] = {
    0,
#include "vector_paths.inc"
};
#undef VANTOR_VECTOR_PATH

const uint32_t cpu_features = detect_features();

bool supported(std::size_t path) {
    return (REQUIRED[path] & cpu_features) == REQUIRED[path];
}

const BlockStatsTable* widest_supported() {
    const BlockStatsTable* widest = TABLES[0];
    for (std::size_t i = 0; i < std::size(TABLES); ++i) {
        if (supported(i)) widest = TABLES[i];
    }
    return widest;
}

// What the first use will choose: null for the widest path, a path a benchmark asked for,
// or &MADE once the choice is made.
const BlockStatsTable MADE{};
std::atomic<const BlockStatsTable*> requested{nullptr};

}  // namespace

std::atomic<const BlockStatsTable*> chosen_path{nullptr};

const BlockStatsTable& choose_block_stats() {
    // Threads meeting the choice at once wait here for the first; it runs exactly once.
    static const BlockStatsTable& chosen = []() -> const BlockStatsTable& {
        const BlockStatsTable* asked = requested.exchange(&MADE, std::memory_order_acq_rel);
        const BlockStatsTable& path = asked != nullptr ? *asked : *widest_supported();
        chosen_path.store(&path, std::memory_order_release);
        return path;
    }();
    return chosen;
}

bool use_block_stats(const BlockStatsTable& path) {
    const BlockStatsTable* seen = requested.load(std::memory_order_acquire);
    do {
        if (seen == &MADE) return false;
    } while (!requested.compare_exchange_weak(seen, &path, std::memory_order_acq_rel));
    return true;
}

#if defined(VANTOR_KERNEL_OVERRIDE)
std::atomic<const BlockStatsTable*> testing::forced_path{nullptr};
#endif

bool cpu_supports(const BlockStatsTable& table) {
    for (std::size_t i = 0; i < std::size(TABLES); ++i) {
        if (TABLES[i] == &table) return supported(i);
    }
    return false;
}

std::span<const BlockStatsTable* const> compiled_paths() {
    return TABLES;
}

}  // namespace vantor::kernels
