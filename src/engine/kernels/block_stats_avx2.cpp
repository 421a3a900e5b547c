// Block statistics with AVX2 and F16C. Compiled with those instructions enabled; only
// called after the CPU was found to have them.
#include <immintrin.h>

#include <cstring>

#include "block_stats.hpp"

namespace vantor::kernels {

namespace {

// q = max(1, trunc(x * 2^32)) on 8 float lanes; NaN and negatives give 1 because max
// returns its second operand when the first is NaN.
inline __m256 quantise8(__m256 x) {
    const __m256 scaled = _mm256_mul_ps(x, _mm256_set1_ps(4294967296.0f));
    const __m256 whole = _mm256_round_ps(scaled, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    return _mm256_max_ps(whole, _mm256_set1_ps(1.0f));
}

inline __m256d quantise4(__m256d x) {
    const __m256d scaled = _mm256_mul_pd(x, _mm256_set1_pd(4294967296.0));
    const __m256d whole = _mm256_round_pd(scaled, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    return _mm256_max_pd(whole, _mm256_set1_pd(1.0));
}

inline __m256d lower_half(__m256 q) {
    return _mm256_cvtps_pd(_mm256_castps256_ps128(q));
}
inline __m256d upper_half(__m256 q) {
    return _mm256_cvtps_pd(_mm256_extractf128_ps(q, 1));
}

inline double add_lanes(__m256d v) {
    const __m128d pair = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair)));
}

inline double max_lanes(__m256d v) {
    const __m128d pair = _mm_max_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_max_sd(pair, _mm_unpackhi_pd(pair, pair)));
}

inline Totals finish(double sum, double max) {
    if (!(max < static_cast<double>(FAST_LIMIT))) return {0, FAST_LIMIT};
    return {static_cast<uint64_t>(sum), static_cast<uint64_t>(max)};
}

// Lanes at or past `valid` become 0, which adds nothing and never wins the max.
inline __m256 keep_lanes(__m256 q, uint64_t valid) {
    const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(valid)), index);
    return _mm256_and_ps(q, _mm256_castsi256_ps(mask));
}

struct LoadFloat32 {
    using T = float;
    static __m256 load(const T* p) { return _mm256_loadu_ps(p); }
};
struct LoadFloat16 {
    using T = uint16_t;
    static __m256 load(const T* p) {
        return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
};
struct LoadBFloat16 {
    using T = uint16_t;
    static __m256 load(const T* p) {
        const __m256i wide =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        return _mm256_castsi256_ps(_mm256_slli_epi32(wide, 16));
    }
};

template <class Load>
Totals narrow_stats(const void* elements, uint64_t count) {
    using T = typename Load::T;
    const auto* p = static_cast<const T*>(elements);
    __m256d sum0 = _mm256_setzero_pd(), sum1 = _mm256_setzero_pd();
    __m256d sum2 = _mm256_setzero_pd(), sum3 = _mm256_setzero_pd();
    __m256 max0 = _mm256_setzero_ps(), max1 = _mm256_setzero_ps();
    uint64_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256 a = quantise8(Load::load(p + i));
        const __m256 b = quantise8(Load::load(p + i + 8));
        sum0 = _mm256_add_pd(sum0, lower_half(a));
        sum1 = _mm256_add_pd(sum1, upper_half(a));
        sum2 = _mm256_add_pd(sum2, lower_half(b));
        sum3 = _mm256_add_pd(sum3, upper_half(b));
        max0 = _mm256_max_ps(max0, a);
        max1 = _mm256_max_ps(max1, b);
    }
    for (; i < count; i += 8) {
        const uint64_t left = count - i < 8 ? count - i : 8;
        T tail[8] = {};
        std::memcpy(tail, p + i, left * sizeof(T));
        const __m256 a = keep_lanes(quantise8(Load::load(tail)), left);
        sum0 = _mm256_add_pd(sum0, lower_half(a));
        sum1 = _mm256_add_pd(sum1, upper_half(a));
        max0 = _mm256_max_ps(max0, a);
    }
    const __m256 max = _mm256_max_ps(max0, max1);
    const __m256d wide_max = _mm256_max_pd(lower_half(max), upper_half(max));
    const __m256d sum = _mm256_add_pd(_mm256_add_pd(sum0, sum1), _mm256_add_pd(sum2, sum3));
    return finish(add_lanes(sum), max_lanes(wide_max));
}

Totals float64_stats(const void* elements, uint64_t count) {
    const auto* p = static_cast<const double*>(elements);
    __m256d sum0 = _mm256_setzero_pd(), sum1 = _mm256_setzero_pd();
    __m256d max0 = _mm256_setzero_pd(), max1 = _mm256_setzero_pd();
    uint64_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256d a = quantise4(_mm256_loadu_pd(p + i));
        const __m256d b = quantise4(_mm256_loadu_pd(p + i + 4));
        sum0 = _mm256_add_pd(sum0, a);
        sum1 = _mm256_add_pd(sum1, b);
        max0 = _mm256_max_pd(max0, a);
        max1 = _mm256_max_pd(max1, b);
    }
    for (; i < count; i += 4) {
        const uint64_t left = count - i < 4 ? count - i : 4;
        double tail[4] = {};
        std::memcpy(tail, p + i, left * sizeof(double));
        const __m256d lanes = _mm256_setr_pd(0, 1, 2, 3);
        const __m256d keep = _mm256_cmp_pd(lanes, _mm256_set1_pd(double(left)), _CMP_LT_OQ);
        const __m256d a = _mm256_and_pd(quantise4(_mm256_loadu_pd(tail)), keep);
        sum0 = _mm256_add_pd(sum0, a);
        max0 = _mm256_max_pd(max0, a);
    }
    return finish(add_lanes(_mm256_add_pd(sum0, sum1)), max_lanes(_mm256_max_pd(max0, max1)));
}

// ---- small vectors ----

// Every q, four elements at a time in double lanes: max(x * 2^32, 1) truncated, then the
// integer read off the bits of y + 2^52. Exact while y < 2^52; a larger element leaves the
// vector to the rule.
struct Small4Float32 {
    using T = float;
    static __m256d load(const T* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
};
struct Small4Float16 {
    using T = uint16_t;
    static __m256d load(const T* p) {
        return _mm256_cvtps_pd(_mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    }
};
struct Small4BFloat16 {
    using T = uint16_t;
    static __m256d load(const T* p) {
        const __m128i wide =
            _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
        return _mm256_cvtps_pd(_mm_castsi128_ps(_mm_slli_epi32(wide, 16)));
    }
};
struct Small4Float64 {
    using T = double;
    static __m256d load(const T* p) { return _mm256_loadu_pd(p); }
};

template <class Load>
Totals small(const void* elements, uint64_t count, uint64_t* q) {
    using T = typename Load::T;
    const auto* p = static_cast<const T*>(elements);
    const __m256d two_52 = _mm256_set1_pd(4503599627370496.0);
    uint64_t sum = 0, max = 0;
    for (uint64_t i = 0; i < count; i += 4) {
        const uint64_t left = count - i < 4 ? count - i : 4;
        T lanes[4] = {};
        std::memcpy(lanes, p + i, left * sizeof(T));
        const __m256d y = quantise4(Load::load(lanes));
        if (_mm256_movemask_pd(_mm256_cmp_pd(y, two_52, _CMP_LT_OQ)) != 0xF) return {0, FAST_LIMIT};
        uint64_t qi[4];
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(qi),
                            _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(y, two_52)),
                                             _mm256_castpd_si256(two_52)));
        for (uint64_t k = 0; k < left; ++k) {
            q[i + k] = qi[k];
            sum += qi[k];
            max = qi[k] > max ? qi[k] : max;
        }
    }
    return {sum, max};
}

}  // namespace

extern const BlockStatsTable AVX2_BLOCK_STATS = {
    {narrow_stats<LoadFloat32>, narrow_stats<LoadFloat16>, narrow_stats<LoadBFloat16>,
     float64_stats},
    {small<Small4Float32>, small<Small4Float16>, small<Small4BFloat16>, small<Small4Float64>},
    "avx2",
};

}  // namespace vantor::kernels
