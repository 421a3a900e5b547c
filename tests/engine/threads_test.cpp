// The engine used from many threads at once, as the module's callers do with one coder per
// thread: coders share nothing but the block-statistics path chosen for the CPU, so each
// thread's stream is exactly the one a single thread makes. scripts/tsan runs these tests
// under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <latch>
#include <random>
#include <thread>
#include <vector>

#include "engine/frequency_model.hpp"
#include "engine/kernels/dispatch.hpp"
#include "support.hpp"

namespace vantor {
namespace {

constexpr std::size_t THREADS = 8;

// One thread's work: vectors of every kind, some long enough for the vector paths, and a
// symbol for each.
struct Work {
    std::vector<std::vector<float>> f32;
    std::vector<std::vector<double>> f64;
    std::vector<uint64_t> symbols;
};

Work make_work(unsigned seed) {
    std::mt19937_64 rng(seed);
    Work work;
    for (int step = 0; step < 40; ++step) {
        const std::size_t n = step % 5 == 0 ? 5000 : 2 + rng() % 60;
        std::vector<double> weights(n);
        double total = 0;
        for (double& w : weights)
            total += w = 1.0 + static_cast<double>(rng() % 1000);
        std::vector<float> f32(n);
        for (std::size_t i = 0; i < n; ++i) {
            weights[i] /= total;
            f32[i] = static_cast<float>(weights[i]);
        }
        work.f32.push_back(std::move(f32));
        work.f64.push_back(std::move(weights));
        work.symbols.push_back(rng() % n);
    }
    return work;
}

struct Result {
    std::vector<uint8_t> stream;
    std::vector<uint64_t> decoded;
    bool all_coded = true;
};

// Encodes the steps, alternating element kinds, then decodes the stream again.
Result run(const Work& work) {
    Result result;
    CoderState encoder;
    for (std::size_t i = 0; i < work.symbols.size(); ++i) {
        const ProbabilityView view =
            i % 2 ? testing::view_of(work.f64[i]) : testing::view_of(work.f32[i]);
        result.all_coded &= encode_symbol(encoder, view, work.symbols[i]) == StepStatus::Coded;
    }
    finish_stream(encoder);
    result.stream = testing::output_of(encoder);
    CoderState decoder;
    load_stream(decoder, result.stream.data(), result.stream.size());
    for (std::size_t i = 0; i < work.symbols.size(); ++i) {
        const ProbabilityView view =
            i % 2 ? testing::view_of(work.f64[i]) : testing::view_of(work.f32[i]);
        const DecodeOutcome outcome = decode_symbol(decoder, view);
        result.all_coded &= outcome.status == StepStatus::Coded;
        result.decoded.push_back(outcome.symbol);
    }
    return result;
}

TEST(Threads, IndependentCodersGiveTheStreamsOfOneThread) {
    std::vector<Work> work;
    std::vector<Result> alone;
    for (std::size_t t = 0; t < THREADS; ++t) {
        work.push_back(make_work(static_cast<unsigned>(t)));
        alone.push_back(run(work.back()));
        ASSERT_TRUE(alone.back().all_coded);
        ASSERT_EQ(alone.back().decoded, work.back().symbols);
    }
    // Released together, so that their steps overlap.
    std::vector<Result> together(THREADS);
    std::latch start(static_cast<std::ptrdiff_t>(THREADS));
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < 3; ++round)
                together[t] = run(work[t]);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (std::size_t t = 0; t < THREADS; ++t) {
        EXPECT_EQ(together[t].stream, alone[t].stream) << "thread " << t;
        EXPECT_EQ(together[t].decoded, alone[t].decoded) << "thread " << t;
    }
}

// The path is chosen once for the process; threads that meet it first at the same moment
// all see the same one.
TEST(Threads, ManyThreadsMeetTheKernelChoiceAtOnce) {
    constexpr std::size_t MANY = 32;
    std::vector<const kernels::BlockStatsTable*> seen(MANY);
    std::vector<float> probs(3000, 1.0f / 3000);
    std::vector<Totals> totals(MANY);
    std::latch start(static_cast<std::ptrdiff_t>(MANY));
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < MANY; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            seen[t] = &kernels::active_block_stats();
            RunScan scan;
            scan_runs(testing::view_of(probs), scan);
            totals[t] = scan.totals;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    const Totals rule = scan_table(testing::view_of(probs));
    for (std::size_t t = 0; t < MANY; ++t) {
        EXPECT_EQ(seen[t], &kernels::active_block_stats());
        EXPECT_EQ(totals[t].sum, rule.sum);
        EXPECT_EQ(totals[t].max, rule.max);
    }
}

// The test builds' switch between paths is met by coding threads while it turns: each
// thread sees some path at every lookup, and every path gives the rule's totals, so nothing
// changes but which kernels run (and ThreadSanitizer finds no race).
TEST(Threads, ForcingAPathWhileOthersCodeChangesNoResult) {
    constexpr std::size_t CODERS = 4;
    std::vector<float> probs(3000, 1.0f / 3000);
    const Totals rule = scan_table(testing::view_of(probs));
    std::atomic<bool> done{false};
    std::vector<std::size_t> wrong(CODERS, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < CODERS; ++t) {
        threads.emplace_back([&, t] {
            while (!done.load(std::memory_order_relaxed)) {
                RunScan scan;
                scan_runs(testing::view_of(probs), scan);
                wrong[t] += scan.totals.sum != rule.sum || scan.totals.max != rule.max;
            }
        });
    }
    for (int round = 0; round < 200; ++round) {
        for (const kernels::BlockStatsTable* path : kernels::compiled_paths()) {
            if (!kernels::cpu_supports(*path)) continue;
            const kernels::testing::ForcedPath forced(*path);
            std::this_thread::yield();  // a coding thread may meet it meanwhile
        }
    }
    done.store(true, std::memory_order_relaxed);
    for (std::thread& thread : threads)
        thread.join();
    for (std::size_t t = 0; t < CODERS; ++t)
        EXPECT_EQ(wrong[t], 0u) << "thread " << t;
}

}  // namespace
}  // namespace vantor
