// The failure report written to standard error when an internal failure is detected.
#pragma once

#include <string_view>

#include "compat_texts.hpp"

namespace vantor::binding {

// Writes the report for `message` at `where`. `caller` is the return address into the code
// that detected the failure: the short stack trace starts there, hiding the report's own
// frames. Write errors are ignored.
void write_failure_report(std::string_view message, SourceLocation where, const void* caller);

}  // namespace vantor::binding
