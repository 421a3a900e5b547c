// A literal, unoptimised transcription of the coding rules on widened values, with exact
// 128-bit partial sums: an oracle for the engine's streams, symbols and refusals.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace vantor::testing {

using u64 = uint64_t;
__extension__ typedef unsigned __int128 u128;

inline u64 reference_quantise(double x) {
    const double p = x * 4294967296.0;
    u64 u;
    if (std::isnan(p) || !(p >= 0)) {
        u = 0;
    } else if (p > 18446744073709549568.0) {
        u = UINT64_MAX;
    } else {
        u = static_cast<u64>(p);
    }
    return u == 0 ? 1 : u;
}

struct ReferenceTable {
    std::vector<u64> f;

    explicit ReferenceTable(const std::vector<double>& x) {
        u64 best = 0, d = 0, sum = 0;
        std::vector<u64> q;
        for (std::size_t i = 0; i < x.size(); ++i) {
            q.push_back(reference_quantise(x[i]));
            if (q[i] > best) best = q[i], d = i;
            sum += q[i];
        }
        f = q;
        if (!f.empty()) f[d] = q[d] + (u64{1} << 32) - sum;
    }

    // A proper share: no exact partial sum up to s exceeds 2^32, and f_s >= 1.
    bool codable(u64 s) const {
        if (s >= f.size() || f[s] == 0) return false;
        u128 total = 0;
        for (u64 i = 0; i <= s; ++i)
            total += f[i];
        return total <= (u128{1} << 32);
    }
    u64 cum_low(u64 s) const {
        u64 c = 0;
        for (u64 i = 0; i < s; ++i)
            c += f[i];
        return c;
    }
};

struct ReferenceCoder {
    static constexpr u64 HALF = u64{1} << 61, QUARTER = u64{1} << 60, THREE = u64{3} << 60;
    u64 low = 0, high = (u64{1} << 62) - 1, pending = 0, value = 0;
    std::vector<int> bits;
    std::vector<uint8_t> in;
    std::size_t in_bit = 0;

    void narrow(u64 lo, u64 hi) {
        const u64 r = high - low + 1;
        const u64 old = low;
        high = old + static_cast<u64>((u128(r) * hi) >> 32) - 1;
        low = old + static_cast<u64>((u128(r) * lo) >> 32);
    }
    void settle(int b) {
        bits.push_back(b);
        for (; pending; --pending)
            bits.push_back(1 - b);
    }
    int next_bit() {
        const std::size_t i = in_bit++;
        return i / 8 < in.size() ? (in[i / 8] >> (7 - i % 8)) & 1 : 0;
    }

    void encode(const std::vector<double>& x, u64 s) {
        const ReferenceTable t(x);
        const u64 lo = t.cum_low(s);
        narrow(lo, lo + t.f[s]);
        for (;;) {
            if (high < HALF) {
                settle(0);
            } else if (low >= HALF) {
                settle(1);
                low -= HALF, high -= HALF;
            } else if (high >= THREE || low < QUARTER) {
                break;
            } else {
                ++pending;
                low -= QUARTER, high -= QUARTER;
            }
            low <<= 1;
            high = high << 1 | 1;
        }
    }
    std::vector<uint8_t> finish() {
        ++pending;
        settle(low >= QUARTER ? 1 : 0);
        std::vector<uint8_t> out((bits.size() + 7) / 8, 0);
        for (std::size_t i = 0; i < bits.size(); ++i)
            out[i / 8] |= uint8_t(bits[i] << (7 - i % 8));
        return out;
    }

    void start(const std::vector<uint8_t>& stream) {
        in = stream;
        in_bit = 0;
        low = 0, high = (u64{1} << 62) - 1, value = 0;
        for (int i = 0; i < 62; ++i)
            value = value << 1 | u64(next_bit());
    }
    // Returns the symbol, or UINT64_MAX when the search finds no proper share.
    u64 decode(const std::vector<double>& x) {
        const ReferenceTable t(x);
        const u64 r = high - low + 1;
        const u64 target = static_cast<u64>((((u128(value - low) + 1) << 32) - 1) / r);
        u64 c = 0, s = 0;
        for (; s < t.f.size(); ++s) {
            if (c + t.f[s] > target) break;
            c += t.f[s];
        }
        if (s == t.f.size() || !t.codable(s)) return UINT64_MAX;
        narrow(c, c + t.f[s]);
        for (;;) {
            if (high < HALF) {
            } else if (low >= HALF) {
                value -= HALF, low -= HALF, high -= HALF;
            } else if (high >= THREE || low < QUARTER) {
                break;
            } else {
                value -= QUARTER, low -= QUARTER, high -= QUARTER;
            }
            low <<= 1;
            high = high << 1 | 1;
            value = value << 1 | u64(next_bit());
        }
        return s;
    }
};

}  // namespace vantor::testing
