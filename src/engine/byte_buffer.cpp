#include "byte_buffer.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace vantor {

namespace {

uint8_t* allocate(std::size_t bytes) {
    auto* data = static_cast<uint8_t*>(std::malloc(bytes));
    if (data == nullptr) fail_allocation(bytes);
    return data;
}

}  // namespace

void fail_allocation(std::size_t bytes) {
    // Through the C library, unbuffered: nothing is allocated on the way out.
    std::fprintf(stderr, "memory allocation of %zu bytes failed\n", bytes);
    std::abort();
}

ByteBuffer::ByteBuffer(std::size_t capacity) : capacity_(capacity) {
    if (capacity != 0) data_ = allocate(capacity);
}

ByteBuffer ByteBuffer::copy_of(const uint8_t* bytes, std::size_t size) {
    ByteBuffer copy(size);
    if (size != 0) std::memcpy(copy.data_, bytes, size);
    copy.length_ = size;
    return copy;
}

uint64_t ByteBuffer::word_at_end(std::size_t index) const {
    uint64_t word = 0;
    for (std::size_t i = 0; i < sizeof word; ++i)
        word = (word << 8) | (index + i < length_ ? data_[index + i] : 0u);
    return word;
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : capacity_(std::exchange(other.capacity_, 0)),
      data_(std::exchange(other.data_, nullptr)),
      length_(std::exchange(other.length_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        capacity_ = std::exchange(other.capacity_, 0);
        data_ = std::exchange(other.data_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

ByteBuffer::~ByteBuffer() {
    std::free(data_);
}

void ByteBuffer::grow() {
    std::size_t capacity = capacity_ * 2 > 8 ? capacity_ * 2 : 8;
    auto* data = static_cast<uint8_t*>(std::realloc(data_, capacity));
    if (data == nullptr) fail_allocation(capacity);
    data_ = data;
    capacity_ = capacity;
}

}  // namespace vantor
