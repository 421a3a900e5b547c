// The element types a probability vector can have.
#pragma once

#include <cstdint>

namespace vantor {

enum class ElementKind : uint8_t { Float32, Float16, BFloat16, Float64 };

}  // namespace vantor
