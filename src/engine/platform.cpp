#include "platform.hpp"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vantor::platform {

void write_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // standard error closed or failing: nothing to be done
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

uint64_t thread_id() noexcept {
    return static_cast<uint64_t>(syscall(SYS_gettid));
}

std::size_t capture_stack(void** frames, std::size_t capacity) noexcept {
    const int count = backtrace(frames, static_cast<int>(capacity));
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}

CodeAddress describe_address(const void* address) {
    CodeAddress out;
    Dl_info info{};
    if (dladdr(address, &info) == 0) return out;
    out.found = true;
    if (info.dli_sname != nullptr) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        out.function = status == 0 && demangled != nullptr ? demangled : info.dli_sname;
        std::free(demangled);
    }
    if (info.dli_fname != nullptr) out.module = info.dli_fname;
    out.offset = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_fbase);
    return out;
}

}  // namespace vantor::platform
