// Exclusive use of one coder for the length of a method call.
#pragma once

#include <atomic>
#include <cstdint>

#include "py_error.hpp"

namespace vantor::binding {

// A coder's borrow flag: 0 free, all bits set while a method call holds the coder.
using BorrowFlag = std::atomic<uintptr_t>;

// Takes the coder's borrow flag, or throws RuntimeError "Already borrowed" when a call in
// progress holds it (another thread, or this one re-entering through Python code such as
// a `symbol.__index__`). Gives the flag back on every way out of the call.
class ExclusiveUse {
  public:
    explicit ExclusiveUse(BorrowFlag& flag) : flag_(flag) {
        uintptr_t expected = 0;
        // A compare-and-swap, so the check holds without relying on the interpreter lock.
        if (!flag_.compare_exchange_strong(expected, HELD, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            throw_error(PyExc_RuntimeError, compat::ALREADY_BORROWED);
        }
    }
    ~ExclusiveUse() { flag_.store(0, std::memory_order_release); }

    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;

  private:
    static constexpr uintptr_t HELD = ~uintptr_t{0};
    BorrowFlag& flag_;
};

}  // namespace vantor::binding
