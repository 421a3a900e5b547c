// Block statistics with NEON (Advanced SIMD), which every aarch64 CPU has: chosen on
// aarch64 without a run-time check.
//
// The unsigned conversion to fixed point with 32 fraction bits computes the rule's
// trunc(x * 2^32) in one instruction, exactly, saturating, and with 0 for NaN and
// negatives; what remains per element is raising 0 to 1, the sum and the maximum:
// - float32: q converts to u32 lanes, which saturate at 2^32 - 1 from x = 1.0 on; the lanes
//   add pairwise into u64 lanes and the largest q is kept.
// - float16: widened to float32 (exact, subnormals and NaN included), then as float32; the
//   largest raw pattern, as a signed 16-bit number, gives the largest q.
// - bfloat16: raised to at least 2^-32 in 16-bit lanes (q = 1 below it), then shifted into
//   float32 bits; the largest raised pattern gives the largest q.
// - float64: q converts to u64 lanes, which narrow with saturation into u32 lanes (2^32 - 1
//   from x = 1.0 on), then as float32.
// A block holding anything above 1.0, +infinity or (for float16 and bfloat16) +NaN is
// reported as not exact. Elements of exactly 1.0 come out one short in u32 lanes and are
// counted in a second pass, only for blocks that hold one. The main loops step a pointer, so
// that their own cost is a compare and a branch; the few elements past the last whole
// vector are quantised by the rule.
#include <arm_neon.h>

#include "block_stats.hpp"
#include "scalar.hpp"

namespace vantor::kernels {

namespace {

constexpr Totals NOT_EXACT = {0, FAST_LIMIT};

template <ElementKind K>
Totals rule_tail(const void* elements, uint64_t from, uint64_t count) {
    const auto* p = static_cast<const Storage<K>*>(elements);
    return scalar_totals<K>(p + from, count - from);
}

inline Totals combine(Totals a, Totals b) {
    return {a.sum + b.sum, a.max > b.max ? a.max : b.max};
}

// ---- float32, float16 and bfloat16: q in u32 lanes ----

// q of four float32 lanes, saturating at 2^32 - 1 (x >= 1.0).
inline uint32x4_t quantise4(float32x4_t x) {
    return vmaxq_u32(vcvtq_n_u32_f32(x, 32), vdupq_n_u32(1));
}

// q of four float32 lanes already raised to at least 2^-32, so that q >= 1.
inline uint32x4_t quantise4_raised(float32x4_t y) {
    return vcvtq_n_u32_f32(y, 32);
}

// The u32 q of a block added pairwise into u64 lanes, exact for any count.
struct Sum32 {
    uint64x2_t sum = vdupq_n_u64(0);

    void add(uint32x4_t q) { sum = vpadalq_u32(sum, q); }
    void add(const Sum32& other) { sum = vaddq_u64(sum, other.sum); }
    uint64_t total() const { return vaddvq_u64(sum); }
};

// Elements of a block equal to 1.0, and whether any exceeds it. NaN does neither.
inline uint64_t count_float32_ones(const float* p, uint64_t count, bool& above) {
    const float32x4_t one = vdupq_n_f32(1.0f);
    uint32x4_t ones = vdupq_n_u32(0), over = vdupq_n_u32(0);
    for (uint64_t i = 0; i < count; i += 4) {
        const float32x4_t x = vld1q_f32(p + i);
        ones = vsubq_u32(ones, vceqq_f32(x, one));
        over = vorrq_u32(over, vcgtq_f32(x, one));
    }
    above = vmaxvq_u32(over) != 0;
    return vaddlvq_u32(ones);
}

Totals float32_stats(const float* elements, uint64_t count) {
    const auto* p = static_cast<const float*>(elements);
    Sum32 s0, s1, s2, s3;
    uint32x4_t max = vdupq_n_u32(0);
    uint64_t i = count - count % 16;
    for (const float* at = p; at != p + i; at += 16) {
        const float32x4x4_t x = vld1q_f32_x4(at);
        const uint32x4_t a = quantise4(x.val[0]), b = quantise4(x.val[1]);
        const uint32x4_t c = quantise4(x.val[2]), d = quantise4(x.val[3]);
        s0.add(a);
        s1.add(b);
        s2.add(c);
        s3.add(d);
        max = vmaxq_u32(max, vmaxq_u32(vmaxq_u32(a, b), vmaxq_u32(c, d)));
    }
    for (; i + 4 <= count; i += 4) {
        const uint32x4_t a = quantise4(vld1q_f32(p + i));
        s0.add(a);
        max = vmaxq_u32(max, a);
    }
    s0.add(s1);
    s2.add(s3);
    s0.add(s2);
    const uint32_t largest = vmaxvq_u32(max);
    Totals totals{s0.total(), largest};
    if (largest == UINT32_MAX) {
        // Some element is 1.0 or more: 1.0 converted to 2^32 - 1, one short.
        bool above = false;
        totals.sum += count_float32_ones(p, i, above);
        if (above) return NOT_EXACT;
        totals.max = uint64_t{1} << 32;
    }
    return combine(totals, rule_tail<ElementKind::Float32>(elements, i, count));
}

// Elements of a block of 16-bit patterns equal to `one`.
inline uint64_t count_patterns(const uint16_t* p, uint64_t count, uint16_t one) {
    const uint16x8_t pattern = vdupq_n_u16(one);
    uint32x4_t ones = vdupq_n_u32(0);
    for (uint64_t i = 0; i < count; i += 8) {
        ones = vpadalq_u16(ones, vshrq_n_u16(vceqq_u16(vld1q_u16(p + i), pattern), 15));
    }
    return vaddlvq_u32(ones);
}

// The largest q of 16-bit elements from their largest pattern as a signed number (every
// negative pattern below every positive one); patterns above `one` (1.0) are not exact, and
// elements of exactly 1.0 were summed one short.
template <ElementKind K>
Totals finish16(const uint16_t* p, uint64_t vectored, uint64_t sum, int16x8_t max16, uint16_t one) {
    const auto largest = static_cast<uint16_t>(vmaxvq_s16(max16));
    if (static_cast<int16_t>(largest) > static_cast<int16_t>(one)) return NOT_EXACT;
    if (largest == one) sum += count_patterns(p, vectored, one);
    return {sum, quantise(Element<K>::widen(largest))};
}

// Widens the low and high halves of eight float16 lanes to float32, exactly.
inline float32x4_t float16_low(uint16x8_t h) {
    return vcvt_f32_f16(vreinterpret_f16_u16(vget_low_u16(h)));
}
inline float32x4_t float16_high(uint16x8_t h) {
    return vcvt_high_f32_f16(vreinterpretq_f16_u16(h));
}

constexpr uint16_t FLOAT16_ONE = 0x3C00;

Totals float16_stats(const uint16_t* elements, uint64_t count) {
    const auto* p = static_cast<const uint16_t*>(elements);
    if (count == 0) return {0, 0};
    Sum32 s0, s1, s2, s3;
    int16x8_t max = vdupq_n_s16(INT16_MIN);
    uint64_t i = count - count % 16;
    for (const uint16_t* at = p; at != p + i; at += 16) {
        const uint16x8x2_t h = vld1q_u16_x2(at);
        s0.add(quantise4(float16_low(h.val[0])));
        s1.add(quantise4(float16_high(h.val[0])));
        s2.add(quantise4(float16_low(h.val[1])));
        s3.add(quantise4(float16_high(h.val[1])));
        max = vmaxq_s16(
            max, vmaxq_s16(vreinterpretq_s16_u16(h.val[0]), vreinterpretq_s16_u16(h.val[1])));
    }
    for (; i + 8 <= count; i += 8) {
        const uint16x8_t h = vld1q_u16(p + i);
        s0.add(quantise4(float16_low(h)));
        s1.add(quantise4(float16_high(h)));
        max = vmaxq_s16(max, vreinterpretq_s16_u16(h));
    }
    s0.add(s1);
    s2.add(s3);
    s0.add(s2);
    const Totals totals = finish16<ElementKind::Float16>(p, i, s0.total(), max, FLOAT16_ONE);
    return combine(totals, rule_tail<ElementKind::Float16>(elements, i, count));
}

// bfloat16 2^-32: every pattern at or below it, negatives and NaN of either sign included,
// has q = 1, and so has 2^-32 itself.
constexpr int16_t BFLOAT16_FLOOR = 0x2F80;
constexpr uint16_t BFLOAT16_ONE = 0x3F80;

// The raised patterns' q, low and high halves; a +NaN pattern stays NaN and gives 0, but
// the block's largest pattern then reports it as not exact.
inline void add_bfloat16(int16x8_t raised, Sum32& low, Sum32& high) {
    const uint16x8_t y = vreinterpretq_u16_s16(raised);
    low.add(quantise4_raised(vreinterpretq_f32_u32(vshll_n_u16(vget_low_u16(y), 16))));
    high.add(quantise4_raised(vreinterpretq_f32_u32(vshll_high_n_u16(y, 16))));
}

Totals bfloat16_stats(const uint16_t* elements, uint64_t count) {
    const auto* p = static_cast<const uint16_t*>(elements);
    if (count == 0) return {0, 0};
    const int16x8_t floor = vdupq_n_s16(BFLOAT16_FLOOR);
    Sum32 s0, s1, s2, s3;
    int16x8_t max = floor;
    const auto* bits = reinterpret_cast<const int16_t*>(p);
    uint64_t i = count - count % 16;
    for (const int16_t* at = bits; at != bits + i; at += 16) {
        const int16x8x2_t h = vld1q_s16_x2(at);
        const int16x8_t a = vmaxq_s16(h.val[0], floor), b = vmaxq_s16(h.val[1], floor);
        add_bfloat16(a, s0, s1);
        add_bfloat16(b, s2, s3);
        max = vmaxq_s16(max, vmaxq_s16(a, b));
    }
    for (; i + 8 <= count; i += 8) {
        const int16x8_t a = vmaxq_s16(vld1q_s16(bits + i), floor);
        add_bfloat16(a, s0, s1);
        max = vmaxq_s16(max, a);
    }
    s0.add(s1);
    s2.add(s3);
    s0.add(s2);
    const Totals totals = finish16<ElementKind::BFloat16>(p, i, s0.total(), max, BFLOAT16_ONE);
    return combine(totals, rule_tail<ElementKind::BFloat16>(elements, i, count));
}

// ---- float64 ----

// q of two vectors of float64 in one vector of u32 lanes: each converts to u64 lanes, which
// narrow with saturation (x >= 1.0 gives 2^32 - 1, as in float32), then 0 is raised to 1.
inline uint32x4_t quantise2x2(float64x2_t a, float64x2_t b) {
    const uint32x2_t low = vqmovn_u64(vcvtq_n_u64_f64(a, 32));
    return vmaxq_u32(vqmovn_high_u64(low, vcvtq_n_u64_f64(b, 32)), vdupq_n_u32(1));
}

// Elements of a block equal to 1.0, and whether any exceeds it. NaN does neither.
inline uint64_t count_float64_ones(const double* p, uint64_t count, bool& above) {
    const float64x2_t one = vdupq_n_f64(1.0);
    uint64x2_t ones = vdupq_n_u64(0), over = vdupq_n_u64(0);
    for (uint64_t i = 0; i < count; i += 2) {
        const float64x2_t x = vld1q_f64(p + i);
        ones = vsubq_u64(ones, vceqq_f64(x, one));
        over = vorrq_u64(over, vcgtq_f64(x, one));
    }
    above = (vgetq_lane_u64(over, 0) | vgetq_lane_u64(over, 1)) != 0;
    return vaddvq_u64(ones);
}

Totals float64_stats(const double* elements, uint64_t count) {
    const auto* p = static_cast<const double*>(elements);
    Sum32 s0, s1;
    uint32x4_t max = vdupq_n_u32(0);
    uint64_t i = count - count % 8;
    for (const double* at = p; at != p + i; at += 8) {
        const float64x2x4_t x = vld1q_f64_x4(at);
        const uint32x4_t a = quantise2x2(x.val[0], x.val[1]);
        const uint32x4_t b = quantise2x2(x.val[2], x.val[3]);
        s0.add(a);
        s1.add(b);
        max = vmaxq_u32(max, vmaxq_u32(a, b));
    }
    for (; i + 4 <= count; i += 4) {
        const uint32x4_t a = quantise2x2(vld1q_f64(p + i), vld1q_f64(p + i + 2));
        s0.add(a);
        max = vmaxq_u32(max, a);
    }
    s0.add(s1);
    const uint32_t largest = vmaxvq_u32(max);
    Totals totals{s0.total(), largest};
    if (largest == UINT32_MAX) {
        // Some element is 1.0 or more: 1.0 narrowed to 2^32 - 1, one short.
        bool above = false;
        totals.sum += count_float64_ones(p, i, above);
        if (above) return NOT_EXACT;
        totals.max = uint64_t{1} << 32;
    }
    return combine(totals, rule_tail<ElementKind::Float64>(elements, i, count));
}

// ---- small vectors ----

// Every q as u64, exact for every input: the conversion from double saturates as the rule
// does (from 2^64 on), NaN and negatives give 0, raised to 1.
struct SmallQ {
    uint64_t* q;
    uint64x2_t sum = vdupq_n_u64(0);
    uint64x2_t max = vdupq_n_u64(0);

    void put(float64x2_t x, uint64_t at) {
        uint64x2_t qi = vcvtq_n_u64_f64(x, 32);
        qi = vsubq_u64(qi, vceqzq_u64(qi));  // 0 becomes 1
        vst1q_u64(q + at, qi);
        sum = vaddq_u64(sum, qi);
        max = vbslq_u64(vcgtq_u64(qi, max), qi, max);
    }
    void put(float32x4_t x, uint64_t at) {
        put(vcvt_f64_f32(vget_low_f32(x)), at);
        put(vcvt_high_f64_f32(x), at + 2);
    }
    // The elements from `from` on by the rule.
    template <ElementKind K>
    Totals finish(const void* elements, uint64_t from, uint64_t count) {
        const auto* p = static_cast<const Storage<K>*>(elements);
        uint64_t total = vaddvq_u64(sum);
        uint64_t largest = vgetq_lane_u64(max, 0) > vgetq_lane_u64(max, 1) ? vgetq_lane_u64(max, 0)
                                                                           : vgetq_lane_u64(max, 1);
        for (uint64_t i = from; i < count; ++i) {
            q[i] = quantised<K>(p, i);
            total += q[i];
            largest = q[i] > largest ? q[i] : largest;
        }
        return {total, largest};
    }
};

Totals small_float32(const float* elements, uint64_t count, uint64_t* q) {
    const auto* p = static_cast<const float*>(elements);
    SmallQ s{q};
    uint64_t i = 0;
    for (; i + 4 <= count; i += 4)
        s.put(vld1q_f32(p + i), i);
    return s.finish<ElementKind::Float32>(elements, i, count);
}

Totals small_float16(const uint16_t* elements, uint64_t count, uint64_t* q) {
    const auto* p = static_cast<const uint16_t*>(elements);
    SmallQ s{q};
    uint64_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const uint16x8_t h = vld1q_u16(p + i);
        s.put(float16_low(h), i);
        s.put(float16_high(h), i + 4);
    }
    for (; i + 4 <= count; i += 4)
        s.put(vcvt_f32_f16(vreinterpret_f16_u16(vld1_u16(p + i))), i);
    return s.finish<ElementKind::Float16>(elements, i, count);
}

Totals small_bfloat16(const uint16_t* elements, uint64_t count, uint64_t* q) {
    const auto* p = static_cast<const uint16_t*>(elements);
    SmallQ s{q};
    uint64_t i = 0;
    for (; i + 4 <= count; i += 4)
        s.put(vreinterpretq_f32_u32(vshll_n_u16(vld1_u16(p + i), 16)), i);
    return s.finish<ElementKind::BFloat16>(elements, i, count);
}

Totals small_float64(const double* elements, uint64_t count, uint64_t* q) {
    const auto* p = static_cast<const double*>(elements);
    SmallQ s{q};
    uint64_t i = 0;
    for (; i + 2 <= count; i += 2)
        s.put(vld1q_f64(p + i), i);
    return s.finish<ElementKind::Float64>(elements, i, count);
}

}  // namespace

// No small_share: below SMALL_COUNT + 1 the small kernel's q serve as well.
extern const BlockStatsTable NEON_BLOCK_STATS = {
    .name = "neon",
    .float32 = {.block = float32_stats, .small = small_float32, .small_share = nullptr},
    .float16 = {.block = float16_stats, .small = small_float16, .small_share = nullptr},
    .bfloat16 = {.block = bfloat16_stats, .small = small_bfloat16, .small_share = nullptr},
    .float64 = {.block = float64_stats, .small = small_float64, .small_share = nullptr},
    .small_share_from = SMALL_COUNT + 1,
};

}  // namespace vantor::kernels
