// Debug assertions: compiled in only when VANTOR_DEBUG is defined (the sanitizer and fuzz
// builds, and the engine library the engine tests link), and to nothing otherwise, so the
// release module neither evaluates nor contains them.
#pragma once

#ifdef VANTOR_DEBUG
#include <cstdio>
#include <cstdlib>

namespace vantor::debug {

[[noreturn]] inline void assertion_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: assertion failed: %s\n", file, line, condition);
    std::abort();
}

}  // namespace vantor::debug

#define VANTOR_ASSERT(condition) \
    ((condition) ? (void)0 : ::vantor::debug::assertion_failed(#condition, __FILE__, __LINE__))
#else
#define VANTOR_ASSERT(condition) ((void)0)
#endif
