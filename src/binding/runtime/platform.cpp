#include "platform.hpp"

// Every difference between operating systems lives in this file. Linux (glibc or musl),
// macOS and Windows are served; anything else stops the build here rather than printing a
// wrong thread identifier.
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>  // first, so that __GLIBC__ is known below

#include <cerrno>
#if defined(__APPLE__)
#include <pthread.h>
#define VANTOR_HAS_EXECINFO 1
#elif defined(__linux__)
#include <sys/syscall.h>
// musl has no execinfo.h; its reports go without frames.
#if defined(__GLIBC__)
#define VANTOR_HAS_EXECINFO 1
#endif
#else
#error "vantor: no thread identifier for this operating system in src/binding/runtime/platform.cpp"
#endif
#endif

#if defined(VANTOR_HAS_EXECINFO)
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdlib>
#endif

namespace vantor::platform {

#if defined(_WIN32)

void write_stderr(std::string_view text) noexcept {
    const HANDLE stream = GetStdHandle(STD_ERROR_HANDLE);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE) return;
    while (!text.empty()) {
        const DWORD chunk = text.size() < 0x40000000 ? static_cast<DWORD>(text.size()) : 0x40000000;
        DWORD written = 0;
        if (!WriteFile(stream, text.data(), chunk, &written, nullptr) || written == 0) return;
        text.remove_prefix(written);
    }
}

uint64_t thread_id() noexcept {
    return GetCurrentThreadId();
}

const bool stack_capture_available = true;

std::size_t capture_stack(void** frames, std::size_t capacity) noexcept {
    const ULONG wanted = capacity < 0xFFFF ? static_cast<ULONG>(capacity) : 0xFFFF;
    return RtlCaptureStackBackTrace(0, wanted, frames, nullptr);
}

// Windows keeps no symbol names in a release build without debug files; the module's
// path and the offset are what a debugger needs.
CodeAddress describe_address(const void* address) {
    CodeAddress out;
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(address), &module)) {
        return out;
    }
    out.found = true;
    out.offset = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(module);
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(path.size());
        const DWORD length = GetModuleFileNameW(module, path.data(), size);
        if (length == 0) return out;
        if (length < size) {
            path.resize(length);
            break;
        }
        if (size >= 32768) return out;  // longer than any Windows path
        path.resize(std::size_t{size} * 2);
    }
    const int wide_length = static_cast<int>(path.size());
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, path.data(), wide_length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return out;
    out.module.resize(static_cast<std::size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, path.data(), wide_length, out.module.data(), bytes, nullptr,
                        nullptr);
    return out;
}

#else

void write_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // standard error closed or failing: nothing to be done
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

uint64_t thread_id() noexcept {
#if defined(__APPLE__)
    uint64_t id = 0;
    pthread_threadid_np(pthread_self(), &id);
    return id;
#else
    return static_cast<uint64_t>(syscall(SYS_gettid));
#endif
}

#if defined(VANTOR_HAS_EXECINFO)

const bool stack_capture_available = true;

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

#else

const bool stack_capture_available = false;

std::size_t capture_stack(void**, std::size_t) noexcept {
    return 0;
}

CodeAddress describe_address(const void*) {
    return {};
}

#endif
#endif

}  // namespace vantor::platform
