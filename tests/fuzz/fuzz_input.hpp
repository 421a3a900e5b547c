// Turns a fuzzer's bytes into probability vectors of every kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/probability_view.hpp"

namespace vantor::fuzzing {

class Input {
  public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    // Up to `n` bytes, fewer at the end of the input.
    std::vector<uint8_t> bytes(std::size_t n) {
        n = n < size_ - pos_ ? n : size_ - pos_;
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A vector whose elements are raw bit patterns of the kind, so every NaN, infinity and
// subnormal can appear. The storage is exactly count elements long, so reading past it is
// an out-of-bounds read the sanitizer reports.
struct FuzzVector {
    ElementKind kind;
    std::vector<uint8_t> storage;
    uint64_t count;
    ProbabilityView view() const {
        return {kind, storage.empty() ? nullptr : storage.data(), count};
    }
};

inline FuzzVector next_vector(Input& in) {
    const uint8_t head = in.byte();
    const auto kind = static_cast<ElementKind>(head & 3);
    const std::size_t width = kind == ElementKind::Float64   ? 8
                              : kind == ElementKind::Float32 ? 4
                                                             : 2;
    // Mostly short vectors, now and then long ones that reach the vector paths' runs.
    std::size_t count = head >> 2;
    if (count == 63) count = 1000 + in.byte() * 16;
    FuzzVector v{kind, in.bytes(count * width), 0};
    v.storage.resize(v.storage.size() / width * width);
    v.count = v.storage.size() / width;
    return v;
}

}  // namespace vantor::fuzzing
