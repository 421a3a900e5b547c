#include "borrow_table.hpp"

#include <limits>
#include <numeric>
#include <utility>

namespace vantor::binding {

namespace {

// |x| as an unsigned magnitude, defined for the smallest 64-bit integer too (2^63).
uint64_t magnitude(int64_t x) {
    return x < 0 ? uint64_t{0} - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
}

}  // namespace

BorrowKey borrow_key(uintptr_t data, int nd, const intptr_t* dimensions, const intptr_t* strides,
                     intptr_t element_size) {
    if (nd == 0) return {data, data, data, 1};
    if (nd == 1) {
        // The shape of every probability vector, so it skips the general loops.
        const int64_t stride = strides[0];
        if (dimensions[0] == 0) return {data, data, data, stride};
        const uint64_t offset =
            (static_cast<uint64_t>(dimensions[0]) - 1) * static_cast<uint64_t>(stride);
        const bool backwards = static_cast<int64_t>(offset) < 0;
        return {data + (backwards ? offset : 0),
                data + (backwards ? 0 : offset) + static_cast<uint64_t>(element_size), data,
                stride};
    }

    // Stored signed; a gcd of 2^63 (strides of only 0 and the smallest integer) wraps to
    // the smallest integer, whose magnitude is read back as 2^63.
    int64_t gcd = strides[0];
    for (int i = 1; i < nd; ++i) {
        gcd = static_cast<int64_t>(std::gcd(magnitude(gcd), magnitude(strides[i])));
    }

    bool empty = false;
    for (int i = 0; i < nd; ++i)
        empty = empty || dimensions[i] == 0;
    if (empty) return {data, data, data, gcd};

    // Offsets wrap rather than overflow: NumPy never builds an array whose extent does not
    // fit, and a foreign caller's nonsense must not be undefined behaviour here.
    uint64_t start = 0;
    uint64_t end = 0;
    for (int i = 0; i < nd; ++i) {
        const uint64_t offset =
            (static_cast<uint64_t>(dimensions[i]) - 1) * static_cast<uint64_t>(strides[i]);
        if (static_cast<int64_t>(offset) < 0) {
            start += offset;
        } else {
            end += offset;
        }
    }
    end += static_cast<uint64_t>(element_size);
    return {data + static_cast<uintptr_t>(start), data + static_cast<uintptr_t>(end), data, gcd};
}

bool conflicts(const BorrowKey& a, const BorrowKey& b) {
    if (b.start >= a.end || a.start >= b.end) return false;
    const uint64_t gcd = std::gcd(magnitude(a.gcd), magnitude(b.gcd));
    const uint64_t distance = a.data >= b.data ? a.data - b.data : b.data - a.data;
    // Both gcds 0: every stride on both sides is zero, so each key reaches exactly one
    // element, at its data pointer. They share it only when the pointers are equal.
    if (gcd == 0) return distance == 0;
    return distance % gcd == 0;
}

BorrowTable::Base* BorrowTable::find_base(uintptr_t address) {
    for (std::size_t i = 0; i < active_; ++i) {
        if (bases_[i].address == address) return &bases_[i];
    }
    return nullptr;
}

void BorrowTable::add_base(uintptr_t address, const BorrowKey& key, int64_t count) {
    if (active_ == bases_.size()) bases_.emplace_back();
    Base& base = bases_[active_++];
    base.address = address;
    base.keys.clear();
    base.keys.push_back({key, count});
}

void BorrowTable::remove_key(Base& base, KeyCount& entry) {
    std::swap(entry, base.keys.back());
    base.keys.pop_back();
    if (!base.keys.empty()) return;
    // The last active slot takes this one's place; swapping keeps both key arrays.
    Base& last = bases_[--active_];
    if (&base != &last) std::swap(base, last);
}

namespace {

template <class Keys>
auto find_key(Keys& keys, const BorrowKey& key) -> decltype(&keys[0]) {
    for (auto& entry : keys) {
        if (entry.key == key) return &entry;
    }
    return nullptr;
}

}  // namespace

int BorrowTable::acquire(uintptr_t address, const BorrowKey& key) {
    Base* base = find_base(address);
    if (base == nullptr) {
        add_base(address, key, 1);
        return BORROW_OK;
    }
    if (KeyCount* same = find_key(base->keys, key)) {
        if (same->count < 0 || same->count == std::numeric_limits<int64_t>::max()) {
            return BORROW_CONFLICT;
        }
        ++same->count;
        return BORROW_OK;
    }
    for (const KeyCount& other : base->keys) {
        if (conflicts(key, other.key) && other.count < 0) return BORROW_CONFLICT;
    }
    base->keys.push_back({key, 1});
    return BORROW_OK;
}

int BorrowTable::acquire_mut(uintptr_t address, const BorrowKey& key) {
    Base* base = find_base(address);
    if (base == nullptr) {
        add_base(address, key, -1);
        return BORROW_OK;
    }
    if (find_key(base->keys, key) != nullptr) return BORROW_CONFLICT;
    for (const KeyCount& other : base->keys) {
        if (conflicts(key, other.key) && other.count != 0) return BORROW_CONFLICT;
    }
    base->keys.push_back({key, -1});
    return BORROW_OK;
}

void BorrowTable::release(uintptr_t address, const BorrowKey& key) {
    Base* base = find_base(address);
    if (base == nullptr) return;
    KeyCount* entry = find_key(base->keys, key);
    if (entry == nullptr) return;
    // -1 is an exclusive borrow, which a shared release does not give back; a stray 0
    // goes as the last shared borrow would.
    if (entry->count < 0) return;
    if (entry->count > 1) {
        --entry->count;
        return;
    }
    remove_key(*base, *entry);
}

void BorrowTable::release_mut(uintptr_t address, const BorrowKey& key) {
    Base* base = find_base(address);
    if (base == nullptr) return;
    KeyCount* entry = find_key(base->keys, key);
    // Only an exclusive borrow of exactly this key is given back: shared borrows of it, or
    // other keys of the base, are someone else's.
    if (entry == nullptr || entry->count != -1) return;
    remove_key(*base, *entry);
}

}  // namespace vantor::binding
