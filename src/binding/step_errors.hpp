// What a refused engine step becomes for Python code.
#pragma once

#include <cstdint>

#include "engine/batch.hpp"
#include "engine/step_status.hpp"

namespace vantor::binding {

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
