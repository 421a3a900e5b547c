// A read-only, contiguous run of probabilities of one element type, read in place.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "element_kind.hpp"

namespace vantor {

struct ProbabilityView {
    ElementKind kind;
    const void* data;  // first element; may be null when count is 0
    uint64_t count;
};

// IEEE binary16 to double, exact for every value: subnormals, infinities, signed zeros, NaN.
inline double half_to_double(uint16_t bits) {
    const bool negative = (bits & 0x8000u) != 0;
    const unsigned exponent = (bits >> 10) & 0x1Fu;
    const unsigned fraction = bits & 0x3FFu;
    uint64_t out;
    if (exponent == 0x1F) {
        // Infinity or NaN: keep the payload in the top fraction bits.
        out = (uint64_t{0x7FF} << 52) | (uint64_t{fraction} << 42);
    } else if (exponent != 0) {
        out = (uint64_t{exponent - 15 + 1023} << 52) | (uint64_t{fraction} << 42);
    } else if (fraction == 0) {
        out = 0;
    } else {
        // Subnormal: fraction * 2^-24, normalised into the double's wider exponent.
        int shift = 0;
        unsigned f = fraction;
        while ((f & 0x400u) == 0) {
            f <<= 1;
            ++shift;
        }
        out = (uint64_t(1023 - 14 - shift) << 52) | (uint64_t{f & 0x3FFu} << 42);
    }
    if (negative) out |= uint64_t{1} << 63;
    double result;
    std::memcpy(&result, &out, sizeof result);
    return result;
}

// bfloat16 is the upper half of an IEEE binary32, so widening through float is exact.
inline double bfloat16_to_double(uint16_t bits) {
    const uint32_t wide = uint32_t{bits} << 16;
    float value;
    std::memcpy(&value, &wide, sizeof value);
    return value;
}

// How each element kind is widened; the kernels are templates over this.
template <ElementKind K>
struct Element;

template <>
struct Element<ElementKind::Float32> {
    static double widen(float x) { return x; }
};

template <>
struct Element<ElementKind::Float16> {
    static double widen(uint16_t x) { return half_to_double(x); }
};

template <>
struct Element<ElementKind::BFloat16> {
    static double widen(uint16_t x) { return bfloat16_to_double(x); }
};

template <>
struct Element<ElementKind::Float64> {
    static double widen(double x) { return x; }
};

// Calls fn(std::integral_constant<ElementKind, K>{}) for the view's kind, so that the
// element loop inside is compiled once per kind with no per-element switch.
template <class Fn>
decltype(auto) visit_kind(ElementKind kind, Fn&& fn) {
    switch (kind) {
        case ElementKind::Float16:
            return fn(std::integral_constant<ElementKind, ElementKind::Float16>{});
        case ElementKind::BFloat16:
            return fn(std::integral_constant<ElementKind, ElementKind::BFloat16>{});
        case ElementKind::Float64:
            return fn(std::integral_constant<ElementKind, ElementKind::Float64>{});
        case ElementKind::Float32:
        default:
            return fn(std::integral_constant<ElementKind, ElementKind::Float32>{});
    }
}

}  // namespace vantor
