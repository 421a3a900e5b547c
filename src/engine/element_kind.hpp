// The element types a probability vector can have, and how each is stored.
#pragma once

#include <cstdint>

namespace vantor {

enum class ElementKind : uint8_t { Float32, Float16, BFloat16, Float64 };

// The storage of one element of kind K: the bits as they lie in the array. Types alone, no
// code, so that the kernels compiled for wider instruction sets can name them.
template <ElementKind K>
struct StorageOf;
template <>
struct StorageOf<ElementKind::Float32> {
    using type = float;
};
template <>
struct StorageOf<ElementKind::Float16> {
    using type = uint16_t;
};
template <>
struct StorageOf<ElementKind::BFloat16> {
    using type = uint16_t;
};
template <>
struct StorageOf<ElementKind::Float64> {
    using type = double;
};

template <ElementKind K>
using Storage = typename StorageOf<K>::type;

}  // namespace vantor
