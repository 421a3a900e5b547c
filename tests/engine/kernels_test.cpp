// Every compiled vector path gives exactly the scalar results, on random and adversarial
// vectors of every kind.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/frequency_model.hpp"
#include "engine/kernels/dispatch.hpp"
#include "support.hpp"

namespace vantor {
namespace {

using kernels::BlockStatsTable;

// Runs a test's passes on one path; the CPU's own choice comes back after it.
using PathGuard = kernels::testing::ForcedPath;

struct Raw {
    ElementKind kind;
    std::vector<uint8_t> bytes;
    uint64_t count;
    uint64_t first = 0;  // elements skipped, to move the view off the buffer's alignment
    std::size_t width() const { return testing::element_width(kind); }
    ProbabilityView view() const { return {kind, bytes.data() + first * width(), count - first}; }
};

// n values from `draw`, stored as `kind`.
template <class Draw>
Raw make(ElementKind kind, uint64_t n, Draw&& draw) {
    Raw raw{kind, std::vector<uint8_t>(n * testing::element_width(kind)), n};
    for (uint64_t i = 0; i < n; ++i) {
        const double x = draw();
        uint8_t* out = raw.bytes.data() + i * raw.width();
        if (kind == ElementKind::Float64) {
            std::memcpy(out, &x, 8);
        } else {
            const float f = static_cast<float>(x);
            if (kind == ElementKind::Float32) {
                std::memcpy(out, &f, 4);
            } else if (kind == ElementKind::BFloat16) {
                uint32_t bits;
                std::memcpy(&bits, &f, 4);
                const uint16_t top = static_cast<uint16_t>(bits >> 16);
                std::memcpy(out, &top, 2);
            } else {
                const uint16_t h = testing::to_binary16(f);
                std::memcpy(out, &h, 2);
            }
        }
    }
    return raw;
}

const double SPECIALS[] = {0.0,
                           -0.0,
                           std::numeric_limits<double>::quiet_NaN(),
                           -std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::signaling_NaN(),
                           -std::numeric_limits<double>::signaling_NaN(),
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           1e-300,
                           1e-40,
                           6e-8,
                           2.3283064365386963e-10 /* 2^-32 */,
                           0.5,
                           1.0,
                           2.0,
                           5e9,
                           -0.25};

// Element bit patterns drawn to hit every branch of the quantiser: zeros of both signs,
// NaN, infinities, subnormals, saturation, exact ties, and ordinary probabilities.
Raw adversarial(ElementKind kind, uint64_t n, std::mt19937_64& rng) {
    const double tie = std::ldexp(1.0, -3 - static_cast<int>(rng() % 6));
    Raw raw = make(kind, n, [&] {
        const auto pick = static_cast<unsigned>(rng() % 100);
        if (pick < 10) return SPECIALS[rng() % std::size(SPECIALS)];
        if (pick < 30) return tie;  // many equal maxima, across lanes and blocks
        return std::ldexp(static_cast<double>(rng() % 100000), -24 - static_cast<int>(rng() % 8));
    });
    // Now and then raw random bit patterns, which include every NaN payload and subnormal.
    if (rng() % 4 == 0) {
        for (auto& b : raw.bytes)
            b = static_cast<uint8_t>(rng());
    }
    return raw;
}

// Probabilities up to 1.0 that sum far past the table, so that every lane's sum passes
// 2^32 many times; now and then an exact 1.0 or a value the fast paths take in their
// stride (zeros, negatives, tiny values), never one that sends a block to the scalar rule.
Raw heavy(ElementKind kind, uint64_t n, std::mt19937_64& rng) {
    const double tame[] = {0.0,
                           -0.0,
                           -std::numeric_limits<double>::quiet_NaN(),
                           -std::numeric_limits<double>::infinity(),
                           1e-300,
                           1e-40,
                           6e-8,
                           -0.25,
                           1.0};
    return make(kind, n, [&] {
        const auto pick = static_cast<unsigned>(rng() % 1000);
        if (pick < 20) return tame[rng() % std::size(tame)];
        const double near_one =
            1.0 - std::ldexp(static_cast<double>(rng() % 1000), -10 - static_cast<int>(rng() % 14));
        // Half of them scaled down, so that q also has low bits in every element type.
        return rng() % 2 ? near_one : std::ldexp(near_one, -1 - static_cast<int>(rng() % 8));
    });
}

// Large probabilities of a single binade [2^-k-1, 2^-k), k from 0 to 11: the lane sums
// pass 2^32 through elements of one size only, whichever size a fast path treats apart.
// Successive calls go through the binades in turn.
Raw one_binade(ElementKind kind, uint64_t n, std::mt19937_64& rng) {
    static int next = 0;
    const int binade = next++ % 12;
    return make(kind, n, [&] {
        return std::ldexp(1.0 - std::ldexp(static_cast<double>(rng() % 4096), -13), -binade);
    });
}

struct PassResults {
    Totals totals;
    std::vector<SymbolRange> ranges;
    std::vector<SymbolSearch> searches;
};

// The scalar rule, element by element.
PassResults by_rule(const Raw& raw, const std::vector<uint64_t>& symbols,
                    const std::vector<uint64_t>& targets) {
    PassResults r;
    r.totals = scan_table(raw.view());
    for (uint64_t s : symbols)
        r.ranges.push_back(symbol_range(raw.view(), r.totals, s));
    for (uint64_t t : targets)
        r.searches.push_back(find_symbol(raw.view(), r.totals, t));
    return r;
}

// What the encoder and decoder run, on the path in use.
PassResults by_path(const Raw& raw, const std::vector<uint64_t>& symbols,
                    const std::vector<uint64_t>& targets) {
    PassResults r;
    RunScan scan;
    scan_runs(raw.view(), scan);
    r.totals = scan.totals;
    for (uint64_t s : symbols)
        r.ranges.push_back(encoder_share(raw.view(), s));
    for (uint64_t t : targets)
        r.searches.push_back(search_runs(raw.view(), scan, t));
    return r;
}

std::vector<uint64_t> some_targets(std::mt19937_64& rng) {
    std::vector<uint64_t> targets{0, 1, TOTAL_FREQ - 1, TOTAL_FREQ, UINT64_MAX};
    for (int t = 0; t < 40; ++t)
        targets.push_back(rng() % TOTAL_FREQ);
    return targets;
}

void expect_same(const Raw& raw, const BlockStatsTable* path, const std::vector<uint64_t>& symbols,
                 std::mt19937_64& rng) {
    const std::vector<uint64_t> targets = some_targets(rng);
    const PassResults scalar = by_rule(raw, symbols, targets);
    PathGuard guard(*path);
    const PassResults vector = by_path(raw, symbols, targets);
    const std::string where = std::string(testing::kind_name(raw.kind)) +
                              " n=" + std::to_string(raw.count) + " from " +
                              std::to_string(raw.first);
    ASSERT_EQ(vector.totals.sum, scalar.totals.sum) << where;
    ASSERT_EQ(vector.totals.max, scalar.totals.max) << where;
    ASSERT_TRUE(vector.ranges == scalar.ranges) << where;
    ASSERT_TRUE(vector.searches == scalar.searches) << where;
}

class Paths : public ::testing::TestWithParam<const BlockStatsTable*> {};

TEST_P(Paths, AgreeWithTheScalarRuleBitForBit) {
    if (!kernels::cpu_supports(*GetParam())) GTEST_SKIP() << "CPU lacks this path";
    std::mt19937_64 rng(99);
    const uint64_t lengths[] = {1, 31, 32, 33, 63, 64, 65, 100, 1023, 1024, 1025, 3000};
    for (ElementKind kind : testing::ALL_KINDS) {
        for (uint64_t n : lengths) {
            std::vector<uint64_t> every_symbol(n);
            std::iota(every_symbol.begin(), every_symbol.end(), 0);
            for (int round = 0; round < 6; ++round) {
                ASSERT_NO_FATAL_FAILURE(
                    expect_same(adversarial(kind, n, rng), GetParam(), every_symbol, rng));
            }
        }
    }
}

// Vectors long enough to pass every block's internal limits (lane sums that overflow and
// are settled, runs of the decoder's first pass), starting at every alignment.
TEST_P(Paths, LongVectorsAtEveryAlignmentAgreeWithTheScalarRule) {
    if (!kernels::cpu_supports(*GetParam())) GTEST_SKIP() << "CPU lacks this path";
    std::mt19937_64 rng(7);
    for (ElementKind kind : testing::ALL_KINDS) {
        for (uint64_t n : {8191u, 8225u, 70001u}) {
            for (auto generate : {adversarial, heavy, one_binade, one_binade, one_binade}) {
                Raw raw = generate(kind, n, rng);
                for (uint64_t first : {0u, 1u, 3u}) {
                    raw.first = first;
                    const uint64_t count = n - first;
                    std::vector<uint64_t> symbols{0, 1, count / 2, count - 2, count - 1};
                    for (int k = 0; k < 40; ++k)
                        symbols.push_back(rng() % count);
                    ASSERT_NO_FATAL_FAILURE(expect_same(raw, GetParam(), symbols, rng));
                }
            }
        }
    }
}

// A positive NaN's bfloat16 pattern lies above every number's: where it shares a lane with
// an element of 0.5 up to 1.0, in runs otherwise small enough for narrow lanes, it must not
// hide that element. Pairs 16 apart share a lane; of two such pairs per 64 elements, one
// lies inside a group of 64 whatever the buffer's alignment.
TEST_P(Paths, BFloat16NaNsBesideLargeElementsAgreeWithTheScalarRule) {
    if (!kernels::cpu_supports(*GetParam())) GTEST_SKIP() << "CPU lacks this path";
    std::mt19937_64 rng(3);
    const uint16_t nans[] = {0x7FC0, 0x7F81, 0x7FFF};
    const uint16_t large[] = {0x3F80 /* 1.0 */, 0x3F40 /* 0.75 */, 0x3F01};
    for (uint64_t n : {64u, 200u, 4096u}) {
        Raw raw = make(ElementKind::BFloat16, n, [&] { return 1e-4; });
        auto* bits = reinterpret_cast<uint16_t*>(raw.bytes.data());
        for (uint64_t at = 0; at + 64 <= n; at += 64) {
            for (uint64_t pair : {5u, 40u}) {
                bits[at + pair] = nans[rng() % std::size(nans)];
                bits[at + pair + 16] = large[rng() % std::size(large)];
            }
        }
        std::vector<uint64_t> symbols{0, 5, 21, n / 2, n - 1};
        ASSERT_NO_FATAL_FAILURE(expect_same(raw, GetParam(), symbols, rng));
    }
}

// Decoding target walks every share boundary: the search must stop on the same symbol on
// both sides of each bound, including inside the last and first lanes of a block. Lengths
// from those whose every q the first pass keeps to those it keeps run totals for; few
// distinct values, so that the largest q recurs in several runs; tables that sum to one
// and above it (a remainder of either sign).
TEST_P(Paths, SearchAgreesAtEveryShareBoundary) {
    if (!kernels::cpu_supports(*GetParam())) GTEST_SKIP() << "CPU lacks this path";
    std::mt19937_64 rng(5);
    for (const std::size_t n : {40u, 100u, 256u, 2500u}) {
        for (const uint64_t values : {4u, 1000u}) {
            for (const double sum : {1.0, 1.3}) {
                std::vector<float> probs(n);
                for (auto& p : probs)
                    p = static_cast<float>(rng() % values + 1);
                double total = 0;
                for (float p : probs)
                    total += p;
                for (auto& p : probs)
                    p = static_cast<float>(p / total * sum);
                const ProbabilityView view{ElementKind::Float32, probs.data(), probs.size()};
                const Totals totals = scan_table(view);
                std::vector<uint64_t> targets;
                for (uint64_t s = 0; s < probs.size(); ++s) {
                    const SymbolRange r = symbol_range(view, totals, s);
                    targets.insert(targets.end(), {r.cum_low, r.cum_high - 1, r.cum_high});
                }
                std::vector<SymbolSearch> expected, got;
                for (uint64_t t : targets)
                    expected.push_back(find_symbol(view, totals, t));
                PathGuard guard(*GetParam());
                RunScan scan;
                scan_runs(view, scan);
                for (uint64_t t : targets)
                    got.push_back(search_runs(view, scan, t));
                ASSERT_TRUE(got == expected) << "n=" << n << " values=" << values << " sum=" << sum;
            }
        }
    }
}

// The block functions alone, at every length up to a few of the widest loops and every
// offset into the buffer, so that each mix of whole vectors, unrolled iterations and tail
// is met. Where a path claims exact results they are the rule's; on values that every path
// takes in its stride it must claim them, so that a path that always gives up fails too.
template <ElementKind K>
void expect_rows_match_the_rule(const BlockStatsTable& path, std::mt19937_64& rng) {
    const ElementKind kind = K;
    const kernels::KernelRow<K>& row = kernels::row_of<K>(path);
    const kernels::KernelRow<K>& scalar = kernels::row_of<K>(kernels::SCALAR_BLOCK_STATS);
    for (uint64_t n = 0; n <= 140; ++n) {
        for (uint64_t first : {0u, 1u, 3u}) {
            for (const bool tame : {false, true}) {
                Raw raw = (tame ? heavy : adversarial)(kind, n + first, rng);
                raw.first = first;
                const auto* elements = static_cast<const Storage<K>*>(raw.view().data);
                const std::string where = std::string(testing::kind_name(kind)) +
                                          " n=" + std::to_string(n) + " from " +
                                          std::to_string(first);
                const Totals expected = scalar.block(elements, n);
                const Totals got = row.block(elements, n);
                if (tame) {
                    ASSERT_LT(got.max, kernels::FAST_LIMIT) << where;
                }
                if (got.max < kernels::FAST_LIMIT) {
                    ASSERT_EQ(got.sum, expected.sum) << where;
                    ASSERT_EQ(got.max, expected.max) << where;
                }
                if (n == 0 || n > SMALL_COUNT) continue;
                uint64_t q[SMALL_COUNT], expected_q[SMALL_COUNT];
                const Totals small = row.small(elements, n, q);
                scalar.small(elements, n, expected_q);
                // Every path is exact on small vectors whose q all stay below 2^32.
                if (tame && expected.max < (uint64_t{1} << 32)) {
                    ASSERT_LT(small.max, kernels::FAST_LIMIT) << where;
                }
                if (small.max < kernels::FAST_LIMIT) {
                    ASSERT_EQ(small.sum, expected.sum) << where;
                    ASSERT_EQ(small.max, expected.max) << where;
                    for (uint64_t i = 0; i < n; ++i)
                        ASSERT_EQ(q[i], expected_q[i]) << where << " element " << i;
                }
                if (row.small_share == nullptr) continue;
                for (uint64_t symbol = 0; symbol < n; ++symbol) {
                    const kernels::SmallShare share = row.small_share(elements, n, symbol);
                    const std::string at = where + " symbol " + std::to_string(symbol);
                    // The same q as the path's `small`, so exact exactly when it is.
                    ASSERT_EQ(share.all.max < kernels::FAST_LIMIT, small.max < kernels::FAST_LIMIT)
                        << at;
                    if (share.all.max >= kernels::FAST_LIMIT) continue;
                    uint64_t before = 0, before_max = 0;
                    for (uint64_t i = 0; i < symbol; ++i) {
                        before += expected_q[i];
                        if (expected_q[i] == expected.max) before_max = expected.max;
                    }
                    ASSERT_EQ(share.all.sum, expected.sum) << at;
                    ASSERT_EQ(share.all.max, expected.max) << at;
                    ASSERT_EQ(share.before, before) << at;
                    ASSERT_EQ(share.before_max, before_max) << at;
                }
            }
        }
    }
}

// Each kind's row of the path against the scalar row, as above.
TEST_P(Paths, BlockStatisticsOfEveryShortLengthMatchTheRule) {
    if (!kernels::cpu_supports(*GetParam())) GTEST_SKIP() << "CPU lacks this path";
    std::mt19937_64 rng(11);
    for (ElementKind kind : testing::ALL_KINDS) {
        ASSERT_NO_FATAL_FAILURE(
            visit_kind(kind, [&](auto k) { expect_rows_match_the_rule<k()>(*GetParam(), rng); }));
    }
}

std::string path_name(const ::testing::TestParamInfo<const BlockStatsTable*>& info) {
    return info.param->name;
}

INSTANTIATE_TEST_SUITE_P(Compiled, Paths,
                         ::testing::ValuesIn(kernels::compiled_paths().begin(),
                                             kernels::compiled_paths().end()),
                         path_name);

// Every CPU runs the widest path it supports; on aarch64 that is NEON, which it always has,
// so a build that left it out would fail here rather than pass on the scalar rule.
TEST(Dispatch, ChoosesTheWidestSupportedPath) {
    const BlockStatsTable* widest = nullptr;
    for (const BlockStatsTable* path : kernels::compiled_paths()) {
        if (kernels::cpu_supports(*path)) widest = path;
    }
    ASSERT_NE(widest, nullptr);
    EXPECT_EQ(&kernels::active_block_stats(), widest);
#if defined(__aarch64__) || defined(_M_ARM64)
    EXPECT_STREQ(kernels::active_block_stats().name, "neon");
#endif
}

// Once made, the choice stands: a later request changes nothing, on any thread.
TEST(Dispatch, RefusesToChangeTheChoiceOnceMade) {
    const BlockStatsTable& chosen = kernels::active_block_stats();
    for (const BlockStatsTable* path : kernels::compiled_paths()) {
        EXPECT_FALSE(kernels::use_block_stats(*path)) << path->name;
    }
    EXPECT_EQ(&kernels::active_block_stats(), &chosen);
}

}  // namespace
}  // namespace vantor
