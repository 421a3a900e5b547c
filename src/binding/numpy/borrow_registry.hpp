// The array borrow registry shared by every extension in the process that announces its
// array accesses the same way: a capsule on NumPy's multiarray module holding a record of
// four C functions. We take only shared borrows; the other operations are there for the
// extensions that use our record when we were the first to need one.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "borrow_table.hpp"

namespace vantor::binding {

extern "C" {
// (flags, array) -> 0 on success, -1 for a conflicting borrow, -2 if the array is not
// writeable (exclusive borrows only).
typedef int BorrowAcquireFn(void* flags, PyObject* array);
typedef void BorrowReleaseFn(void* flags, PyObject* array);
}

// The shared record; its layout is fixed for every participant. Whoever created it may keep
// private data after these fields.
struct BorrowApi {
    uint64_t version;
    void* flags;  // the creator's state, handed back to each function
    BorrowAcquireFn* acquire;
    BorrowAcquireFn* acquire_mut;
    BorrowReleaseFn* release;
    BorrowReleaseFn* release_mut;
};

static_assert(offsetof(BorrowApi, flags) == 8);
static_assert(offsetof(BorrowApi, acquire) == 16);
static_assert(offsetof(BorrowApi, release_mut) == 40);

// Whether the interpreter lock stays with the borrowing thread until the borrow is given
// back (no Python code and no release of the lock in between).
enum class LockWhileBorrowed { Kept, MayBeReleased };

// A shared borrow of one array, held for the life of this object and given back on every
// way out. Taking it fails internally when the array is borrowed exclusively
// (AlreadyBorrowed) or the registry answers with an unexpected code. The first borrow finds
// the process's registry on NumPy's multiarray module, or creates it there; failing to is
// an internal failure ("Interal borrow checking API error: ...").
//
// Every participant calls the registry with the interpreter lock held. So when the
// registry is our own, its table is empty and the lock is `Kept`, nobody can look at the
// table before the borrow is given back: the borrow is then checked but not recorded,
// which spares a single step the table's bookkeeping.
class SharedBorrow {
  public:
    SharedBorrow(PyObject* array, LockWhileBorrowed lock);
    ~SharedBorrow();
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

  private:
    enum class Held { Unrecorded, InOwnTable, ThroughRecord };

    PyObject* array_;
    Held held_ = Held::Unrecorded;
    // When the borrow is in our own table, where: the release goes straight to it, and
    // gives back exactly what was taken.
    uintptr_t base_ = 0;
    BorrowKey key_{};
};

}  // namespace vantor::binding
