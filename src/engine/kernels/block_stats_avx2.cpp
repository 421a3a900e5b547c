// Block statistics with AVX2 and F16C. Compiled with those instructions enabled; only
// called after the CPU and the OS were found to support them.
//
// Without an unsigned conversion, the kernels work in groups: in a group whose largest
// y = max(x * 2^32, 1) is below 2^24, q converts with the signed conversion and sums in u32
// lanes; the rare group holding a larger element, and partial vectors, are summed in double
// lanes, exact below FAST_LIMIT.
#include <immintrin.h>

#include "block_stats.hpp"

namespace vantor::kernels {

namespace {

// q = max(1, trunc(x * 2^32)) on 4 double lanes; NaN and negatives give 1 because max
// returns its second operand when the first is NaN.
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

// Masks of the first n of 8 dword or 4 qword lanes.
inline __m256i first_lanes32(uint64_t n) {
    const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), index);
}
inline __m256i first_lanes64(uint64_t n) {
    const __m256i index = _mm256_setr_epi64x(0, 1, 2, 3);
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(n)), index);
}

// The first n (at most 8) of 16-bit elements, zeros after them: whole pairs through a
// masked load of dwords, which reads nothing past them, and an odd last element blended in.
inline __m128i load_up_to8_16bit(const uint16_t* p, uint64_t n) {
    const __m128i pairs = _mm_maskload_epi32(reinterpret_cast<const int*>(p),
                                             _mm256_castsi256_si128(first_lanes32(n / 2)));
    if (n % 2 == 0) return pairs;
    const __m128i last = _mm_cmpeq_epi16(_mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7),
                                         _mm_set1_epi16(static_cast<short>(n - 1)));
    return _mm_blendv_epi8(pairs, _mm_set1_epi16(static_cast<short>(p[n - 1])), last);
}

// Loaders widen 8 elements (or the first n of them, zeros after) to float lanes.
struct LoadFloat32 {
    using T = float;
    static __m256 load(const T* p) { return _mm256_loadu_ps(p); }
    static __m256 part(const T* p, uint64_t n) { return _mm256_maskload_ps(p, first_lanes32(n)); }
};
struct LoadFloat16 {
    using T = uint16_t;
    static __m256 widen(__m128i h) { return _mm256_cvtph_ps(h); }
    static __m256 load(const T* p) {
        return widen(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static __m256 part(const T* p, uint64_t n) { return widen(load_up_to8_16bit(p, n)); }
};
struct LoadBFloat16 {
    using T = uint16_t;
    static __m256 widen(__m128i h) {
        return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(h), 16));
    }
    static __m256 load(const T* p) {
        return widen(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static __m256 part(const T* p, uint64_t n) { return widen(load_up_to8_16bit(p, n)); }
};

// Elements before the first 32-byte boundary.
template <class T>
uint64_t head_length(const T* p, uint64_t count) {
    const auto misalignment = reinterpret_cast<uintptr_t>(p) % 32;
    const uint64_t head = misalignment == 0 ? 0 : (32 - misalignment) / sizeof(T);
    return head < count ? head : count;
}

// y = max(x * 2^32, 1) in float lanes: NaN and negatives become 1, because max returns its
// second operand when the first is NaN.
inline __m256 scaled8(__m256 x) {
    return _mm256_max_ps(_mm256_mul_ps(x, _mm256_set1_ps(4294967296.0f)), _mm256_set1_ps(1.0f));
}

// q = trunc(y) summed in double lanes: exact for any q below FAST_LIMIT over MAX_RUN
// elements.
struct DoubleSum {
    __m256d low = _mm256_setzero_pd(), high = _mm256_setzero_pd();

    void add(__m256 y) {
        const __m256 q = _mm256_round_ps(y, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        low = _mm256_add_pd(low, lower_half(q));
        high = _mm256_add_pd(high, upper_half(q));
    }
};

inline __m256i widen_add(__m256i acc, __m256i u32) {
    acc = _mm256_add_epi64(acc, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(u32)));
    return _mm256_add_epi64(acc, _mm256_cvtepu32_epi64(_mm256_extracti128_si256(u32, 1)));
}

// In a group of iterations whose largest y is below 2^24, every q converts exactly with
// the signed conversion and 256 of them sum in u32 lanes without overflow. The rare group
// holding a larger element is added again in double lanes.
constexpr uint64_t GROUP = 4;              // iterations of 16 elements
constexpr uint64_t GROUPS_PER_CHUNK = 64;  // GROUP * 64 = 256 additions per u32 lane

// One group: q of elements 0-7 of each iteration added to sum0, of 8-15 to sum1, exact only
// if the group is clean; returns the group's largest y.
template <class Load>
__m256 fast_group(const typename Load::T* p, __m256i& sum0, __m256i& sum1) {
    __m256 max0 = _mm256_setzero_ps(), max1 = max0;
    for (uint64_t k = 0; k < GROUP; ++k) {
        const __m256 a = scaled8(Load::load(p + 16 * k));
        const __m256 b = scaled8(Load::load(p + 16 * k + 8));
        sum0 = _mm256_add_epi32(sum0, _mm256_cvttps_epi32(a));
        sum1 = _mm256_add_epi32(sum1, _mm256_cvttps_epi32(b));
        max0 = _mm256_max_ps(max0, a);
        max1 = _mm256_max_ps(max1, b);
    }
    return _mm256_max_ps(max0, max1);
}

// bfloat16 stays in 16-bit lanes longer: 32 is added to the exponents (scaling by 2^32) and
// the patterns raised to at least 1.0 sixteen at a time; a shift or a mask then widens the
// even and the odd lanes to floats. A pattern above 1.0 can wrap in the addition; the
// group's largest raw pattern, which also gives its largest y, catches it. A positive NaN
// pattern lies above every number's and would give y = 1, hiding the numbers behind it: it
// counts as +infinity, which sends the group to the double lanes and the run to the rule.
template <>
__m256 fast_group<LoadBFloat16>(const uint16_t* p, __m256i& sum0, __m256i& sum1) {
    __m256i largest = _mm256_set1_epi16(INT16_MIN);
    for (uint64_t k = 0; k < GROUP; ++k) {
        const __m256i h = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16 * k));
        const __m256i y = _mm256_max_epi16(_mm256_add_epi16(h, _mm256_set1_epi16(32 << 7)),
                                           _mm256_set1_epi16(0x3F80));
        const __m256 even = _mm256_castsi256_ps(_mm256_slli_epi32(y, 16));
        const __m256 odd =
            _mm256_castsi256_ps(_mm256_and_si256(y, _mm256_set1_epi32(int(0xFFFF0000))));
        sum0 = _mm256_add_epi32(sum0, _mm256_cvttps_epi32(even));
        sum1 = _mm256_add_epi32(sum1, _mm256_cvttps_epi32(odd));
        largest = _mm256_max_epi16(largest, h);
    }
    largest = _mm256_min_epi16(largest, _mm256_set1_epi16(0x7F80));
    const __m256 even = _mm256_castsi256_ps(_mm256_slli_epi32(largest, 16));
    const __m256 odd =
        _mm256_castsi256_ps(_mm256_and_si256(largest, _mm256_set1_epi32(int(0xFFFF0000))));
    return _mm256_max_ps(scaled8(even), scaled8(odd));
}

template <class Load>
Totals narrow_stats(const typename Load::T* p, uint64_t count) {
    DoubleSum exact;
    __m256i wide = _mm256_setzero_si256();
    __m256 max = _mm256_setzero_ps();
    // Up to 8 elements through a zeroed buffer; lanes past them add nothing.
    const auto part = [&](uint64_t at, uint64_t n) {
        const __m256 y = keep_lanes(scaled8(Load::part(p + at, n)), n);
        exact.add(y);
        max = _mm256_max_ps(max, y);
    };
    const uint64_t head = head_length(p, count);
    for (uint64_t at = 0; at < head; at += 8)
        part(at, head - at < 8 ? head - at : 8);
    uint64_t i = head;
    while (i + 16 * GROUP <= count) {
        uint64_t groups = (count - i) / (16 * GROUP);
        groups = groups < GROUPS_PER_CHUNK ? groups : GROUPS_PER_CHUNK;
        __m256i low0 = _mm256_setzero_si256(), low1 = low0;
        for (uint64_t g = 0; g < groups; ++g, i += 16 * GROUP) {
            __m256i sum0 = _mm256_setzero_si256(), sum1 = sum0;
            const __m256 group = fast_group<Load>(p + i, sum0, sum1);
            if (_mm256_movemask_ps(_mm256_cmp_ps(group, _mm256_set1_ps(16777216.0f), _CMP_LT_OQ)) ==
                0xFF) {
                low0 = _mm256_add_epi32(low0, sum0);
                low1 = _mm256_add_epi32(low1, sum1);
            } else {
                for (uint64_t k = 0; k < 2 * GROUP; ++k)
                    exact.add(scaled8(Load::load(p + i + 8 * k)));
            }
            max = _mm256_max_ps(max, group);
        }
        wide = widen_add(widen_add(wide, low0), low1);
    }
    for (; i < count; i += 8)
        part(i, count - i < 8 ? count - i : 8);
    const __m256 max_pair = _mm256_max_ps(max, _mm256_permute2f128_ps(max, max, 1));
    const __m128 max4 = _mm256_castps256_ps128(max_pair);
    const __m128 max2 = _mm_max_ps(max4, _mm_movehl_ps(max4, max4));
    const float largest = _mm_cvtss_f32(_mm_max_ss(max2, _mm_shuffle_ps(max2, max2, 1)));
    if (!(largest < static_cast<float>(FAST_LIMIT))) return {0, FAST_LIMIT};
    uint64_t lanes[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), wide);
    const uint64_t sum = lanes[0] + lanes[1] + lanes[2] + lanes[3] +
                         static_cast<uint64_t>(add_lanes(_mm256_add_pd(exact.low, exact.high)));
    return {sum, static_cast<uint64_t>(largest)};  // truncates, as the rule does
}

Totals float64_stats(const double* p, uint64_t count) {
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
        const __m256i keep = first_lanes64(left);
        const __m256d a =
            _mm256_and_pd(quantise4(_mm256_maskload_pd(p + i, keep)), _mm256_castsi256_pd(keep));
        sum0 = _mm256_add_pd(sum0, a);
        max0 = _mm256_max_pd(max0, a);
    }
    return finish(add_lanes(_mm256_add_pd(sum0, sum1)), max_lanes(_mm256_max_pd(max0, max1)));
}

// ---- small vectors ----

// Every q of float32, float16 or bfloat16 elements, eight at a time in float lanes. y is
// an integer from 2^24 on, so below 2^32 the signed conversion gives q exactly, of y or, from
// 2^31 on, of y - 2^31 (exact there) with the top bit set again; a larger element leaves
// the vector to the rule. The array has room for whole vectors of eight.
template <class Load>
Totals small_narrow(const typename Load::T* p, uint64_t count, uint64_t* q) {
    const __m256 two_31 = _mm256_set1_ps(2147483648.0f);
    __m256i sum = _mm256_setzero_si256();
    __m256 max = _mm256_setzero_ps();
    for (uint64_t i = 0; i < count; i += 8) {
        const uint64_t left = count - i < 8 ? count - i : 8;
        const __m256 y = keep_lanes(scaled8(Load::part(p + i, left)), left);
        const __m256i below = _mm256_cvttps_epi32(y);
        const __m256i above = _mm256_xor_si256(_mm256_cvttps_epi32(_mm256_sub_ps(y, two_31)),
                                               _mm256_set1_epi32(INT32_MIN));
        // The conversion of y from 2^31 on gives INT32_MIN, whose sign picks `above`.
        const __m256i qi = _mm256_castps_si256(_mm256_blendv_ps(
            _mm256_castsi256_ps(below), _mm256_castsi256_ps(above), _mm256_castsi256_ps(below)));
        const __m256i low = _mm256_cvtepu32_epi64(_mm256_castsi256_si128(qi));
        const __m256i high = _mm256_cvtepu32_epi64(_mm256_extracti128_si256(qi, 1));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(q + i), low);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(q + i + 4), high);
        sum = _mm256_add_epi64(sum, _mm256_add_epi64(low, high));
        max = _mm256_max_ps(max, y);
    }
    const __m256 max_pair = _mm256_max_ps(max, _mm256_permute2f128_ps(max, max, 1));
    const __m128 max4 = _mm256_castps256_ps128(max_pair);
    const __m128 max2 = _mm_max_ps(max4, _mm_movehl_ps(max4, max4));
    const float largest = _mm_cvtss_f32(_mm_max_ss(max2, _mm_shuffle_ps(max2, max2, 1)));
    if (!(largest < 4294967296.0f)) return {0, FAST_LIMIT};
    uint64_t lanes[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), sum);
    return {lanes[0] + lanes[1] + lanes[2] + lanes[3], static_cast<uint64_t>(largest)};
}

// Every q of float64 elements, four at a time in double lanes: max(x * 2^32, 1)
// truncated, then the integer read off the bits of y + 2^52. Exact while y < 2^52; a larger
// element leaves the vector to the rule.
Totals small_float64(const double* p, uint64_t count, uint64_t* q) {
    const __m256d two_52 = _mm256_set1_pd(4503599627370496.0);
    uint64_t sum = 0, max = 0;
    for (uint64_t i = 0; i < count; i += 4) {
        const uint64_t left = count - i < 4 ? count - i : 4;
        const __m256d y = quantise4(_mm256_maskload_pd(p + i, first_lanes64(left)));
        if (_mm256_movemask_pd(_mm256_cmp_pd(y, two_52, _CMP_LT_OQ)) != 0xF) return {0, FAST_LIMIT};
        // (Whole vectors stored, as the other paths do: the share reads them as vectors.)
        uint64_t* qi = q + i;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(qi),
                            _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(y, two_52)),
                                             _mm256_castpd_si256(two_52)));
        for (uint64_t k = 0; k < left; ++k) {
            sum += qi[k];
            max = qi[k] > max ? qi[k] : max;
        }
    }
    return {sum, max};
}

// The sums for one symbol's share from the q the small path keeps, four at a time with
// masks for the lanes before the symbol: nothing branches on where it lies, which changes
// from row to row.
template <class T, Totals (*Small)(const T*, uint64_t, uint64_t*)>
SmallShare small_share(const T* elements, uint64_t count, uint64_t symbol) {
    alignas(32) uint64_t q[SMALL_COUNT];
    const Totals all = Small(elements, count, q);
    if (all.max >= FAST_LIMIT) return {all, 0, 0};
    const __m256i place = _mm256_set1_epi64x(static_cast<long long>(symbol));
    const __m256i top = _mm256_set1_epi64x(static_cast<long long>(all.max));
    __m256i index = _mm256_setr_epi64x(0, 1, 2, 3);
    __m256i before = _mm256_setzero_si256(), dominant = before;
    for (uint64_t i = 0; i < count; i += 4) {
        const __m256i qi = _mm256_load_si256(reinterpret_cast<const __m256i*>(q + i));
        const __m256i earlier = _mm256_cmpgt_epi64(place, index);
        before = _mm256_add_epi64(before, _mm256_and_si256(qi, earlier));
        dominant =
            _mm256_or_si256(dominant, _mm256_and_si256(_mm256_cmpeq_epi64(qi, top), earlier));
        index = _mm256_add_epi64(index, _mm256_set1_epi64x(4));
    }
    alignas(32) uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), before);
    const auto any = static_cast<uint64_t>(_mm256_testz_si256(dominant, dominant) == 0);
    return {all, lanes[0] + lanes[1] + lanes[2] + lanes[3], all.max & (0 - any)};
}

}  // namespace

extern const BlockStatsTable AVX2_BLOCK_STATS = {
    .name = "avx2",
    .float32 = {.block = narrow_stats<LoadFloat32>,
                .small = small_narrow<LoadFloat32>,
                .small_share = small_share<float, small_narrow<LoadFloat32>>},
    .float16 = {.block = narrow_stats<LoadFloat16>,
                .small = small_narrow<LoadFloat16>,
                .small_share = small_share<uint16_t, small_narrow<LoadFloat16>>},
    .bfloat16 = {.block = narrow_stats<LoadBFloat16>,
                 .small = small_narrow<LoadBFloat16>,
                 .small_share = small_share<uint16_t, small_narrow<LoadBFloat16>>},
    .float64 = {.block = float64_stats,
                .small = small_float64,
                .small_share = small_share<double, small_float64>},
    .small_share_from = 9,
};

}  // namespace vantor::kernels
