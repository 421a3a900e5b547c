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
#include <unordered_map>
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

// Binary (Stein) gcd of two magnitudes; gcd(0, x) = x.
uint64_t stein_gcd(uint64_t a, uint64_t b);

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

class BorrowTable {
  public:
    BorrowTable();

    int acquire(uintptr_t base, const BorrowKey& key);
    int acquire_mut(uintptr_t base, const BorrowKey& key);
    // Giving back a borrow that is not recorded (or not of that sort) changes nothing.
    void release(uintptr_t base, const BorrowKey& key);
    void release_mut(uintptr_t base, const BorrowKey& key);

    bool empty() const { return bases_.empty(); }

  private:
    struct KeyHash {
        std::size_t operator()(const BorrowKey& key) const noexcept;
    };
    using Counts = std::unordered_map<BorrowKey, int64_t, KeyHash, std::equal_to<BorrowKey>,
                                      RegistryAllocator<std::pair<const BorrowKey, int64_t>>>;
    using Bases =
        std::unordered_map<uintptr_t, Counts, std::hash<uintptr_t>, std::equal_to<uintptr_t>,
                           RegistryAllocator<std::pair<const uintptr_t, Counts>>>;

    void add_key(Counts& counts, const BorrowKey& key, int64_t count);
    void add_base(uintptr_t base, const BorrowKey& key, int64_t count);
    void remove_key(Bases::iterator base, Counts::iterator key);

    Bases bases_;
    // Entries given back are kept for reuse (up to the reserved number), so that a borrow
    // and its release allocate nothing once the table is warm.
    std::vector<Bases::node_type, RegistryAllocator<Bases::node_type>> spare_bases_;
    std::vector<Counts::node_type, RegistryAllocator<Counts::node_type>> spare_keys_;
};

}  // namespace vantor::binding
