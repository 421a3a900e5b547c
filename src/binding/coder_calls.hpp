// What every method of the coder does around its engine operation: it takes the coder for
// the call, and turns a refused step into its Python error.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/batch.hpp"
#include "engine/step_status.hpp"
#include "runtime/errors.hpp"

namespace vantor::binding {

namespace compat {

// Where the coder's checks with a fixed place are reported, byte for byte as the logs of
// our first users' modules show them (see runtime/compat_texts.hpp).
inline constexpr SourceLocation ENCODE_NOT_CONTIGUOUS{"src\\lib", 135, 44};
inline constexpr SourceLocation DECODE_NOT_CONTIGUOUS{"src\\lib", 177, 44};
inline constexpr SourceLocation DECODE_EMPTY_INTERVAL{"src\\lib", 183, 28};
// The internal failure of a decoder whose interval is empty.
inline constexpr char DIVIDE_BY_ZERO[] = "attempt to divide by zero";

}  // namespace compat

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

// Returns for a coded step; otherwise throws the Python error for `status` (an internal
// failure for an empty decoder interval). `symbol` is the encoded symbol, or the one the
// decoder's search reached; `count` is the length of the probability vector. The engine
// refuses before it changes anything, so the coder is as it was before the call.
void check_step(StepStatus status, uint64_t symbol, uint64_t count);

// The same for a batch whose rows have `length` elements; the message names the refused
// row ("row 7: symbol 5 is out of range for 3 probabilities"). The engine has put the coder
// back as it was before the batch.
void check_rows(const BatchOutcome& outcome, uint64_t length);

}  // namespace vantor::binding
