#include "engine/frequency_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/few_elements.hpp"
#include "support.hpp"

namespace vantor {
namespace {

using testing::view_of;

// The frequencies of a whole table, read one symbol at a time through symbol_range.
std::vector<uint64_t> frequencies(const ProbabilityView& view) {
    const Totals totals = scan_table(view);
    std::vector<uint64_t> out;
    for (uint64_t s = 0; s < view.count; ++s) {
        const SymbolRange r = symbol_range(view, totals, s);
        out.push_back(r.cum_high - r.cum_low);
    }
    return out;
}

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

TEST(Quantise, TruncatesSaturatesAndNeverGivesZero) {
    EXPECT_EQ(quantise(0.5), 2147483648u);
    EXPECT_EQ(quantise(0.0), 1u);
    EXPECT_EQ(quantise(-0.0), 1u);
    EXPECT_EQ(quantise(-1.0), 1u);
    EXPECT_EQ(quantise(-Inf), 1u);
    EXPECT_EQ(quantise(NaN), 1u);
    EXPECT_EQ(quantise(1e-12), 1u);
    EXPECT_EQ(quantise(1.5 / 4294967296.0), 1u);
    EXPECT_EQ(quantise(2.5 / 4294967296.0), 2u);  // truncation, not U + 1
    EXPECT_EQ(quantise(Inf), UINT64_MAX);
    EXPECT_EQ(quantise(5e9), UINT64_MAX);
    EXPECT_EQ(quantise(LARGEST_BELOW_2_64 / 4294967296.0), 18446744073709549568u);
}

// The short vectors' quick form gives the rule's q up to FAST_LIMIT and FAST_LIMIT beyond.
TEST(Quantise, BelowLimitIsTheRuleClampedAtTheLimit) {
    const auto expected = [](double x) {
        const uint64_t q = quantise(x);
        return q < kernels::FAST_LIMIT ? q : kernels::FAST_LIMIT;
    };
    std::vector<double> xs = {0.0, -0.0, NaN, -NaN, Inf, -Inf, 1e-300, 0x1p-32, 0x1.8p-32,
                              0.5, 1.0, 2.0, std::nextafter(2.0, 0.0), std::nextafter(2.0, 4.0),
                              5e9, -0.25, std::numeric_limits<double>::denorm_min()};
    std::mt19937_64 rng(7);
    for (int i = 0; i < 200000; ++i) {
        const uint64_t bits = rng();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        xs.push_back(x);
        xs.push_back(std::ldexp(static_cast<double>(bits >> 11), -52 - static_cast<int>(bits % 40)));
    }
    for (const double x : xs)
        ASSERT_EQ(quantise_below_limit(x), expected(x)) << x;
    // float32 elements are quantised in float: every exponent, both signs, NaNs, infinities.
    for (uint64_t i = 0; i < 400000; ++i) {
        const auto bits = static_cast<uint32_t>(i < 512 ? (i << 23) | (i & 7) : rng());
        float x;
        std::memcpy(&x, &bits, sizeof x);
        ASSERT_EQ(quantise_below_limit(&x), expected(x)) << x << " bits " << bits;
    }
}

TEST(FrequencyModel, Float32HalfQuarterQuarter) {
    const std::vector<float> v{0.5f, 0.25f, 0.25f};
    const Totals totals = scan_table(view_of(v));
    EXPECT_EQ(totals.sum, TOTAL_FREQ);
    EXPECT_EQ(totals.max, 2147483648u);
    const uint64_t bounds[][2] = {
        {0, 2147483648}, {2147483648, 3221225472}, {3221225472, 4294967296}};
    for (uint64_t s = 0; s < 3; ++s) {
        const SymbolRange r = symbol_range(view_of(v), totals, s);
        EXPECT_EQ(r.cum_low, bounds[s][0]);
        EXPECT_EQ(r.cum_high, bounds[s][1]);
        EXPECT_TRUE(r.codable);
    }
}

struct TableCase {
    std::vector<double> probabilities;
    uint64_t sum;
    uint64_t max;
    std::vector<uint64_t> frequencies;
};

class FrequencyTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(FrequencyTable, MatchesTheRule) {
    const TableCase& c = GetParam();
    const Totals totals = scan_table(view_of(c.probabilities));
    EXPECT_EQ(totals.sum, c.sum);
    EXPECT_EQ(totals.max, c.max);
    EXPECT_EQ(frequencies(view_of(c.probabilities)), c.frequencies);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FrequencyTable,
    ::testing::Values(
        TableCase{{0, 0, 0}, 3, 1, {4294967294, 1, 1}},
        // The first of two equal maxima is dominant, and gives up the excess.
        TableCase{{0.25, 0.5, 0.5}, 5368709120, 2147483648, {1073741824, 1073741824, 2147483648}},
        // The sum wraps past 2^64.
        TableCase{{NaN, -1.0, Inf}, 1, UINT64_MAX, {1, 1, 4294967294}},
        TableCase{{1e-12, 1.0}, 4294967297, TOTAL_FREQ, {1, 4294967295}},
        TableCase{{1.0}, TOTAL_FREQ, TOTAL_FREQ, {TOTAL_FREQ}},
        TableCase{{5e9}, UINT64_MAX, UINT64_MAX, {TOTAL_FREQ}},
        TableCase{{0.1, 0.9}, 4294967295, 3865470566, {429496729, 3865470567}}));

TEST(FrequencyModel, ElementKindChangesTheTable) {
    const std::vector<float> as_float32{0.1f, 0.9f};
    EXPECT_EQ(frequencies(view_of(as_float32)), (std::vector<uint64_t>{429496736, 3865470560}));
    const uint16_t as_float16[] = {0x2E66, 0x3B33};  // 0.1 and 0.9 rounded to binary16
    const ProbabilityView half{ElementKind::Float16, as_float16, 2};
    EXPECT_EQ(quantise(half_to_double(as_float16[0])), 429391872u);
    EXPECT_EQ(quantise(half_to_double(as_float16[1])), 3865051136u);
    EXPECT_EQ(frequencies(half), (std::vector<uint64_t>{429391872, 3865575424}));
}

TEST(FrequencyModel, LastSymbolEndsTheTable) {
    const std::vector<double> v{0.3, 0.2, 0.1, 0.15, 0.25};
    const Totals totals = scan_table(view_of(v));
    EXPECT_EQ(symbol_range(view_of(v), totals, 4).cum_high, TOTAL_FREQ);
}

TEST(FrequencyModel, ShareCheckOfInvariantBreakingVectors) {
    const std::vector<double> twice_one{1.0, 1.0};
    Totals totals = scan_table(view_of(twice_one));
    EXPECT_FALSE(symbol_range(view_of(twice_one), totals, 0).codable);  // f_0 = 0
    EXPECT_TRUE(symbol_range(view_of(twice_one), totals, 1).codable);

    const std::vector<double> three_halves{0.5, 0.5, 0.5};
    totals = scan_table(view_of(three_halves));
    EXPECT_FALSE(symbol_range(view_of(three_halves), totals, 0).codable);
    EXPECT_TRUE(symbol_range(view_of(three_halves), totals, 1).codable);
    EXPECT_TRUE(symbol_range(view_of(three_halves), totals, 2).codable);

    // Frequencies past 2^32 before the symbol: the share lies outside the table.
    const std::vector<double> heavy_tail{0.9, 0.3, 0.95};
    totals = scan_table(view_of(heavy_tail));
    EXPECT_TRUE(symbol_range(view_of(heavy_tail), totals, 0).codable);
    EXPECT_FALSE(symbol_range(view_of(heavy_tail), totals, 1).codable);

    EXPECT_FALSE(symbol_range(view_of(heavy_tail), totals, 3).codable);
    EXPECT_EQ(symbol_range(view_of(heavy_tail), totals, 3).cum_high, 0u);
}

// The decoder's search of short vectors, on both sides of every share boundary: tied
// maxima (the remainder belongs to the first alone), remainders of either sign, and
// tables that break the invariant, at lengths on both sides of each short path's limit.
TEST(FrequencyModel, ShortSearchAgreesWithTheRuleAtEveryBoundary) {
    std::mt19937_64 rng(17);
    for (uint64_t n = 1; n <= SMALL_COUNT; ++n) {
        for (const double total : {0.7, 1.0, 1.3, 2.2}) {
            std::vector<double> v(n);
            for (auto& x : v)
                x = static_cast<double>(rng() % 4 + 1);  // few values: ties are common
            double sum = 0;
            for (double x : v)
                sum += x;
            for (auto& x : v)
                x = x / sum * total;
            const ProbabilityView view = view_of(v);
            const Totals totals = scan_table(view);
            std::vector<uint64_t> targets{0, TOTAL_FREQ - 1};
            for (uint64_t s = 0; s < n; ++s) {
                const SymbolRange r = symbol_range(view, totals, s);
                targets.insert(targets.end(), {r.cum_low, r.cum_low - 1, r.cum_high - 1});
            }
            for (const uint64_t t : targets) {
                if (t >= TOTAL_FREQ) continue;
                const SymbolSearch expected = find_symbol(view, totals, t);
                const SymbolSearch got = short_search<ElementKind::Float64>(v.data(), n, t);
                ASSERT_TRUE(got == expected) << "n=" << n << " total=" << total << " t=" << t;
            }
        }
    }
}

// Two elements have a path of their own; on every pair of awkward values (ties, a q of
// exactly TOTAL_FREQ, beyond it, saturating, NaN, negative) it must give the rule's share
// and the rule's search, refusals included.
TEST(FrequencyModel, TwoElementsAgreeWithTheRuleOnEveryAwkwardPair) {
    const std::vector<double> values{0.0,  -0.0, NaN,       -1.0, 1e-12, 0.25, 0.5,
                                     0.75, 1.0,  1.0000001, 1.5,  2.0,   5e9,  Inf};
    for (const double a : values) {
        for (const double b : values) {
            const std::vector<double> v{a, b};
            const ProbabilityView view = view_of(v);
            const Totals totals = scan_table(view);
            for (uint64_t s = 0; s < 2; ++s) {
                const SymbolRange got = short_share<ElementKind::Float64>(v.data(), 2, s);
                ASSERT_TRUE(got == symbol_range(view, totals, s)) << a << ", " << b << " s=" << s;
            }
            const uint64_t edge = symbol_range(view, totals, 0).cum_high;
            for (const uint64_t t : {uint64_t{0}, edge - 1, edge, TOTAL_FREQ - 1}) {
                if (t >= TOTAL_FREQ) continue;
                const SymbolSearch got = short_search<ElementKind::Float64>(v.data(), 2, t);
                ASSERT_TRUE(got == find_symbol(view, totals, t)) << a << ", " << b << " t=" << t;
            }
        }
    }
}

// binary16 reference from first principles, for every one of the 65536 patterns.
double half_reference(uint16_t bits) {
    const int exponent = (bits >> 10) & 0x1F;
    const int fraction = bits & 0x3FF;
    const double sign = (bits & 0x8000) ? -1.0 : 1.0;
    if (exponent == 0x1F) return fraction ? NaN : sign * Inf;
    if (exponent == 0) return sign * std::ldexp(fraction, -24);
    return sign * std::ldexp(1024 + fraction, exponent - 25);
}

TEST(Widening, Float16IsExactForEveryPattern) {
    for (uint32_t bits = 0; bits <= 0xFFFF; ++bits) {
        const double got = half_to_double(static_cast<uint16_t>(bits));
        const double want = half_reference(static_cast<uint16_t>(bits));
        if (std::isnan(want)) {
            ASSERT_TRUE(std::isnan(got)) << bits;
        } else {
            ASSERT_EQ(got, want) << bits;
            ASSERT_EQ(std::signbit(got), std::signbit(want)) << bits;
        }
    }
}

TEST(Widening, BFloat16IsTheUpperHalfOfBinary32) {
    for (uint32_t bits = 0; bits <= 0xFFFF; ++bits) {
        const uint32_t wide = bits << 16;
        float f;
        std::memcpy(&f, &wide, sizeof f);
        const double got = bfloat16_to_double(static_cast<uint16_t>(bits));
        if (std::isnan(f)) {
            ASSERT_TRUE(std::isnan(got)) << bits;
        } else {
            ASSERT_EQ(got, static_cast<double>(f)) << bits;
            ASSERT_EQ(std::signbit(got), std::signbit(f)) << bits;
        }
    }
    EXPECT_EQ(bfloat16_to_double(0x3F80), 1.0);
    EXPECT_EQ(bfloat16_to_double(0x0001), std::ldexp(1.0, -133));  // smallest subnormal
}

// GCC before 13 defines __FLT16_MAX__ on aarch64 but has no _Float16 in C++.
#if defined(__FLT16_MAX__) && \
    !(defined(__aarch64__) && defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13)
// The tests' own binary16 rounding (for compilers without _Float16) against the compiler's:
// each value, the tie above it and the doubles either side of the tie, and random doubles.
TEST(TestSupport, Binary16RoundingMatchesTheCompilers) {
    const auto by_compiler = [](double x) {
        const auto h = static_cast<_Float16>(x);
        uint16_t bits;
        std::memcpy(&bits, &h, sizeof bits);
        return bits;
    };
    std::vector<double> inputs{NaN, -NaN, Inf, -Inf, 65519.99, 65520.0, 65536.0, 1e300, 1e-300};
    for (uint32_t bits = 0; bits < 0x7C00; ++bits) {
        const double x = half_to_double(static_cast<uint16_t>(bits));
        const double above =
            bits == 0x7BFF ? 65536.0 : half_to_double(static_cast<uint16_t>(bits + 1));
        const double tie = (x + above) / 2;  // exact: both have at most 11 significant bits
        for (double y : {x, tie, std::nextafter(tie, 0.0), std::nextafter(tie, Inf)}) {
            inputs.push_back(y);
            inputs.push_back(-y);
        }
    }
    std::mt19937_64 rng(3);
    for (int i = 0; i < 200'000; ++i) {
        const double mantissa = static_cast<double>(rng() >> 11) / 9007199254740992.0;
        inputs.push_back(std::ldexp(mantissa, static_cast<int>(rng() % 60) - 40));
    }
    for (double x : inputs)
        ASSERT_EQ(testing::to_binary16(x), by_compiler(x)) << x;
}
#endif

}  // namespace
}  // namespace vantor
