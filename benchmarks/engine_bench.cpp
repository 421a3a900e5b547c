// The engine's step against one read of the same buffer, in thread CPU time.
//
// For each element type and length, one probability vector sits in a buffer 16 bytes past
// a cache line (where NumPy's allocator tends to put an array). In each repetition the
// benchmark times a loop of: an eight-accumulator OR of the buffer's bytes with the widest
// vectors the CPU has (the floor of one read), encoder steps, and decoder steps, one after
// the other; it reports the median of each over the repetitions, as bytes per second and as
// a ratio to the read.
//
// Build: cmake -DVANTOR_BUILD_BENCHMARKS=ON; run: engine_bench [--quick] [--path NAME] [n ...]
// (--path runs a narrower compiled path than the CPU's own: scalar, avx2, ...). Builds for
// x86-64 and aarch64.
// GCC 12's AVX-512 headers trip -Wuninitialized on their own undefined vectors.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "engine/coder_state.hpp"
#include "engine/decoder.hpp"
#include "engine/encoder.hpp"
#include "engine/kernels/dispatch.hpp"

using namespace vantor;

namespace {

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The read floor: every byte OR-ed into eight accumulators, then folded.
#if defined(__x86_64__)
__attribute__((target("avx512f"), noinline)) uint64_t read_avx512(const uint8_t* p, std::size_t n) {
    __m512i acc[8];
    for (auto& a : acc)
        a = _mm512_setzero_si512();
    std::size_t i = 0;
    for (; i + 512 <= n; i += 512) {
        for (std::size_t k = 0; k < 8; ++k)
            acc[k] = _mm512_or_si512(acc[k], _mm512_loadu_si512(p + i + 64 * k));
    }
    for (std::size_t k = 1; k < 8; ++k)
        acc[0] = _mm512_or_si512(acc[0], acc[k]);
    uint64_t folded = static_cast<uint64_t>(_mm512_reduce_or_epi64(acc[0]));
    for (; i < n; ++i)
        folded |= p[i];
    return folded;
}

__attribute__((target("avx2"), noinline)) uint64_t read_avx2(const uint8_t* p, std::size_t n) {
    __m256i acc[8];
    for (auto& a : acc)
        a = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 256 <= n; i += 256) {
        for (std::size_t k = 0; k < 8; ++k) {
            const auto* at = reinterpret_cast<const __m256i*>(p + i + 32 * k);
            acc[k] = _mm256_or_si256(acc[k], _mm256_loadu_si256(at));
        }
    }
    for (std::size_t k = 1; k < 8; ++k)
        acc[0] = _mm256_or_si256(acc[0], acc[k]);
    uint64_t lanes[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), acc[0]);
    uint64_t folded = lanes[0] | lanes[1] | lanes[2] | lanes[3];
    for (; i < n; ++i)
        folded |= p[i];
    return folded;
}

#elif defined(__aarch64__)
__attribute__((noinline)) uint64_t read_neon(const uint8_t* p, std::size_t n) {
    uint8x16_t acc[8];
    for (auto& a : acc)
        a = vdupq_n_u8(0);
    std::size_t i = 0;
    for (; i + 128 <= n; i += 128) {
        for (std::size_t k = 0; k < 8; ++k)
            acc[k] = vorrq_u8(acc[k], vld1q_u8(p + i + 16 * k));
    }
    for (std::size_t k = 1; k < 8; ++k)
        acc[0] = vorrq_u8(acc[0], acc[k]);
    const uint64x2_t pair = vreinterpretq_u64_u8(acc[0]);
    uint64_t folded = vgetq_lane_u64(pair, 0) | vgetq_lane_u64(pair, 1);
    for (; i < n; ++i)
        folded |= p[i];
    return folded;
}
#endif

using ReadFn = uint64_t (*)(const uint8_t*, std::size_t);

struct Kind {
    const char* name;
    ElementKind kind;
    std::size_t width;
};
const Kind KINDS[] = {{"float32", ElementKind::Float32, 4},
                      {"float16", ElementKind::Float16, 2},
                      {"bfloat16", ElementKind::BFloat16, 2},
                      {"float64", ElementKind::Float64, 8}};

// float to binary16 and bfloat16, rounding to nearest even (finite, non-negative inputs
// up to 1, which is all the benchmark makes).
uint16_t to_float16(float x) {
    // Below 2^-14, binary16 holds multiples of 2^-24.
    if (x < 6.103515625e-05f) return static_cast<uint16_t>(std::nearbyint(x * 16777216.0f));
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const uint32_t rebased = bits - (uint32_t{127 - 15} << 23);
    const uint32_t dropped = rebased & 0x1FFF;
    uint32_t half = rebased >> 13;
    if (dropped > 0x1000 || (dropped == 0x1000 && (half & 1) != 0)) ++half;
    return static_cast<uint16_t>(half);
}
uint16_t to_bfloat16(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return static_cast<uint16_t>((bits + 0x7FFF + ((bits >> 16) & 1)) >> 16);
}

// A normalised random vector stored as `kind`, 16 bytes past a cache line.
struct Buffer {
    std::vector<uint8_t> storage;
    uint8_t* data;
    std::size_t bytes;

    Buffer(const Kind& kind, std::size_t n, std::mt19937_64& rng)
        : storage(n * kind.width + 128), bytes(n * kind.width) {
        const auto address = reinterpret_cast<uintptr_t>(storage.data());
        data = storage.data() + ((64 - address % 64) % 64) + 16;
        std::vector<double> weights(n);
        double total = 0;
        for (double& w : weights)
            total += (w = static_cast<double>(rng() % 1000 + 1));
        for (std::size_t i = 0; i < n; ++i) {
            const double p = weights[i] / total;
            uint8_t* at = data + i * kind.width;
            if (kind.kind == ElementKind::Float64) {
                std::memcpy(at, &p, 8);
            } else if (kind.kind == ElementKind::Float32) {
                const auto f = static_cast<float>(p);
                std::memcpy(at, &f, 4);
            } else {
                const auto f = static_cast<float>(p);
                const uint16_t h =
                    kind.kind == ElementKind::Float16 ? to_float16(f) : to_bfloat16(f);
                std::memcpy(at, &h, 2);
            }
        }
    }
};

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

struct Result {
    double read, encode, decode;  // seconds per call, medians
};

Result measure(const Kind& kind, std::size_t n, ReadFn read, int repetitions,
               std::mt19937_64& rng) {
    const Buffer buffer(kind, n, rng);
    const ProbabilityView view{kind.kind, buffer.data, n};
    std::vector<uint64_t> symbols(1024);
    for (auto& s : symbols)
        s = rng() % n;
    std::vector<uint8_t> stream(1 << 16);
    for (auto& b : stream)
        b = static_cast<uint8_t>(rng());
    // About a millisecond of steps per timed loop.
    const int calls = static_cast<int>(std::clamp<std::size_t>(4'000'000 / (n + 64), 3, 20000));

    std::vector<double> read_t, encode_t, decode_t;
    volatile uint64_t sink = 0;
    for (int r = 0; r < repetitions; ++r) {
        double start = thread_seconds();
        for (int i = 0; i < calls; ++i)
            sink = sink + read(buffer.data, buffer.bytes);
        read_t.push_back((thread_seconds() - start) / calls);

        CoderState encoder;
        start = thread_seconds();
        for (int i = 0; i < calls; ++i)
            encode_symbol(encoder, view, symbols[static_cast<std::size_t>(i) & 1023]);
        encode_t.push_back((thread_seconds() - start) / calls);

        CoderState decoder;
        load_stream(decoder, stream.data(), stream.size());
        start = thread_seconds();
        for (int i = 0; i < calls; ++i)
            sink = sink + decode_symbol(decoder, view).symbol;
        decode_t.push_back((thread_seconds() - start) / calls);
    }
    return {median(read_t), median(encode_t), median(decode_t)};
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes;
    int repetitions = 21;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--quick") {
            repetitions = 5;
        } else if (std::string(argv[i]) == "--path" && i + 1 < argc) {
            const std::string name = argv[++i];
            bool known = false;
            for (const auto* path : kernels::compiled_paths()) {
                if (name == path->name && kernels::cpu_supports(*path)) {
                    kernels::use_block_stats(*path);
                    known = true;
                }
            }
            if (!known) {
                std::fprintf(stderr, "no compiled path %s that this CPU runs\n", name.c_str());
                return 1;
            }
        } else {
            sizes.push_back(std::strtoull(argv[i], nullptr, 10));
        }
    }
    if (sizes.empty()) sizes = {2, 16, 256, 4096, 65536, 262144, 1048576};

#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool avx512 = __builtin_cpu_supports("avx512f");
    const ReadFn read = avx512 ? read_avx512 : read_avx2;
    const char* read_name = avx512 ? "AVX-512" : "AVX2";
#elif defined(__aarch64__)
    const ReadFn read = read_neon;
    const char* read_name = "NEON";
#endif
    std::printf("path: %s; read: %s, eight accumulators; thread CPU time, medians of %d\n",
                kernels::active_block_stats().name, read_name, repetitions);
    std::printf("%-9s %8s %10s %10s %10s %9s %9s %10s %10s\n", "dtype", "n", "read GB/s",
                "enc GB/s", "dec GB/s", "enc/read", "dec/read", "enc ns", "dec ns");
    std::mt19937_64 rng(1);
    for (const Kind& kind : KINDS) {
        for (std::size_t n : sizes) {
            const Result r = measure(kind, n, read, repetitions, rng);
            const auto bytes = static_cast<double>(n * kind.width);
            std::printf("%-9s %8zu %10.1f %10.1f %10.1f %9.2f %9.2f %10.1f %10.1f\n", kind.name, n,
                        bytes / r.read * 1e-9, bytes / r.encode * 1e-9, bytes / r.decode * 1e-9,
                        r.encode / r.read, r.decode / r.read, r.encode * 1e9, r.decode * 1e9);
        }
    }
}
