// The array borrow registry shared by every extension in the process that announces its
// array accesses the same way: a capsule on NumPy's multiarray module holding a record of
// four C functions. We take only shared borrows; the other operations are there for the
// extensions that use our record when we were the first to need one.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

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

class BorrowRegistry {
  public:
    // The process's record, found on the multiarray module or created there on first need,
    // then kept. Failing is an internal failure ("Interal borrow checking API error: ...").
    static const BorrowApi& get();

    // Takes a shared borrow of `array`, or fails internally: AlreadyBorrowed when it is
    // borrowed exclusively, or an unexpected return code.
    static void acquire_shared(PyObject* array);
    // Gives back a shared borrow taken by acquire_shared.
    static void release_shared(PyObject* array) noexcept;
};

}  // namespace vantor::binding
