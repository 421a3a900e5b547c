// Every block-statistics path this CPU runs, on arbitrary element bit patterns, against the
// scalar rule bit for bit: the totals of a run, every q of a small vector, and the coder's
// passes that combine them.
//
// Input: one head byte, then the elements' bytes. The head picks the element kind (bits
// 0-1), how many elements to skip so that the view starts off the buffer's alignment (bits
// 2-4), and how many times the bytes are repeated (bits 5-7), so that short inputs still
// reach long runs and lane sums that pass 2^32 many times.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/frequency_model.hpp"
#include "engine/kernels/dispatch.hpp"
#include "engine/kernels/scalar.hpp"

using namespace vantor;

namespace {

constexpr std::size_t COPIES[] = {1, 1, 1, 1, 1, 2, 4, 8};

std::size_t width_of(ElementKind kind) {
    return kind == ElementKind::Float64 ? 8 : kind == ElementKind::Float32 ? 4 : 2;
}

// Names the broken expectation, which the fuzzer's stack trace loses to inlining.
[[noreturn]] void fail(int line) {
    std::fprintf(stderr, "kernels_fuzz: the check on line %d failed\n", line);
    std::abort();
}
#define CHECK(condition) \
    if (!(condition)) fail(__LINE__)

// The scalar rule's answers for one vector.
struct Expected {
    Totals totals;
    std::vector<uint64_t> q;  // of each element, for a small vector
    std::vector<uint64_t> symbols;
    std::vector<SymbolRange> ranges;
    std::vector<uint64_t> targets;
    std::vector<SymbolSearch> searches;
};

template <ElementKind K>
void quantise_all(const void* elements, uint64_t count, std::vector<uint64_t>& q) {
    const auto* typed = static_cast<const kernels::Storage<K>*>(elements);
    for (uint64_t i = 0; i < count; ++i)
        q.push_back(kernels::quantised<K>(typed, i));
}

void quantise_all(ElementKind kind, const void* elements, uint64_t count,
                  std::vector<uint64_t>& q) {
    switch (kind) {
        case ElementKind::Float32:
            return quantise_all<ElementKind::Float32>(elements, count, q);
        case ElementKind::Float16:
            return quantise_all<ElementKind::Float16>(elements, count, q);
        case ElementKind::BFloat16:
            return quantise_all<ElementKind::BFloat16>(elements, count, q);
        case ElementKind::Float64:
            return quantise_all<ElementKind::Float64>(elements, count, q);
    }
}

Expected by_rule(const ProbabilityView& view) {
    Expected e;
    e.totals = scan_table(view);
    if (view.count <= SMALL_COUNT) quantise_all(view.kind, view.data, view.count, e.q);
    // The middle and the last symbol, and both sides of the middle one's upper bound: few,
    // as the scalar rule is slow under the fuzzer's instrumentation.
    const uint64_t n = view.count;
    e.symbols = {n / 2, n - 1};
    for (uint64_t s : e.symbols)
        e.ranges.push_back(symbol_range(view, e.totals, s));
    e.targets = {0, e.ranges[0].cum_high - 1, e.ranges[0].cum_high};
    for (uint64_t t : e.targets)
        e.searches.push_back(find_symbol(view, e.totals, t));
    return e;
}

// The primitives of kind K's row: a result below FAST_LIMIT is a promise of exactness.
template <ElementKind K>
void check_row(const kernels::KernelRow<K>& row, const ProbabilityView& view,
               const Expected& rule) {
    const auto* elements = static_cast<const Storage<K>*>(view.data);
    if (view.count <= kernels::MAX_RUN) {
        const Totals run = row.block(elements, view.count);
        if (run.max < kernels::FAST_LIMIT) {
            CHECK(run.sum == rule.totals.sum && run.max == rule.totals.max);
        }
    }
    if (view.count <= SMALL_COUNT) {
        // The callers' arrays have SMALL_COUNT slots, which the vector paths fill in whole
        // lanes; exactly that many, so that a write past them is caught.
        std::vector<uint64_t> q(SMALL_COUNT);
        const Totals small = row.small(elements, view.count, q.data());
        if (small.max < kernels::FAST_LIMIT) {
            CHECK(small.sum == rule.totals.sum && small.max == rule.totals.max);
            CHECK(std::equal(rule.q.begin(), rule.q.end(), q.begin()));
        }
    }
}

void check_path(const kernels::BlockStatsTable& path, const ProbabilityView& view,
                const Expected& rule) {
    visit_kind(view.kind, [&](auto k) { check_row<k()>(kernels::row_of<k()>(path), view, rule); });
    // The passes the coder runs, with this path in use.
    const kernels::testing::ForcedPath forced(path);
    RunScan scan;
    scan_runs(view, scan);
    CHECK(scan.totals.sum == rule.totals.sum && scan.totals.max == rule.totals.max);
    for (std::size_t i = 0; i < rule.symbols.size(); ++i) {
        CHECK(encoder_share(view, rule.symbols[i]) == rule.ranges[i]);
    }
    for (std::size_t i = 0; i < rule.targets.size(); ++i) {
        CHECK(search_runs(view, scan, rule.targets[i]) == rule.searches[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const uint8_t head = data[0];
    const auto kind = static_cast<ElementKind>(head & 3);
    const std::size_t width = width_of(kind);
    const std::size_t skip = (head >> 2) & 7;
    const std::size_t copies = COPIES[head >> 5];
    const std::size_t piece = (size - 1) / width * width;
    const std::size_t count = piece / width * copies;
    if (count <= skip) return 0;
    // Exactly the elements, so that a read past the last one is caught.
    std::vector<uint8_t> storage(piece * copies);
    for (std::size_t c = 0; c < copies; ++c)
        std::memcpy(storage.data() + c * piece, data + 1, piece);
    const ProbabilityView view{kind, storage.data() + skip * width, count - skip};

    const Expected rule = by_rule(view);
    for (const kernels::BlockStatsTable* path : kernels::compiled_paths()) {
        if (kernels::cpu_supports(*path)) check_path(*path, view, rule);
    }
    return 0;
}
