// The few operating-system services the failure report needs, behind one interface so that
// a port to another system touches this file and its source alone: writing to standard
// error, the calling thread's identifier, and the stack capture. Free of Python, so that the
// engine tests can check it on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantor::platform {

// Writes all of `text` to standard error with as few writes as possible; a closed or
// failing stream is ignored.
void write_stderr(std::string_view text) noexcept;

// The operating system's identifier of the calling thread.
uint64_t thread_id() noexcept;

// Return addresses of the calling thread's stack, innermost first, at most `capacity`.
// 0 where the platform cannot capture its stack (see `stack_capture_available`).
std::size_t capture_stack(void** frames, std::size_t capacity) noexcept;
// False where the C library offers no stack capture (musl): reports go without frames.
extern const bool stack_capture_available;

// What is known of one code address: its function (demangled when possible) and the
// module holding it with the address's offset in it, which addr2line turns into a line.
struct CodeAddress {
    bool found = false;    // whether the module is known at all
    std::string function;  // empty when the symbol is unknown
    std::string module;    // empty when the module's path is unknown
    uintptr_t offset = 0;
};
CodeAddress describe_address(const void* address);

}  // namespace vantor::platform
