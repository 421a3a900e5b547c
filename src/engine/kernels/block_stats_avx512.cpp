// Block statistics with AVX-512 (F, BW, VL, DQ). Compiled with those instructions enabled;
// only called after the CPU was found to have them.
// GCC 12's AVX-512 headers trip -Wmaybe-uninitialized on their own undefined vectors.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include "block_stats.hpp"

namespace vantor::kernels {

namespace {

// Loaders widen 16 elements of a 32-bit-or-narrower kind to float lanes; masked forms
// read only the lanes of the tail.
struct LoadFloat32 {
    using T = float;
    static __m512 full(const T* p) { return _mm512_loadu_ps(p); }
    static __m512 part(const T* p, __mmask16 m) { return _mm512_maskz_loadu_ps(m, p); }
};
struct LoadFloat16 {
    using T = uint16_t;
    static __m512 full(const T* p) {
        return _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    }
    static __m512 part(const T* p, __mmask16 m) {
        return _mm512_cvtph_ps(_mm256_maskz_loadu_epi16(m, p));
    }
};
struct LoadBFloat16 {
    using T = uint16_t;
    static __m512 widen(__m256i h) {
        return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(h), 16));
    }
    static __m512 full(const T* p) {
        return widen(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    }
    static __m512 part(const T* p, __mmask16 m) { return widen(_mm256_maskz_loadu_epi16(m, p)); }
};

// The lanes of q that enter the sums: scaled and raised to at least 1 (NaN and negatives
// become 1 because max returns its second operand when the first is NaN), still in float.
inline __m512 scaled16(__m512 x) {
    return _mm512_max_ps(_mm512_mul_ps(x, _mm512_set1_ps(4294967296.0f)), _mm512_set1_ps(1.0f));
}

// Adds the truncated u32 lanes of y into two u64 accumulators (even and odd lanes). For y
// below 2^32 the conversion is the exact truncation; y = 2^32 converts to 2^32 - 1 and is
// corrected afterwards; anything larger makes the run inexact, which the max reveals.
inline void accumulate(__m512 y, __m512i& even, __m512i& odd) {
    const __m512i u = _mm512_cvttps_epu32(y);
    even = _mm512_add_epi64(even, _mm512_and_si512(u, _mm512_set1_epi64(0xFFFFFFFF)));
    odd = _mm512_add_epi64(odd, _mm512_srli_epi64(u, 32));
}

template <class Load>
Totals narrow_stats(const void* elements, uint64_t count) {
    const auto* p = static_cast<const typename Load::T*>(elements);
    __m512i even0 = _mm512_setzero_si512(), odd0 = _mm512_setzero_si512();
    __m512i even1 = _mm512_setzero_si512(), odd1 = _mm512_setzero_si512();
    __m512 max0 = _mm512_setzero_ps(), max1 = _mm512_setzero_ps();
    uint64_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m512 a = scaled16(Load::full(p + i));
        const __m512 b = scaled16(Load::full(p + i + 16));
        accumulate(a, even0, odd0);
        accumulate(b, even1, odd1);
        max0 = _mm512_max_ps(max0, a);
        max1 = _mm512_max_ps(max1, b);
    }
    for (; i < count; i += 16) {
        const uint64_t left = count - i;
        const __mmask16 m = left >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << left) - 1);
        const __m512 a = _mm512_maskz_mov_ps(m, scaled16(Load::part(p + i, m)));
        accumulate(a, even0, odd0);
        max0 = _mm512_max_ps(max0, a);
    }
    const float max = _mm512_reduce_max_ps(_mm512_max_ps(max0, max1));
    constexpr float TWO_32 = 4294967296.0f;
    if (!(max <= TWO_32)) return {0, FAST_LIMIT};
    uint64_t sum = static_cast<uint64_t>(_mm512_reduce_add_epi64(
        _mm512_add_epi64(_mm512_add_epi64(even0, odd0), _mm512_add_epi64(even1, odd1))));
    if (max == TWO_32) {
        // Elements of exactly 1.0 were counted one short.
        for (uint64_t j = 0; j < count; j += 16) {
            const uint64_t left = count - j;
            const __mmask16 m = left >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << left) - 1);
            const __m512 y = scaled16(Load::part(p + j, m));
            sum += static_cast<uint64_t>(__builtin_popcount(
                _mm512_mask_cmp_ps_mask(m, y, _mm512_set1_ps(TWO_32), _CMP_EQ_OQ)));
        }
    }
    // The largest lane is an integer-valued float; truncation keeps it exact.
    return {sum, static_cast<uint64_t>(max)};
}

// Doubles convert straight to u64 with truncation; every q below FAST_LIMIT is exact.
inline __m512d scaled8(__m512d x) {
    return _mm512_max_pd(_mm512_mul_pd(x, _mm512_set1_pd(4294967296.0)), _mm512_set1_pd(1.0));
}

Totals float64_stats(const void* elements, uint64_t count) {
    const auto* p = static_cast<const double*>(elements);
    __m512i sum0 = _mm512_setzero_si512(), sum1 = _mm512_setzero_si512();
    __m512d max0 = _mm512_setzero_pd(), max1 = _mm512_setzero_pd();
    uint64_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m512d a = scaled8(_mm512_loadu_pd(p + i));
        const __m512d b = scaled8(_mm512_loadu_pd(p + i + 8));
        sum0 = _mm512_add_epi64(sum0, _mm512_cvttpd_epu64(a));
        sum1 = _mm512_add_epi64(sum1, _mm512_cvttpd_epu64(b));
        max0 = _mm512_max_pd(max0, a);
        max1 = _mm512_max_pd(max1, b);
    }
    for (; i < count; i += 8) {
        const uint64_t left = count - i;
        const __mmask8 m = left >= 8 ? __mmask8(0xFF) : __mmask8((1u << left) - 1);
        const __m512d a = _mm512_maskz_mov_pd(m, scaled8(_mm512_maskz_loadu_pd(m, p + i)));
        sum0 = _mm512_add_epi64(sum0, _mm512_cvttpd_epu64(a));
        max0 = _mm512_max_pd(max0, a);
    }
    const double max = _mm512_reduce_max_pd(_mm512_max_pd(max0, max1));
    if (!(max < static_cast<double>(FAST_LIMIT))) return {0, FAST_LIMIT};
    return {static_cast<uint64_t>(_mm512_reduce_add_epi64(_mm512_add_epi64(sum0, sum1))),
            static_cast<uint64_t>(max)};
}

}  // namespace

extern const BlockStatsTable AVX512_BLOCK_STATS = {
    {narrow_stats<LoadFloat32>, narrow_stats<LoadFloat16>, narrow_stats<LoadBFloat16>,
     float64_stats},
    "avx512",
};

}  // namespace vantor::kernels
