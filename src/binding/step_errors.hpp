// What a refused engine step becomes for Python code.
#pragma once

#include <cstdint>

#include "engine/step_status.hpp"

namespace vantor::binding {

// Returns for a coded step; otherwise throws the Python error for `status` (an internal
// failure for an empty decoder interval). `symbol` is the encoded symbol, or the one the
// decoder's search reached; `count` is the length of the probability vector. The engine
// refuses before it changes anything, so the coder is as it was before the call.
void check_step(StepStatus status, uint64_t symbol, uint64_t count);

}  // namespace vantor::binding
