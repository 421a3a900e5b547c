// A growable run of bytes that owns its storage (the encoder's output, the decoder's input).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vantor {

// A word between native and big-endian order (the swap is its own inverse).
inline uint64_t from_big_endian(uint64_t word) {
    if constexpr (std::endian::native == std::endian::big) return word;
#if defined(_MSC_VER) && !defined(__clang__)
    return _byteswap_uint64(word);
#else
    return __builtin_bswap64(word);
#endif
}

// Stores `word` at `at` as eight big-endian bytes.
inline void store_big_endian(uint8_t* at, uint64_t word) {
    word = from_big_endian(word);
    std::memcpy(at, &word, sizeof word);
}

class ByteBuffer {
  public:
    ByteBuffer() = default;
    // Reserves exactly `capacity` bytes; 0 owns no storage.
    explicit ByteBuffer(std::size_t capacity);
    // A buffer holding a copy of `size` bytes, with capacity `size`.
    static ByteBuffer copy_of(const uint8_t* bytes, std::size_t size);

    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer();

    void push(uint8_t byte) {
        if (length_ == capacity_) grow();
        data_[length_++] = byte;
    }

    // For a writer that keeps its own position: the storage past the content, and how many
    // of its bytes now belong to the content.
    uint8_t* free_space() { return data_ + length_; }
    std::size_t free_bytes() const { return capacity_ - length_; }
    void extend(std::size_t count) { length_ += count; }

    // Drops the bytes from `length` on (length <= size()); the storage stays.
    void truncate(std::size_t length) { length_ = length < length_ ? length : length_; }

    std::size_t capacity() const { return capacity_; }
    std::size_t size() const { return length_; }
    const uint8_t* data() const { return data_; }
    uint8_t operator[](std::size_t index) const { return data_[index]; }

    // The eight bytes from `index` (at most size()) as a big-endian word, zeros past the
    // end: one load wherever the storage reaches that far, all but the last few bytes.
    uint64_t word_at(std::size_t index) const {
        if (capacity_ - index < sizeof(uint64_t)) return word_at_end(index);
        uint64_t word;
        std::memcpy(&word, data_ + index, sizeof word);
        return from_big_endian(word);
    }

  private:
    uint64_t word_at_end(std::size_t index) const;

    // Capacity becomes max(2 * capacity, 8), keeping the content.
    void grow();

    std::size_t capacity_ = 0;
    uint8_t* data_ = nullptr;
    std::size_t length_ = 0;
};

// Running out of memory for our own buffers is fatal, as for any allocation the
// runtime makes: the request is reported on standard error and the process aborts.
[[noreturn]] void fail_allocation(std::size_t bytes);

}  // namespace vantor
