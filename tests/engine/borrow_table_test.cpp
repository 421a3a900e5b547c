// The borrow registry's rules on its Python-free state: keys, the conflict test, and the
// four operations with their counts, refusals and clean-up.
#include "binding/numpy/borrow_table.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace vantor {
namespace {

using binding::BORROW_CONFLICT;
using binding::borrow_key;
using binding::BORROW_OK;
using binding::BorrowKey;
using binding::BorrowTable;

constexpr uintptr_t BASE = 0x10000;
constexpr uintptr_t OTHER_BASE = 0x90000;
constexpr int64_t INT64_MIN_ = std::numeric_limits<int64_t>::min();

// A one-dimensional float32 view of `count` elements every `step`, from element `first` of
// an array at BASE.
BorrowKey view(intptr_t first, intptr_t count, intptr_t step = 1) {
    const intptr_t dimensions[] = {count};
    const intptr_t strides[] = {4 * step};
    return borrow_key(BASE + static_cast<uintptr_t>(4 * first), 1, dimensions, strides, 4);
}

struct KeyCase {
    std::string name;
    std::vector<intptr_t> dimensions, strides;
    intptr_t element_size;
    BorrowKey want;  // offsets from BASE
};

class Keys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(Keys, CoverTheReachableBytesAndFoldTheStrides) {
    const KeyCase& c = GetParam();
    const BorrowKey got = borrow_key(BASE, static_cast<int>(c.dimensions.size()),
                                     c.dimensions.data(), c.strides.data(), c.element_size);
    const BorrowKey want{BASE + c.want.start, BASE + c.want.end, BASE + c.want.data, c.want.gcd};
    EXPECT_EQ(got, want);
}

// Offsets below BASE are written as wrapped unsigned values.
constexpr uintptr_t minus(uintptr_t x) {
    return uintptr_t{0} - x;
}

INSTANTIATE_TEST_SUITE_P(
    Arrays, Keys,
    ::testing::Values(
        KeyCase{"ZeroDimensions", {}, {}, 8, {0, 0, 0, 1}},
        KeyCase{"Contiguous", {5}, {4}, 4, {0, 20, 0, 4}},
        KeyCase{"Reversed", {5}, {-4}, 4, {minus(16), 4, 0, -4}},
        KeyCase{"EmptyAxisAddsNoElement", {3, 0}, {16, 4}, 4, {0, 0, 0, 4}},
        KeyCase{"TwoAxes", {3, 4}, {16, 4}, 4, {0, 48, 0, 4}},
        KeyCase{"OneAxisReversed", {2, 3}, {-12, 4}, 4, {minus(12), 12, 0, 4}},
        KeyCase{"ZeroStride", {3}, {0}, 4, {0, 4, 0, 0}},
        KeyCase{"GcdOfZeroAndNegative", {1, 1}, {0, -6}, 2, {0, 2, 0, 6}},
        // The smallest integer's magnitude is 2^63; it stays itself alone and folds to
        // the power of two shared with the other stride.
        KeyCase{"SmallestStrideAlone", {1}, {INT64_MIN_}, 1, {0, 1, 0, INT64_MIN_}},
        KeyCase{"SmallestStrideAndEight", {1, 1}, {INT64_MIN_, 8}, 1, {0, 1, 0, 8}},
        KeyCase{"SmallestStrideAndZero", {1, 1}, {INT64_MIN_, 0}, 1, {0, 1, 0, INT64_MIN_}},
        KeyCase{"TwelveAndSmallestStride", {1, 1}, {12, INT64_MIN_}, 1, {0, 1, 0, 4}}),
    [](const auto& info) { return info.param.name; });

struct ConflictCase {
    std::string name;
    BorrowKey a, b;
    bool conflict;
};

class Conflicts : public ::testing::TestWithParam<ConflictCase> {};

TEST_P(Conflicts, WhenRangesOverlapAndTheLatticesMeet) {
    const ConflictCase& c = GetParam();
    EXPECT_EQ(binding::conflicts(c.a, c.b), c.conflict);
    EXPECT_EQ(binding::conflicts(c.b, c.a), c.conflict);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, Conflicts,
    ::testing::Values(ConflictCase{"Same", view(0, 4), view(0, 4), true},
                      ConflictCase{"Overlapping", view(0, 4), view(2, 4), true},
                      ConflictCase{"Adjacent", view(0, 4), view(4, 4), false},
                      ConflictCase{"EvenAndOdd", view(0, 4, 2), view(1, 4, 2), false},
                      // Elements at bytes 0, 8 and 4, 16: gcd(8, 12) = 4 divides the distance
                      // 4, so a conflict is reported, though they share none.
                      ConflictCase{"LatticesThatMeetOutside", view(0, 2, 2), view(1, 2, 3), true},
                      ConflictCase{"ZeroStridesSameElement", view(0, 3, 0), view(0, 1, 0), true},
                      ConflictCase{"ZeroStridesOtherElement",
                                   {BASE, BASE + 8, BASE, 0},
                                   {BASE + 2, BASE + 10, BASE + 2, 0},
                                   false}),
    [](const auto& info) { return info.param.name; });

TEST(BorrowTable, SharedCountsGoOneTwoOne) {
    BorrowTable table;
    const BorrowKey key = view(0, 8);
    ASSERT_EQ(table.acquire(BASE, key), BORROW_OK);
    ASSERT_EQ(table.acquire(BASE, key), BORROW_OK);  // 2
    table.release(BASE, key);                        // 1: still held
    EXPECT_EQ(table.acquire_mut(BASE, key), BORROW_CONFLICT);
    EXPECT_FALSE(table.empty());
    table.release(BASE, key);  // 0: the key and its base are gone
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.acquire_mut(BASE, key), BORROW_OK);
}

TEST(BorrowTable, ExclusiveBorrowRefusesEveryConflictingBorrow) {
    BorrowTable table;
    ASSERT_EQ(table.acquire_mut(BASE, view(0, 8)), BORROW_OK);
    EXPECT_EQ(table.acquire(BASE, view(0, 8)), BORROW_CONFLICT);
    EXPECT_EQ(table.acquire_mut(BASE, view(0, 8)), BORROW_CONFLICT);
    EXPECT_EQ(table.acquire(BASE, view(4, 8)), BORROW_CONFLICT);
    EXPECT_EQ(table.acquire_mut(BASE, view(4, 8)), BORROW_CONFLICT);
    // Memory it cannot reach, and other bases, are free.
    EXPECT_EQ(table.acquire(BASE, view(8, 8)), BORROW_OK);
    EXPECT_EQ(table.acquire_mut(OTHER_BASE, view(0, 8)), BORROW_OK);
    table.release_mut(BASE, view(0, 8));
    EXPECT_EQ(table.acquire(BASE, view(4, 8)), BORROW_OK);
}

TEST(BorrowTable, SharedBorrowsDoNotConflictButRefuseAnExclusiveOne) {
    BorrowTable table;
    ASSERT_EQ(table.acquire(BASE, view(0, 8)), BORROW_OK);
    EXPECT_EQ(table.acquire(BASE, view(4, 8)), BORROW_OK);
    EXPECT_EQ(table.acquire_mut(BASE, view(6, 8)), BORROW_CONFLICT);
}

TEST(BorrowTable, DisjointLatticesOfOneRangeAreIndependent) {
    BorrowTable table;
    const BorrowKey even = view(0, 8, 2), odd = view(1, 8, 2);
    ASSERT_EQ(table.acquire_mut(BASE, even), BORROW_OK);
    EXPECT_EQ(table.acquire_mut(BASE, odd), BORROW_OK);
    table.release_mut(BASE, odd);
    EXPECT_EQ(table.acquire(BASE, odd), BORROW_OK);
    EXPECT_EQ(table.acquire(BASE, view(0, 16)), BORROW_CONFLICT);  // meets the even one
}

// Strays: a release that matches no borrow of its sort.
enum class Stray { UnknownBase, UnknownKey, SharedReleaseOfExclusive, ExclusiveReleaseOfShared };

class StrayRelease : public ::testing::TestWithParam<Stray> {};

TEST_P(StrayRelease, ChangesNothing) {
    BorrowTable table;
    const BorrowKey shared = view(0, 8), exclusive = view(16, 8);
    ASSERT_EQ(table.acquire(BASE, shared), BORROW_OK);
    ASSERT_EQ(table.acquire_mut(BASE, exclusive), BORROW_OK);
    switch (GetParam()) {
        case Stray::UnknownBase:
            table.release(OTHER_BASE, shared);
            table.release_mut(OTHER_BASE, exclusive);
            break;
        case Stray::UnknownKey:
            table.release(BASE, view(0, 7));
            table.release_mut(BASE, view(16, 7));
            break;
        case Stray::SharedReleaseOfExclusive:
            table.release(BASE, exclusive);
            break;
        case Stray::ExclusiveReleaseOfShared:
            table.release_mut(BASE, shared);
            break;
    }
    // Both borrows are still held, each exactly once.
    EXPECT_EQ(table.acquire_mut(BASE, shared), BORROW_CONFLICT);
    EXPECT_EQ(table.acquire(BASE, exclusive), BORROW_CONFLICT);
    table.release(BASE, shared);
    EXPECT_EQ(table.acquire_mut(BASE, shared), BORROW_OK);
    table.release_mut(BASE, shared);
    table.release_mut(BASE, exclusive);
    EXPECT_TRUE(table.empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, StrayRelease,
                         ::testing::Values(Stray::UnknownBase, Stray::UnknownKey,
                                           Stray::SharedReleaseOfExclusive,
                                           Stray::ExclusiveReleaseOfShared));

// Bases come and go in any order; each keeps its own keys, and the table empties.
TEST(BorrowTable, BasesAreRemovedWhenTheirLastKeyGoes) {
    BorrowTable table;
    const uintptr_t bases[] = {0x1000, 0x2000, 0x3000, 0x4000};
    for (uintptr_t base : bases) {
        ASSERT_EQ(table.acquire_mut(base, view(0, 4)), BORROW_OK);
        ASSERT_EQ(table.acquire(base, view(8, 4)), BORROW_OK);
    }
    for (uintptr_t base : {bases[1], bases[0]}) {
        table.release_mut(base, view(0, 4));
        table.release(base, view(8, 4));
        // Nothing of it is left for a new borrow to meet.
        EXPECT_EQ(table.acquire_mut(base, view(0, 12)), BORROW_OK) << base;
        table.release_mut(base, view(0, 12));
    }
    for (uintptr_t base : {bases[2], bases[3]}) {
        EXPECT_EQ(table.acquire(base, view(0, 4)), BORROW_CONFLICT) << base;
        EXPECT_EQ(table.acquire_mut(base, view(8, 4)), BORROW_CONFLICT) << base;
        EXPECT_FALSE(table.empty());
        table.release_mut(base, view(0, 4));
        table.release(base, view(8, 4));
    }
    EXPECT_TRUE(table.empty());
}

}  // namespace
}  // namespace vantor
