// Block statistics with AVX-512 (F, BW, VL, DQ, VNNI). Compiled with those instructions
// enabled; only called after the CPU and the OS were found to support them.
//
// Each kernel is built to do as little as possible per element while staying exact, so
// that a step runs close to the speed of one read of the vector:
// - float32: q = trunc(max(x * 2^32, 1)) converts straight to u32 for x <= 1. The lanes sum
//   modulo 2^32, and a dot product of each q's top byte keeps the count of the overflows.
// - float16: every x in [0, 1] times 2^24 is an integer w of at most 11 significant bits,
//   w = P * 2^(e-1), computed in 16-bit lanes from the bits and summed by a dot product;
//   q = 256 w, or 1 for zeros and negatives, which are counted.
// - bfloat16: scaled and clamped in 16-bit lanes; widening to float is a shift or a mask.
// - float64: q converts straight to u64.
// The largest q is taken from the scaled values (or the raw bits) once per block. A block
// holding anything above 1.0, +NaN or +infinity is reported as not exact.
// GCC 12's AVX-512 headers trip -Wmaybe-uninitialized on their own undefined vectors.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <bit>
#include <cstring>

#include "block_stats.hpp"

namespace vantor::kernels {

namespace {

constexpr Totals NOT_EXACT = {0, FAST_LIMIT};

// Elements before the first 64-byte boundary, so that the main loops read whole lines.
template <class T>
uint64_t head_length(const T* p, uint64_t count) {
    const auto misalignment = reinterpret_cast<uintptr_t>(p) % 64;
    const uint64_t head = misalignment == 0 ? 0 : (64 - misalignment) / sizeof(T);
    return head < count ? head : count;
}

__mmask16 first16(uint64_t n) {
    return n >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << n) - 1);
}
__mmask32 first32(uint64_t n) {
    return n >= 32 ? __mmask32(0xFFFFFFFF) : __mmask32((1u << n) - 1);
}
__mmask8 first8(uint64_t n) {
    return n >= 8 ? __mmask8(0xFF) : __mmask8((1u << n) - 1);
}

// The u64 lanes added up, wrapping. (The compilers' reduction intrinsics add as signed
// numbers, which may overflow for sums that are meant to wrap.)
inline uint64_t add_lanes(__m512i v) {
    const __m256i four =
        _mm256_add_epi64(_mm512_castsi512_si256(v), _mm512_extracti64x4_epi64(v, 1));
    const __m128i two =
        _mm_add_epi64(_mm256_castsi256_si128(four), _mm256_extracti128_si256(four, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(two)) +
           static_cast<uint64_t>(_mm_extract_epi64(two, 1));
}

// ---- float32 ----

// The sum of u32 lanes over at most 256 additions, kept as two parts: `low` is the sum
// modulo 2^32, `top` the sum of the top bytes (a dot product with weight 1 on byte 3).
// The parts below 2^24 of 256 addends cannot overflow, so low - top * 2^24 (mod 2^32) is
// their exact sum, and the true sum is that plus top * 2^24.
struct Sum32 {
    __m512i low = _mm512_setzero_si512();
    __m512i top = _mm512_setzero_si512();

    void add(__m512i q) {
        low = _mm512_add_epi32(low, q);
        top = _mm512_dpbusd_epi32(top, q, _mm512_set1_epi32(0x01000000));
    }
    Sum32 operator+(const Sum32& other) const {
        return {_mm512_add_epi32(low, other.low), _mm512_add_epi32(top, other.top)};
    }
};
constexpr uint64_t SUM32_ADDITIONS = 256;

inline __m512i widen_add(__m512i acc, __m512i u32) {
    acc = _mm512_add_epi64(acc, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(u32)));
    return _mm512_add_epi64(acc, _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(u32, 1)));
}

// Sum32s settled into u64 lanes.
struct Wide {
    __m512i low = _mm512_setzero_si512();
    __m512i top = _mm512_setzero_si512();

    void add(const Sum32& s) {
        low = widen_add(low, _mm512_sub_epi32(s.low, _mm512_slli_epi32(s.top, 24)));
        top = widen_add(top, s.top);
    }
    uint64_t total() const { return add_lanes(_mm512_add_epi64(low, _mm512_slli_epi64(top, 24))); }
};

constexpr float TWO_32 = 4294967296.0f;

// max(x * 2^32, 1): NaN and negatives become 1, because max returns its second operand
// when the first is NaN.
inline __m512 scaled32(__m512 x) {
    return _mm512_max_ps(_mm512_mul_ps(x, _mm512_set1_ps(TWO_32)), _mm512_set1_ps(1.0f));
}

// One masked vector: lanes outside the mask add nothing; their y of 1 never exceeds a
// real element's.
inline void float32_part(const float* p, __mmask16 m, Sum32& sum, __m512& max) {
    const __m512 y = scaled32(_mm512_maskz_loadu_ps(m, p));
    sum.add(_mm512_maskz_cvttps_epu32(m, y));
    max = _mm512_max_ps(max, y);
}

// The main loops work on two accumulators at a time and settle them together, leaving
// room for the masked head and tail: each of them adds once to each accumulator.
constexpr uint64_t FLOAT32_ITERATIONS = SUM32_ADDITIONS / 2 - 2;

// The top bytes of q matter only from q = 2^24 on (x >= 2^-8). The main loop adds groups of
// iterations without them and checks each group's largest y: the rare group holding such
// an element is read again with its top bytes.
constexpr uint64_t FLOAT32_GROUP = 8;

Totals float32_stats(const float* p, uint64_t count) {
    if (count == 0) return {0, 0};
    Wide wide;
    Sum32 s0, s1;
    __m512 max0 = _mm512_setzero_ps(), max1 = _mm512_setzero_ps();
    uint64_t i = head_length(p, count);
    if (i != 0) float32_part(p, first16(i), s0, max0);
    for (;;) {
        const uint64_t stop =
            count - i < 32 * FLOAT32_ITERATIONS ? count : i + 32 * FLOAT32_ITERATIONS;
        while (i + 32 * FLOAT32_GROUP <= stop) {
            __m512i low0 = _mm512_setzero_si512(), low1 = low0;
            __m512 group0 = _mm512_setzero_ps(), group1 = group0;
            for (uint64_t k = 0; k < FLOAT32_GROUP; ++k) {
                const __m512 a = scaled32(_mm512_loadu_ps(p + i + 32 * k));
                const __m512 b = scaled32(_mm512_loadu_ps(p + i + 32 * k + 16));
                low0 = _mm512_add_epi32(low0, _mm512_cvttps_epu32(a));
                low1 = _mm512_add_epi32(low1, _mm512_cvttps_epu32(b));
                group0 = _mm512_max_ps(group0, a);
                group1 = _mm512_max_ps(group1, b);
            }
            const __m512 group = _mm512_max_ps(group0, group1);
            if (_mm512_cmp_ps_mask(group, _mm512_set1_ps(16777216.0f), _CMP_GE_OQ) == 0) {
                s0.low = _mm512_add_epi32(s0.low, low0);
                s1.low = _mm512_add_epi32(s1.low, low1);
            } else {
                for (uint64_t k = 0; k < FLOAT32_GROUP; ++k) {
                    s0.add(_mm512_cvttps_epu32(scaled32(_mm512_loadu_ps(p + i + 32 * k))));
                    s1.add(_mm512_cvttps_epu32(scaled32(_mm512_loadu_ps(p + i + 32 * k + 16))));
                }
            }
            max0 = _mm512_max_ps(max0, group);
            i += 32 * FLOAT32_GROUP;
        }
        for (; i + 32 <= stop; i += 32) {
            const __m512 a = scaled32(_mm512_loadu_ps(p + i));
            const __m512 b = scaled32(_mm512_loadu_ps(p + i + 16));
            s0.add(_mm512_cvttps_epu32(a));
            s1.add(_mm512_cvttps_epu32(b));
            max0 = _mm512_max_ps(max0, a);
            max1 = _mm512_max_ps(max1, b);
        }
        if (i + 32 > count) break;
        wide.add(s0 + s1);
        s0 = s1 = Sum32{};
    }
    if (i < count) float32_part(p + i, first16(count - i), s0, max0);
    if (i + 16 < count) float32_part(p + i + 16, first16(count - i - 16), s1, max1);
    wide.add(s0 + s1);
    const float max = _mm512_reduce_max_ps(_mm512_max_ps(max0, max1));
    if (max > TWO_32) return NOT_EXACT;  // above 1.0 or +infinity
    uint64_t sum = wide.total();
    if (max == TWO_32) {
        // Elements of exactly 1.0 converted to 2^32 - 1, one short.
        for (uint64_t j = 0; j < count; j += 16) {
            const __mmask16 m = first16(count - j);
            const __m512 y = scaled32(_mm512_maskz_loadu_ps(m, p + j));
            sum += static_cast<uint64_t>(
                std::popcount(_mm512_mask_cmp_ps_mask(m, y, _mm512_set1_ps(TWO_32), _CMP_EQ_OQ)));
        }
    }
    return {sum, static_cast<uint64_t>(max)};
}

// ---- float16 and bfloat16 ----

// The largest of the 16-bit lanes as signed numbers: for float16 and bfloat16 patterns the
// largest value, negatives below every positive one.
inline int16_t max_pattern(__m512i max16) {
    const __m512i even = _mm512_srai_epi32(_mm512_slli_epi32(max16, 16), 16);
    const __m512i odd = _mm512_srai_epi32(max16, 16);
    return static_cast<int16_t>(_mm512_reduce_max_epi32(_mm512_max_epi32(even, odd)));
}

// q of one binary16 pattern up to 1.0 (or a negative one, which gives 1).
uint64_t float16_q(int16_t bits) {
    if (bits <= 0) return 1;
    const auto h = static_cast<uint32_t>(bits);
    const uint32_t exponent = h >> 10, fraction = h & 0x3FF;
    const uint64_t w = exponent == 0 ? fraction : uint64_t{1024 + fraction} << (exponent - 1);
    return w == 0 ? 1 : w << 8;
}

// For x in [0, 1.0], w = x * 2^24 = P * Q with P the fraction with its implicit bit
// (min(c, (c & 0x3FF) | 0x400) takes it only for normal numbers) and Q = 2^(e-1), or 1 for
// subnormals, looked up by exponent. A dot product adds the w of lane pairs into dwords.
struct Float16Sum {
    __m512i w = _mm512_setzero_si512();      // dwords: w of two lanes per addition, < 2^25
    __m512i zeros = _mm512_setzero_si512();  // words: lanes that were zero or negative

    void add(__m512i h, __mmask32 m) {
        alignas(64) static const int16_t POWERS[32] = {
            1, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384};
        const __m512i c = _mm512_max_epi16(h, _mm512_setzero_si512());  // negatives -> +0
        const __m512i q =
            _mm512_permutexvar_epi16(_mm512_srli_epi16(c, 10), _mm512_load_si512(POWERS));
        const __m512i implicit =
            _mm512_ternarylogic_epi32(c, _mm512_set1_epi16(0x3FF), _mm512_set1_epi16(0x400), 0xEA);
        w = _mm512_dpwssd_epi32(w, _mm512_min_epu16(c, implicit), q);
        const __mmask32 zero = _mm512_mask_testn_epi16_mask(m, c, c);
        zeros = _mm512_mask_sub_epi16(zeros, zero, zeros, _mm512_set1_epi16(-1));
    }
    Float16Sum operator+(const Float16Sum& other) const {
        return {_mm512_add_epi32(w, other.w), _mm512_add_epi16(zeros, other.zeros)};
    }
};
// Each addition puts less than 2^25 into a dword, so 127 of them stay below 2^32; the
// word counts stay below 256.
constexpr uint64_t FLOAT16_ITERATIONS = 127 / 2 - 2;

Totals float16_stats(const uint16_t* p, uint64_t count) {
    if (count == 0) return {0, 0};
    __m512i w = _mm512_setzero_si512(), zeros = _mm512_setzero_si512();
    __m512i max0 = _mm512_set1_epi16(INT16_MIN), max1 = max0;
    Float16Sum s0, s1;
    const auto settle = [&] {
        const Float16Sum s = s0 + s1;
        w = widen_add(w, s.w);
        // Word counts below 256: summing their bytes sums them.
        zeros = _mm512_add_epi64(zeros, _mm512_sad_epu8(s.zeros, _mm512_setzero_si512()));
        s0 = s1 = Float16Sum{};
    };
    const auto part = [&](uint64_t at, __mmask32 m, Float16Sum& s, __m512i& max) {
        const __m512i h = _mm512_maskz_loadu_epi16(m, p + at);
        s.add(h, m);
        max = _mm512_mask_max_epi16(max, m, max, h);
    };
    uint64_t i = head_length(p, count);
    if (i != 0) part(0, first32(i), s0, max0);
    for (;;) {
        const uint64_t stop =
            count - i < 64 * FLOAT16_ITERATIONS ? count : i + 64 * FLOAT16_ITERATIONS;
        for (; i + 64 <= stop; i += 64) {
            const __m512i a = _mm512_loadu_si512(p + i);
            const __m512i b = _mm512_loadu_si512(p + i + 32);
            s0.add(a, __mmask32(0xFFFFFFFF));
            s1.add(b, __mmask32(0xFFFFFFFF));
            max0 = _mm512_max_epi16(max0, a);
            max1 = _mm512_max_epi16(max1, b);
        }
        if (i + 64 > count) break;
        settle();
    }
    if (i < count) part(i, first32(count - i), s0, max0);
    if (i + 32 < count) part(i + 32, first32(count - i - 32), s1, max1);
    settle();
    const int16_t max_bits = max_pattern(_mm512_max_epi16(max0, max1));
    if (max_bits > 0x3C00) return NOT_EXACT;  // above 1.0, +infinity or +NaN
    const uint64_t sum = (add_lanes(w) << 8) + add_lanes(zeros);
    return {sum, float16_q(max_bits)};
}

uint64_t bfloat16_q(int16_t bits) {
    if (bits <= 0) return 1;
    const uint32_t wide = static_cast<uint32_t>(bits) << 16;
    float x;
    std::memcpy(&x, &wide, sizeof x);
    const float y = x * TWO_32;
    return y < 1.0f ? 1 : static_cast<uint64_t>(y);
}

// Scales by 2^32 (32 added to the exponent) and raises to at least 1.0, in 16-bit lanes,
// then widens the even and odd lanes to floats and converts: q of the even and the odd
// lanes. Lanes outside the mask give 0. A pattern above 1.0 can wrap here; the caller's
// maximum catches it.
struct BFloat16Q {
    __m512i even, odd;

    BFloat16Q(__m512i h, __mmask32 m) {
        const __m512i y = _mm512_maskz_max_epi16(m, _mm512_add_epi16(h, _mm512_set1_epi16(32 << 7)),
                                                 _mm512_set1_epi16(0x3F80));
        even = _mm512_cvttps_epu32(_mm512_castsi512_ps(_mm512_slli_epi32(y, 16)));
        odd = _mm512_cvttps_epu32(
            _mm512_castsi512_ps(_mm512_and_si512(y, _mm512_set1_epi32(int(0xFFFF0000)))));
    }
};

// Two additions to the sum.
inline void bfloat16_part(__m512i h, __mmask32 m, Sum32& sum) {
    const BFloat16Q q(h, m);
    sum.add(q.even);
    sum.add(q.odd);
}

constexpr uint64_t BFLOAT16_ITERATIONS = SUM32_ADDITIONS / 4 - 2;

// The top bytes of q matter only from q = 2^24 on, that is x >= 2^-8 (pattern 0x3B80).
// The main loop adds groups of iterations without them and checks each group's largest
// pattern: the rare group that holds such an element is read again with its top bytes.
constexpr uint64_t BFLOAT16_GROUP = 4;

Totals bfloat16_stats(const uint16_t* p, uint64_t count) {
    if (count == 0) return {0, 0};
    Wide wide;
    Sum32 s0, s1;
    __m512i max0 = _mm512_set1_epi16(INT16_MIN), max1 = max0;
    const auto part = [&](uint64_t at, __mmask32 m, Sum32& s, __m512i& max) {
        const __m512i h = _mm512_maskz_loadu_epi16(m, p + at);
        bfloat16_part(h, m, s);
        max = _mm512_mask_max_epi16(max, m, max, h);
    };
    uint64_t i = head_length(p, count);
    if (i != 0) part(0, first32(i), s0, max0);
    for (;;) {
        const uint64_t stop =
            count - i < 64 * BFLOAT16_ITERATIONS ? count : i + 64 * BFLOAT16_ITERATIONS;
        while (i + 64 * BFLOAT16_GROUP <= stop) {
            __m512i low0 = _mm512_setzero_si512(), low1 = low0;
            __m512i group0 = _mm512_set1_epi16(INT16_MIN), group1 = group0;
            for (uint64_t k = 0; k < BFLOAT16_GROUP; ++k) {
                const __m512i a = _mm512_loadu_si512(p + i + 64 * k);
                const __m512i b = _mm512_loadu_si512(p + i + 64 * k + 32);
                const BFloat16Q qa(a, __mmask32(0xFFFFFFFF)), qb(b, __mmask32(0xFFFFFFFF));
                low0 = _mm512_add_epi32(low0, _mm512_add_epi32(qa.even, qa.odd));
                low1 = _mm512_add_epi32(low1, _mm512_add_epi32(qb.even, qb.odd));
                group0 = _mm512_max_epi16(group0, a);
                group1 = _mm512_max_epi16(group1, b);
            }
            const __m512i group = _mm512_max_epi16(group0, group1);
            if (_mm512_cmpge_epi16_mask(group, _mm512_set1_epi16(0x3B80)) == 0) {
                s0.low = _mm512_add_epi32(s0.low, low0);
                s1.low = _mm512_add_epi32(s1.low, low1);
            } else {
                for (uint64_t k = 0; k < BFLOAT16_GROUP; ++k) {
                    bfloat16_part(_mm512_loadu_si512(p + i + 64 * k), __mmask32(0xFFFFFFFF), s0);
                    bfloat16_part(_mm512_loadu_si512(p + i + 64 * k + 32), __mmask32(0xFFFFFFFF),
                                  s1);
                }
            }
            max0 = _mm512_max_epi16(max0, group);
            i += 64 * BFLOAT16_GROUP;
        }
        for (; i + 64 <= stop; i += 64) {
            const __m512i a = _mm512_loadu_si512(p + i);
            const __m512i b = _mm512_loadu_si512(p + i + 32);
            bfloat16_part(a, __mmask32(0xFFFFFFFF), s0);
            bfloat16_part(b, __mmask32(0xFFFFFFFF), s1);
            max0 = _mm512_max_epi16(max0, a);
            max1 = _mm512_max_epi16(max1, b);
        }
        if (i + 64 > count) break;
        wide.add(s0 + s1);
        s0 = s1 = Sum32{};
    }
    if (i < count) part(i, first32(count - i), s0, max0);
    if (i + 32 < count) part(i + 32, first32(count - i - 32), s1, max1);
    wide.add(s0 + s1);
    const int16_t max_bits = max_pattern(_mm512_max_epi16(max0, max1));
    if (max_bits > 0x3F80) return NOT_EXACT;  // above 1.0, +infinity or +NaN
    uint64_t sum = wide.total();
    if (max_bits == 0x3F80) {
        // Elements of exactly 1.0 converted to 2^32 - 1, one short.
        for (uint64_t j = 0; j < count; j += 32) {
            const __mmask32 m = first32(count - j);
            const __m512i h = _mm512_maskz_loadu_epi16(m, p + j);
            sum += static_cast<uint64_t>(
                std::popcount(_mm512_mask_cmpeq_epi16_mask(m, h, _mm512_set1_epi16(0x3F80))));
        }
    }
    return {sum, bfloat16_q(max_bits)};
}

// ---- float64 ----

// Doubles convert straight to u64 with truncation; every q below FAST_LIMIT is exact.
inline __m512d scaled64(__m512d x) {
    return _mm512_max_pd(_mm512_mul_pd(x, _mm512_set1_pd(4294967296.0)), _mm512_set1_pd(1.0));
}

Totals float64_stats(const double* p, uint64_t count) {
    if (count == 0) return {0, 0};
    __m512i sum0 = _mm512_setzero_si512(), sum1 = sum0;
    __m512d max0 = _mm512_setzero_pd(), max1 = max0;
    const auto part = [&](uint64_t at, __mmask8 m) {
        const __m512d y = scaled64(_mm512_maskz_loadu_pd(m, p + at));
        sum0 = _mm512_add_epi64(sum0, _mm512_maskz_cvttpd_epu64(m, y));
        max0 = _mm512_max_pd(max0, y);
    };
    uint64_t i = head_length(p, count);
    if (i != 0) part(0, first8(i));
    for (; i + 16 <= count; i += 16) {
        const __m512d a = scaled64(_mm512_loadu_pd(p + i));
        const __m512d b = scaled64(_mm512_loadu_pd(p + i + 8));
        sum0 = _mm512_add_epi64(sum0, _mm512_cvttpd_epu64(a));
        sum1 = _mm512_add_epi64(sum1, _mm512_cvttpd_epu64(b));
        max0 = _mm512_max_pd(max0, a);
        max1 = _mm512_max_pd(max1, b);
    }
    for (; i < count; i += 8)
        part(i, first8(count - i));
    const double max = _mm512_reduce_max_pd(_mm512_max_pd(max0, max1));
    if (!(max < static_cast<double>(FAST_LIMIT))) return NOT_EXACT;
    return {add_lanes(_mm512_add_epi64(sum0, sum1)), static_cast<uint64_t>(max)};
}

// ---- small vectors ----

// Loaders of up to eight masked elements widened to floats.
struct SmallFloat32 {
    using T = float;
    static __m256 load(const T* p, __mmask8 m) { return _mm256_maskz_loadu_ps(m, p); }
};
struct SmallFloat16 {
    using T = uint16_t;
    static __m256 load(const T* p, __mmask8 m) {
        return _mm256_cvtph_ps(_mm_maskz_loadu_epi16(m, p));
    }
};
struct SmallBFloat16 {
    using T = uint16_t;
    static __m256 load(const T* p, __mmask8 m) {
        return _mm256_castsi256_ps(
            _mm256_slli_epi32(_mm256_cvtepu16_epi32(_mm_maskz_loadu_epi16(m, p)), 16));
    }
};

// q of up to eight masked elements as u64 lanes, zeros past the mask: the conversion to u64
// is the rule's own truncation, saturation included (out of range converts to 2^64 - 1), so
// every input is exact.
template <class Load>
struct NarrowQ {
    using T = typename Load::T;
    static __m512i q(const T* p, __mmask8 m) {
        const __m256 y = _mm256_max_ps(_mm256_mul_ps(Load::load(p, m), _mm256_set1_ps(TWO_32)),
                                       _mm256_set1_ps(1.0f));
        return _mm512_maskz_cvttps_epu64(m, y);
    }
};
struct Float64Q {
    using T = double;
    static __m512i q(const T* p, __mmask8 m) {
        return _mm512_maskz_cvttpd_epu64(m, scaled64(_mm512_maskz_loadu_pd(m, p)));
    }
};

// Every q, eight elements at a time. Whole vectors are stored (q has room for them): the
// caller reads q back one by one at once, and a masked store would keep those loads waiting
// until it reached the cache.
template <class Q>
Totals small_by_eights(const typename Q::T* p, uint64_t count, uint64_t* q) {
    __m512i sum = _mm512_setzero_si512(), max = _mm512_setzero_si512();
    for (uint64_t i = 0; i < count; i += 8) {
        const __m512i qi = Q::q(p + i, first8(count - i));
        _mm512_storeu_si512(q + i, qi);
        sum = _mm512_add_epi64(sum, qi);
        max = _mm512_max_epu64(max, qi);
    }
    return {add_lanes(sum), _mm512_reduce_max_epu64(max)};
}

// float32 sixteen at a time: one masked load, two conversions of eight.
Totals small_float32(const float* p, uint64_t count, uint64_t* q) {
    __m512i sum = _mm512_setzero_si512(), max = _mm512_setzero_si512();
    for (uint64_t i = 0; i < count; i += 16) {
        const __mmask16 m = first16(count - i);
        const __m512 y = scaled32(_mm512_maskz_loadu_ps(m, p + i));
        const __m512i low = _mm512_maskz_cvttps_epu64(__mmask8(m), _mm512_castps512_ps256(y));
        const __m512i high = _mm512_maskz_cvttps_epu64(
            __mmask8(m >> 8),
            _mm256_castsi256_ps(_mm512_extracti64x4_epi64(_mm512_castps_si512(y), 1)));
        _mm512_storeu_si512(q + i, low);
        _mm512_storeu_si512(q + i + 8, high);
        sum = _mm512_add_epi64(sum, _mm512_add_epi64(low, high));
        max = _mm512_max_epu64(max, _mm512_max_epu64(low, high));
    }
    return {add_lanes(sum), _mm512_reduce_max_epu64(max)};
}

// ---- the share of one symbol of a small vector ----

// Every sum in registers, over whole vectors, with the lanes before the symbol picked by
// masks made with shifts: nothing branches on where the symbol lies, which changes from row
// to row, and no q is read back from memory. V vectors of eight, unrolled.
template <class Q, uint64_t V>
SmallShare small_share_of(const typename Q::T* p, uint64_t count, uint64_t symbol) {
    const uint64_t present = (uint64_t{1} << count) - 1;  // count <= 32
    const uint64_t earlier = (uint64_t{1} << symbol) - 1;
    const auto lanes = [](uint64_t bits, uint64_t v) { return __mmask8(bits >> (8 * v)); };
    __m512i q[V];
    __m512i sum = _mm512_setzero_si512(), max = sum, before = sum;
    for (uint64_t v = 0; v < V; ++v) {
        q[v] = Q::q(p + 8 * v, lanes(present, v));
        sum = _mm512_add_epi64(sum, q[v]);
        max = _mm512_max_epu64(max, q[v]);
        before = _mm512_mask_add_epi64(before, lanes(earlier, v), before, q[v]);
    }
    const uint64_t largest = _mm512_reduce_max_epu64(max);
    const __m512i top = _mm512_set1_epi64(static_cast<long long>(largest));
    __mmask8 dominant = 0;
    for (uint64_t v = 0; v < V; ++v)
        dominant |= _mm512_mask_cmpeq_epu64_mask(lanes(earlier, v), q[v], top);
    const uint64_t before_max = largest & (uint64_t{0} - static_cast<uint64_t>(dominant != 0));
    return {{add_lanes(sum), largest}, add_lanes(before), before_max};
}

template <class Q>
SmallShare small_share(const typename Q::T* p, uint64_t count, uint64_t symbol) {
    static_assert(SMALL_COUNT == 32);
    switch ((count + 7) / 8) {
        case 1:
            return small_share_of<Q, 1>(p, count, symbol);
        case 2:
            return small_share_of<Q, 2>(p, count, symbol);
        case 3:
            return small_share_of<Q, 3>(p, count, symbol);
        default:
            return small_share_of<Q, 4>(p, count, symbol);
    }
}

}  // namespace

extern const BlockStatsTable AVX512_BLOCK_STATS = {
    .name = "avx512",
    .float32 = {.block = float32_stats,
                .small = small_float32,
                .small_share = small_share<NarrowQ<SmallFloat32>>},
    .float16 = {.block = float16_stats,
                .small = small_by_eights<NarrowQ<SmallFloat16>>,
                .small_share = small_share<NarrowQ<SmallFloat16>>},
    .bfloat16 = {.block = bfloat16_stats,
                 .small = small_by_eights<NarrowQ<SmallBFloat16>>,
                 .small_share = small_share<NarrowQ<SmallBFloat16>>},
    .float64 = {.block = float64_stats,
                .small = small_by_eights<Float64Q>,
                .small_share = small_share<Float64Q>},
    .small_share_from = 3,
};

}  // namespace vantor::kernels
