// Which memory is borrowed, and how: the state behind the shared borrow registry, kept
// free of Python so that the rules can be read (and reasoned about) on their own.
//
// Borrows are grouped by base address (the object that owns the memory). Within a base,
// each distinct key carries a count: n > 0 shared borrows of exactly that key, or -1 for
// one exclusive borrow. A count of 0 never stays, and neither does a base without keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "engine/byte_buffer.hpp"

namespace vantor::binding {

// The bytes an array can reach and the lattice its elements lie on.
struct BorrowKey {
    uintptr_t start;  // first byte of the range
    uintptr_t end;    // one past the last byte
    uintptr_t data;   // the array's data pointer
    int64_t gcd;      // gcd of the strides; for one dimension the stride itself, sign included
    bool operator==(const BorrowKey&) const = default;
};

// The key of an array with `nd` dimensions, strides in bytes and elements of `element_size`
// bytes.
BorrowKey borrow_key(uintptr_t data, int nd, const intptr_t* dimensions, const intptr_t* strides,
                     intptr_t element_size);

// Whether two keys may reach a common element: their ranges overlap and their data
// pointers differ by a multiple of the gcd of their strides. This over-approximates.
bool conflicts(const BorrowKey& a, const BorrowKey& b);

// Return codes shared with every extension that uses the registry.
inline constexpr int BORROW_OK = 0;
inline constexpr int BORROW_CONFLICT = -1;
inline constexpr int BORROW_NOT_WRITEABLE = -2;
// Ours alone: the registry itself could not do its work (never expected).
inline constexpr int BORROW_INTERNAL_ERROR = -3;

// Running out of memory for the registry is fatal, as for our other buffers.
template <class T>
struct RegistryAllocator {
    using value_type = T;
    RegistryAllocator() = default;
    template <class U>
    RegistryAllocator(const RegistryAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        void* memory = std::malloc(n * sizeof(T));
        if (memory == nullptr) fail_allocation(n * sizeof(T));
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, std::size_t) noexcept { std::free(memory); }
    template <class U>
    bool operator==(const RegistryAllocator<U>&) const noexcept {
        return true;
    }
};

// Borrows are few at any moment (one per array inside a running call, across every
// extension in the process), so plain arrays searched in order beat hashing; the conflict
// test reads every key of a base anyway. Slots and key arrays given back are kept with
// their capacity, so that a borrow and its release allocate nothing once the table is warm.
class BorrowTable {
  public:
    int acquire(uintptr_t base, const BorrowKey& key);
    int acquire_mut(uintptr_t base, const BorrowKey& key);
    // Giving back a borrow that is not recorded (or not of that sort) changes nothing.
    void release(uintptr_t base, const BorrowKey& key);
    void release_mut(uintptr_t base, const BorrowKey& key);

    bool empty() const { return active_ == 0; }

  private:
    struct KeyCount {
        BorrowKey key;
        int64_t count;
    };
    struct Base {
        uintptr_t address = 0;
        std::vector<KeyCount, RegistryAllocator<KeyCount>> keys;  // never empty while active
    };

    Base* find_base(uintptr_t address);
    void add_base(uintptr_t address, const BorrowKey& key, int64_t count);
    // Removes the key, and the base with it when it was the base's last key.
    void remove_key(Base& base, KeyCount& entry);

    // Active bases first, then spare slots.
    std::vector<Base, RegistryAllocator<Base>> bases_;
    std::size_t active_ = 0;
};

}  // namespace vantor::binding
