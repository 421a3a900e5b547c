// The compiler-independent 128-bit arithmetic against the compiler's own, and identities
// that hold for whichever form the build uses.
#include "engine/wide_math.hpp"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

namespace vantor {
namespace {

// Edge operands: both ends of every 32-bit half, powers of two, and the decoder's range.
std::vector<uint64_t> edge_operands() {
    std::vector<uint64_t> out{0, 1, 2, 3};
    for (int bit : {31, 32, 33, 60, 61, 62, 63}) {
        const uint64_t power = uint64_t{1} << bit;
        out.insert(out.end(), {power - 1, power, power + 1});
    }
    out.insert(out.end(), {0xFFFFFFFF00000000, 0x00000000FFFFFFFF, UINT64_MAX - 1, UINT64_MAX,
                           0x8000000080000000, 0x7FFFFFFF7FFFFFFF});
    return out;
}

// Random operands of every bit length, so that divisors of every normalising shift, small
// divisors (quotients beyond 64 bits) and offsets near the divisor all appear.
uint64_t random_operand(std::mt19937_64& rng) {
    const unsigned bits = static_cast<unsigned>(rng() % 64) + 1;
    return rng() >> (64 - bits);
}

#ifdef VANTOR_WIDE_NATIVE
TEST(WideMath, PortableEqualsNativeOnEdgeOperands) {
    const std::vector<uint64_t> edges = edge_operands();
    for (uint64_t a : edges) {
        for (uint64_t b : edges) {
            ASSERT_EQ(wide::portable::mul_shift32(a, b), wide::native::mul_shift32(a, b))
                << a << " * " << b;
            if (b == 0) continue;
            ASSERT_EQ(wide::portable::window_quotient(a, b), wide::native::window_quotient(a, b))
                << a << " / " << b;
        }
    }
}

TEST(WideMath, PortableEqualsNativeOnRandomOperands) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 1'000'000; ++i) {
        const uint64_t a = random_operand(rng);
        const uint64_t b = random_operand(rng);
        ASSERT_EQ(wide::portable::mul_shift32(a, b), wide::native::mul_shift32(a, b))
            << a << " * " << b;
        // The decoder's own regime: an offset below a range above 2^60.
        const uint64_t range = (rng() >> 2) | (uint64_t{1} << 60);
        const uint64_t offset = rng() % range;
        ASSERT_EQ(wide::portable::window_quotient(offset, range),
                  wide::native::window_quotient(offset, range))
            << offset << " / " << range;
        if (b == 0) continue;
        ASSERT_EQ(wide::portable::window_quotient(a, b), wide::native::window_quotient(a, b))
            << a << " / " << b;
    }
}
#endif

// Dividing by 2^32 undoes the scaling, dividing by 1 leaves the low 64 bits of the
// numerator, and multiplying by 2^32 before the shift changes nothing.
TEST(WideMath, Identities) {
    std::mt19937_64 rng(12);
    std::vector<uint64_t> operands = edge_operands();
    for (int i = 0; i < 10'000; ++i)
        operands.push_back(random_operand(rng));
    for (uint64_t x : operands) {
        using Fn = uint64_t (*)(uint64_t, uint64_t);
        const std::pair<Fn, Fn> forms[] = {
            {wide::portable::mul_shift32, wide::portable::window_quotient},
            {wide::mul_shift32, wide::window_quotient}};
        for (auto [mul_shift32, window_quotient] : forms) {
            ASSERT_EQ(mul_shift32(x, uint64_t{1} << 32), x);
            ASSERT_EQ(mul_shift32(x, 1), x >> 32);
            ASSERT_EQ(window_quotient(x, uint64_t{1} << 32), x);
            ASSERT_EQ(window_quotient(x, 1), (x << 32) | 0xFFFFFFFF);
        }
    }
}

}  // namespace
}  // namespace vantor
