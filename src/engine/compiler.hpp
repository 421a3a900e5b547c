// The compiler's attributes and built-ins the engine and the binding spell one way: the
// code that detects a failure must keep its own frame and its return address, and the hot
// step must not be a call.
#pragma once

#if defined(_MSC_VER)
#include <intrin.h>
#define VANTOR_NOINLINE __declspec(noinline)
#define VANTOR_ALWAYS_INLINE __forceinline
#define VANTOR_RETURN_ADDRESS() _ReturnAddress()
#else
#define VANTOR_NOINLINE __attribute__((noinline))
#define VANTOR_ALWAYS_INLINE inline __attribute__((always_inline))
#define VANTOR_RETURN_ADDRESS() __builtin_return_address(0)
#endif
