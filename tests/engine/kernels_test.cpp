// Every compiled vector path gives exactly the scalar results, on random and adversarial
// vectors of every kind.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/frequency_model.hpp"
#include "engine/kernels/dispatch.hpp"
#include "support.hpp"

namespace vantor {
namespace {

using kernels::BlockStatsTable;

// Restores the CPU's own choice after each test.
class PathGuard {
  public:
    explicit PathGuard(const BlockStatsTable* path) : saved_(&kernels::active_block_stats()) {
        kernels::use_block_stats(*path);
    }
    ~PathGuard() { kernels::use_block_stats(*saved_); }

  private:
    const BlockStatsTable* saved_;
};

struct Raw {
    ElementKind kind;
    std::vector<uint8_t> bytes;
    uint64_t count;
    ProbabilityView view() const { return {kind, bytes.data(), count}; }
};

// Element bit patterns drawn to hit every branch of the quantiser: zeros of both signs,
// NaN, infinities, subnormals, saturation, exact ties, and ordinary probabilities.
Raw adversarial(ElementKind kind, uint64_t n, std::mt19937_64& rng) {
    const std::size_t width = kind == ElementKind::Float64   ? 8
                              : kind == ElementKind::Float32 ? 4
                                                             : 2;
    Raw raw{kind, std::vector<uint8_t>(n * width), n};
    const double specials[] = {0.0,
                               -0.0,
                               std::numeric_limits<double>::quiet_NaN(),
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
    const double tie = std::ldexp(1.0, -3 - static_cast<int>(rng() % 6));
    for (uint64_t i = 0; i < n; ++i) {
        const auto pick = static_cast<unsigned>(rng() % 100);
        double x;
        if (pick < 10)
            x = specials[rng() % std::size(specials)];
        else if (pick < 30)
            x = tie;  // many equal maxima, across lanes and blocks
        else
            x = std::ldexp(static_cast<double>(rng() % 100000), -24 - static_cast<int>(rng() % 8));
        uint8_t* out = raw.bytes.data() + i * width;
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
    // Now and then raw random bit patterns, which include every NaN payload and subnormal.
    if (rng() % 4 == 0) {
        for (auto& b : raw.bytes)
            b = static_cast<uint8_t>(rng());
    }
    return raw;
}

struct PassResults {
    Totals totals;
    std::vector<SymbolRange> ranges;
    std::vector<SymbolSearch> searches;
};

// The scalar rule, element by element.
PassResults by_rule(const Raw& raw, const std::vector<uint64_t>& targets) {
    PassResults r;
    r.totals = scan_table(raw.view());
    for (uint64_t s = 0; s < raw.count; ++s)
        r.ranges.push_back(symbol_range(raw.view(), r.totals, s));
    for (uint64_t t : targets)
        r.searches.push_back(find_symbol(raw.view(), r.totals, t));
    return r;
}

// What the encoder and decoder run, on the path in use.
PassResults by_path(const Raw& raw, const std::vector<uint64_t>& targets) {
    PassResults r;
    RunScan scan;
    scan_runs(raw.view(), scan);
    r.totals = scan.totals;
    for (uint64_t s = 0; s < raw.count; ++s)
        r.ranges.push_back(encoder_share(raw.view(), s));
    for (uint64_t t : targets)
        r.searches.push_back(search_runs(raw.view(), scan, t));
    return r;
}

class Paths : public ::testing::TestWithParam<const BlockStatsTable*> {};

TEST_P(Paths, AgreeWithTheScalarRuleBitForBit) {
    if (!kernels::cpu_supports(*GetParam())) GTEST_SKIP() << "CPU lacks this path";
    std::mt19937_64 rng(99);
    const uint64_t lengths[] = {1, 31, 32, 33, 63, 64, 65, 100, 1023, 1024, 1025, 3000};
    for (ElementKind kind : {ElementKind::Float32, ElementKind::Float16, ElementKind::BFloat16,
                             ElementKind::Float64}) {
        for (uint64_t n : lengths) {
            for (int round = 0; round < 6; ++round) {
                const Raw raw = adversarial(kind, n, rng);
                std::vector<uint64_t> targets{0, 1, TOTAL_FREQ - 1, TOTAL_FREQ, UINT64_MAX};
                for (int t = 0; t < 40; ++t)
                    targets.push_back(rng() % TOTAL_FREQ);
                const PassResults scalar = by_rule(raw, targets);
                PathGuard guard(GetParam());
                const PassResults vector = by_path(raw, targets);
                const std::string where =
                    std::string(testing::kind_name(kind)) + " n=" + std::to_string(n);
                ASSERT_EQ(vector.totals.sum, scalar.totals.sum) << where;
                ASSERT_EQ(vector.totals.max, scalar.totals.max) << where;
                ASSERT_TRUE(vector.ranges == scalar.ranges) << where;
                ASSERT_TRUE(vector.searches == scalar.searches) << where;
            }
        }
    }
}

// Decoding target walks every share boundary: the search must stop on the same symbol on
// both sides of each bound, including inside the last and first lanes of a block.
TEST_P(Paths, SearchAgreesAtEveryShareBoundary) {
    if (!kernels::cpu_supports(*GetParam())) GTEST_SKIP() << "CPU lacks this path";
    std::mt19937_64 rng(5);
    std::vector<float> probs(2500);
    for (auto& p : probs)
        p = static_cast<float>(rng() % 1000 + 1);
    double total = 0;
    for (float p : probs)
        total += p;
    for (auto& p : probs)
        p = static_cast<float>(p / total);
    const ProbabilityView view{ElementKind::Float32, probs.data(), probs.size()};
    std::vector<uint64_t> targets;
    {
        const Totals totals = scan_table(view);
        for (uint64_t s = 0; s < probs.size(); ++s) {
            const SymbolRange r = symbol_range(view, totals, s);
            targets.insert(targets.end(), {r.cum_low, r.cum_high - 1, r.cum_high});
        }
    }
    std::vector<SymbolSearch> expected, got;
    const Totals totals = scan_table(view);
    for (uint64_t t : targets)
        expected.push_back(find_symbol(view, totals, t));
    PathGuard guard(GetParam());
    RunScan scan;
    scan_runs(view, scan);
    for (uint64_t t : targets)
        got.push_back(search_runs(view, scan, t));
    ASSERT_TRUE(got == expected);
}

std::string path_name(const ::testing::TestParamInfo<const BlockStatsTable*>& info) {
    return info.param->name;
}

INSTANTIATE_TEST_SUITE_P(Compiled, Paths,
                         ::testing::ValuesIn(kernels::compiled_paths().begin(),
                                             kernels::compiled_paths().end()),
                         path_name);

}  // namespace
}  // namespace vantor
