// Exclusive use of one coder for the length of a method call.
#pragma once

#include <atomic>
#include <cstdint>

#include "coder_object.hpp"
#include "failure.hpp"

namespace vantor::binding {

// Takes the coder's borrow flag, or throws RuntimeError "Already borrowed" when a call in
// progress holds it (another thread, or this one re-entering through Python code such as
// a `symbol.__index__`). Gives the flag back on every way out of the call.
class ExclusiveUse {
  public:
    explicit ExclusiveUse(CoderObject& coder) : flag_(coder.borrow_flag) {
        uintptr_t expected = 0;
        // A compare-and-swap, so the check holds without relying on the interpreter lock.
        if (!flag_.compare_exchange_strong(expected, HELD, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            throw_error(PyExc_RuntimeError, "Already borrowed");
        }
    }
    ~ExclusiveUse() { flag_.store(0, std::memory_order_release); }

    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;

  private:
    static constexpr uintptr_t HELD = ~uintptr_t{0};
    std::atomic<uintptr_t>& flag_;
};

}  // namespace vantor::binding
