// Time per engine step against the floor of one read: a plain vectorised sum of the array.
// Build: cmake -DVANTOR_BUILD_BENCHMARKS=ON; run: engine_bench [n ...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "engine/coder_state.hpp"
#include "engine/decoder.hpp"
#include "engine/encoder.hpp"
#include "engine/kernels/dispatch.hpp"

using namespace vantor;

template <class Fn>
double median_ns(Fn&& fn, int reps) {
    std::vector<double> times;
    for (int r = 0; r < 31; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < reps; ++i)
            fn(i);
        const auto stop = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / reps);
    }
    std::nth_element(times.begin(), times.begin() + 15, times.end());
    return times[15];
}

__attribute__((noinline)) float plain_sum(const float* p, std::size_t n) {
    float acc[16] = {};
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16)
        for (std::size_t k = 0; k < 16; ++k)
            acc[k] += p[i + k];
    float total = 0;
    for (; i < n; ++i)
        total += p[i];
    for (float a : acc)
        total += a;
    return total;
}

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes{2, 16, 256, 4096, 65536, 262144};
    if (argc > 1) {
        sizes.clear();
        for (int i = 1; i < argc; ++i)
            sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    }
    std::printf("path: %s\n%10s %12s %12s %12s %10s %10s\n", kernels::active_block_stats().name,
                "n", "sum ns", "encode ns", "decode ns", "enc/sum", "dec/sum");
    std::mt19937_64 rng(1);
    for (std::size_t n : sizes) {
        std::vector<float> probs(n);
        double total = 0;
        for (auto& p : probs)
            total += (p = static_cast<float>(rng() % 1000 + 1));
        for (auto& p : probs)
            p = static_cast<float>(p / total);
        std::vector<uint64_t> symbols(1024);
        for (auto& s : symbols)
            s = rng() % n;
        const ProbabilityView view{ElementKind::Float32, probs.data(), n};
        const int reps = n >= 65536 ? 20 : n >= 4096 ? 500 : 20000;
        volatile float sink = 0;
        const double sum_ns =
            median_ns([&](int) { sink = sink + plain_sum(probs.data(), n); }, reps);
        CoderState encoder;
        const double enc_ns =
            median_ns([&](int i) { encode_symbol(encoder, view, symbols[i & 1023]); }, reps);
        CoderState decoder;
        std::vector<uint8_t> noise(1 << 16);
        for (auto& b : noise)
            b = static_cast<uint8_t>(rng());
        load_stream(decoder, noise.data(), noise.size());
        const double dec_ns = median_ns([&](int) { decode_symbol(decoder, view); }, reps);
        std::printf("%10zu %12.1f %12.1f %12.1f %10.2f %10.2f\n", n, sum_ns, enc_ns, dec_ns,
                    enc_ns / sum_ns, dec_ns / sum_ns);
    }
}
