#include "borrow_table.hpp"

#include <bit>
#include <limits>
#include <utility>

namespace vantor::binding {

namespace {

// |x| as an unsigned magnitude, defined for the smallest 64-bit integer too (2^63).
uint64_t magnitude(int64_t x) {
    return x < 0 ? uint64_t{0} - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
}

// Spare entries kept per level; a handful covers the borrows one step holds at a time.
constexpr std::size_t SPARE_ENTRIES = 8;

}  // namespace

uint64_t stein_gcd(uint64_t a, uint64_t b) {
    if (a == 0) return b;
    if (b == 0) return a;
    const int shift = std::countr_zero(a | b);
    a >>= std::countr_zero(a);
    do {
        b >>= std::countr_zero(b);
        if (a > b) std::swap(a, b);
        b -= a;
    } while (b != 0);
    return a << shift;
}

BorrowKey borrow_key(uintptr_t data, int nd, const intptr_t* dimensions, const intptr_t* strides,
                     intptr_t element_size) {
    if (nd == 0) return {data, data, data, 1};

    // Stored signed; a gcd of 2^63 (strides of only 0 and the smallest integer) wraps to
    // the smallest integer, whose magnitude is read back as 2^63.
    int64_t gcd = strides[0];
    for (int i = 1; i < nd; ++i) {
        gcd = static_cast<int64_t>(stein_gcd(magnitude(gcd), magnitude(strides[i])));
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
    const uint64_t gcd = stein_gcd(magnitude(a.gcd), magnitude(b.gcd));
    const uint64_t distance = a.data >= b.data ? a.data - b.data : b.data - a.data;
    // Both gcds 0: every stride on both sides is zero, so each key reaches exactly one
    // element, at its data pointer. They share it only when the pointers are equal.
    if (gcd == 0) return distance == 0;
    return distance % gcd == 0;
}

std::size_t BorrowTable::KeyHash::operator()(const BorrowKey& key) const noexcept {
    // Views of one base usually differ in every field; a cheap multiplicative mix will do.
    uint64_t h = key.start * 0x9E3779B97F4A7C15u;
    h = (h ^ key.end) * 0xC2B2AE3D27D4EB4Fu;
    h = (h ^ key.data) * 0x165667B19E3779F9u;
    h = (h ^ static_cast<uint64_t>(key.gcd)) * 0x9E3779B97F4A7C15u;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

BorrowTable::BorrowTable() {
    spare_bases_.reserve(SPARE_ENTRIES);
    spare_keys_.reserve(SPARE_ENTRIES);
}

void BorrowTable::add_key(Counts& counts, const BorrowKey& key, int64_t count) {
    if (spare_keys_.empty()) {
        counts.emplace(key, count);
        return;
    }
    Counts::node_type node = std::move(spare_keys_.back());
    spare_keys_.pop_back();
    node.key() = key;
    node.mapped() = count;
    counts.insert(std::move(node));
}

void BorrowTable::add_base(uintptr_t base, const BorrowKey& key, int64_t count) {
    if (spare_bases_.empty()) {
        Counts& counts = bases_[base];
        // A new base starts with room for one key.
        counts.reserve(1);
        add_key(counts, key, count);
        return;
    }
    Bases::node_type node = std::move(spare_bases_.back());
    spare_bases_.pop_back();
    node.key() = base;
    add_key(node.mapped(), key, count);
    bases_.insert(std::move(node));
}

void BorrowTable::remove_key(Bases::iterator base, Counts::iterator key) {
    Counts& counts = base->second;
    if (spare_keys_.size() < spare_keys_.capacity()) {
        spare_keys_.push_back(counts.extract(key));
    } else {
        counts.erase(key);
    }
    if (!counts.empty()) return;
    if (spare_bases_.size() < spare_bases_.capacity()) {
        spare_bases_.push_back(bases_.extract(base));
    } else {
        bases_.erase(base);
    }
}

int BorrowTable::acquire(uintptr_t base, const BorrowKey& key) {
    const auto found = bases_.find(base);
    if (found == bases_.end()) {
        add_base(base, key, 1);
        return BORROW_OK;
    }
    Counts& counts = found->second;
    if (const auto same = counts.find(key); same != counts.end()) {
        if (same->second < 0 || same->second == std::numeric_limits<int64_t>::max()) {
            return BORROW_CONFLICT;
        }
        ++same->second;
        return BORROW_OK;
    }
    for (const auto& [other, count] : counts) {
        if (conflicts(key, other) && count < 0) return BORROW_CONFLICT;
    }
    add_key(counts, key, 1);
    return BORROW_OK;
}

int BorrowTable::acquire_mut(uintptr_t base, const BorrowKey& key) {
    const auto found = bases_.find(base);
    if (found == bases_.end()) {
        add_base(base, key, -1);
        return BORROW_OK;
    }
    Counts& counts = found->second;
    if (counts.contains(key)) return BORROW_CONFLICT;
    for (const auto& [other, count] : counts) {
        if (conflicts(key, other) && count != 0) return BORROW_CONFLICT;
    }
    add_key(counts, key, -1);
    return BORROW_OK;
}

void BorrowTable::release(uintptr_t base, const BorrowKey& key) {
    const auto found = bases_.find(base);
    if (found == bases_.end()) return;
    const auto entry = found->second.find(key);
    if (entry == found->second.end()) return;
    // -1 is an exclusive borrow, which a shared release does not give back; a stray 0
    // goes as the last shared borrow would.
    if (entry->second < 0) return;
    if (entry->second > 1) {
        --entry->second;
        return;
    }
    remove_key(found, entry);
}

void BorrowTable::release_mut(uintptr_t base, const BorrowKey& key) {
    const auto found = bases_.find(base);
    if (found == bases_.end()) return;
    const auto entry = found->second.find(key);
    // Only an exclusive borrow of exactly this key is given back: shared borrows of it, or
    // other keys of the base, are someone else's.
    if (entry == found->second.end() || entry->second != -1) return;
    remove_key(found, entry);
}

}  // namespace vantor::binding
