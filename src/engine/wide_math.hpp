// The two pieces of 128-bit arithmetic the coder needs, so that the rest of the engine is
// plain 64-bit C++. Each has a compiler-independent form on 64-bit halves and, where the
// compiler offers one, a native form; the build uses the native one when it has it.
#pragma once

#include <bit>
#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
#include <intrin.h>
#endif

namespace vantor::wide {

// Compiler-independent forms.
namespace portable {

// The full product a * b shifted right by 32, kept to its low 64 bits.
inline uint64_t mul_shift32(uint64_t a, uint64_t b) {
    const uint64_t a_low = a & 0xFFFFFFFF, a_high = a >> 32;
    const uint64_t b_low = b & 0xFFFFFFFF, b_high = b >> 32;
    // a * b = high_high * 2^64 + (low_high + high_low) * 2^32 + low_low; the shift drops
    // only low_low's lower half, and the sum wraps as the low 64 bits of the result do.
    return (a_high * b_high << 32) + a_low * b_high + a_high * b_low + (a_low * b_low >> 32);
}

// The low 64 bits of floor((high * 2^64 + low) / divisor) for high < divisor, so that the
// quotient fits: one step of schoolbook division in 32-bit digits (Knuth's algorithm D).
inline uint64_t divide_below(uint64_t high, uint64_t low, uint64_t divisor) {
    constexpr uint64_t DIGIT = uint64_t{1} << 32;
    const int shift = std::countl_zero(divisor);
    const uint64_t v = divisor << shift;
    const uint64_t v1 = v >> 32, v0 = v & 0xFFFFFFFF;
    const uint64_t u32 = shift == 0 ? high : (high << shift) | (low >> (64 - shift));
    const uint64_t u10 = low << shift;
    const uint64_t u1 = u10 >> 32, u0 = u10 & 0xFFFFFFFF;

    // Each quotient digit is estimated from the top digits and corrected at most twice.
    const auto digit = [&](uint64_t top, uint64_t next) {
        uint64_t q = top / v1;
        uint64_t r = top - q * v1;
        while (q >= DIGIT || q * v0 > (r << 32) + next) {
            --q;
            r += v1;
            if (r >= DIGIT) break;
        }
        return q;
    };
    const uint64_t q1 = digit(u32, u1);
    const uint64_t u21 = (u32 << 32) + u1 - q1 * v;  // wraps to the true remainder
    const uint64_t q0 = digit(u21, u0);
    return (q1 << 32) + q0;
}

// The decoder's target numerator ((offset + 1) * 2^32 - 1) over a non-zero divisor, the
// numerator formed without wrapping and the quotient kept to its low 64 bits.
inline uint64_t window_quotient(uint64_t offset, uint64_t divisor) {
    // (offset + 1) * 2^32 - 1 = offset * 2^32 + (2^32 - 1), a 96-bit number.
    const uint64_t high = offset >> 32, low = (offset << 32) | 0xFFFFFFFF;
    // Whole multiples of divisor * 2^64 change only the quotient's bits above 64.
    return divide_below(high % divisor, low, divisor);
}

}  // namespace portable

#if defined(__SIZEOF_INT128__)
#define VANTOR_WIDE_NATIVE 1
namespace native {

__extension__ typedef unsigned __int128 uint128;

inline uint64_t mul_shift32(uint64_t a, uint64_t b) {
    return static_cast<uint64_t>((static_cast<uint128>(a) * b) >> 32);
}

inline uint64_t window_quotient(uint64_t offset, uint64_t divisor) {
#if defined(__x86_64__)
    // One hardware division instead of the library's 128 by 128 bits. It needs a quotient
    // below 2^64, so whole multiples of divisor * 2^64 go first; the decoder's window lies
    // inside its interval, where the high word is always below the divisor already.
    uint64_t high = offset >> 32;
    if (high >= divisor) high %= divisor;
    uint64_t quotient, remainder;
    __asm__("divq %[divisor]"
            : "=a"(quotient), "=d"(remainder)
            : "a"((offset << 32) | 0xFFFFFFFF), "d"(high), [divisor] "rm"(divisor));
    return quotient;
#else
    const uint128 numerator = ((static_cast<uint128>(offset) + 1) << 32) - 1;
    return static_cast<uint64_t>(numerator / divisor);
#endif
}

}  // namespace native
#elif defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
#define VANTOR_WIDE_NATIVE 1
namespace native {

inline uint64_t mul_shift32(uint64_t a, uint64_t b) {
    uint64_t high;
    const uint64_t low = _umul128(a, b, &high);
    return (high << 32) | (low >> 32);
}

inline uint64_t window_quotient(uint64_t offset, uint64_t divisor) {
    uint64_t remainder;
    // _udiv128 faults on a quotient beyond 64 bits: divide the reduced high word.
    return _udiv128((offset >> 32) % divisor, (offset << 32) | 0xFFFFFFFF, divisor, &remainder);
}

}  // namespace native
#endif

#ifdef VANTOR_WIDE_NATIVE
using native::mul_shift32;
using native::window_quotient;
#else
using portable::mul_shift32;
using portable::window_quotient;
#endif

}  // namespace vantor::wide
