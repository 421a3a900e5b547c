#include "failure_report.hpp"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vantor::binding {

namespace {

enum class BacktraceMode { Off, Short, Full };

// Read at the first report and kept: a report must not depend on later changes.
BacktraceMode backtrace_mode() {
    static const BacktraceMode mode = [] {
        const char* setting = std::getenv("RUST_BACKTRACE");
        if (setting == nullptr || std::strcmp(setting, "0") == 0) return BacktraceMode::Off;
        if (std::strcmp(setting, "full") == 0) return BacktraceMode::Full;
        return BacktraceMode::Short;
    }();
    return mode;
}

std::atomic<bool> reported_before{false};

// Appends to a fixed buffer; remembers whether everything fitted.
class FixedText {
  public:
    void append(std::string_view text) {
        if (text.size() > sizeof buffer_ - length_) {
            overflow_ = true;
            return;
        }
        std::memcpy(buffer_ + length_, text.data(), text.size());
        length_ += text.size();
    }
    bool fitted() const { return !overflow_; }
    std::string_view text() const { return {buffer_, length_}; }

  private:
    char buffer_[512];
    std::size_t length_ = 0;
    bool overflow_ = false;
};

std::string frame_text(unsigned index, void* address) {
    char line[64];
    std::snprintf(line, sizeof line, "%4u: ", index);
    std::string out = line;
    Dl_info info{};
    if (dladdr(address, &info) == 0) {
        std::snprintf(line, sizeof line, "<unknown> at %p\n", address);
        return out + line;
    }
    if (info.dli_sname != nullptr) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        out += status == 0 && demangled != nullptr ? demangled : info.dli_sname;
        std::free(demangled);
    } else {
        out += "<unknown>";
    }
    // Module and offset, which addr2line turns into a source line.
    const auto offset =
        reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_fbase);
    std::snprintf(line, sizeof line, "+0x%" PRIxPTR "\n", offset);
    out += "\n             at ";
    out += info.dli_fname != nullptr ? info.dli_fname : "<unknown>";
    out += line;
    return out;
}

void write_backtrace(BacktraceMode mode, const void* caller) {
    void* frames[128];
    const int count = backtrace(frames, 128);
    int first = 0;
    if (mode == BacktraceMode::Short && caller != nullptr) {
        for (int i = 0; i < count; ++i) {
            if (frames[i] == caller) {
                first = i;
                break;
            }
        }
    }
    std::string text = "stack backtrace:\n";
    for (int i = first; i < count; ++i) {
        text += frame_text(static_cast<unsigned>(i - first), frames[i]);
    }
    if (mode == BacktraceMode::Short) {
        text +=
            "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose "
            "backtrace.\n";
    }
    write_stderr(text);
}

}  // namespace

void write_stderr(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // standard error closed or failing: nothing to be done
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

void write_failure_report(std::string_view message, SourceLocation where, const void* caller) {
    const BacktraceMode mode = backtrace_mode();
    const bool first_report = !reported_before.exchange(true);

    char head[160];
    const int head_length =
        std::snprintf(head, sizeof head, "\nthread '<unnamed>' (%ld) panicked at ",
                      static_cast<long>(syscall(SYS_gettid)));
    char position[32];
    const int position_length = std::snprintf(
        position, sizeof position, ":%" PRIu32 ":%" PRIu32 ":\n", where.line, where.column);
    const std::string_view parts[] = {
        {head, static_cast<std::size_t>(head_length)},
        where.file,
        {position, static_cast<std::size_t>(position_length)},
        message,
        "\n",
    };

    // One write, so that concurrent output cannot come between the lines.
    FixedText report;
    for (std::string_view part : parts)
        report.append(part);
    if (report.fitted()) {
        write_stderr(report.text());
    } else {
        for (std::string_view part : parts)
            write_stderr(part);
    }

    if (mode == BacktraceMode::Off) {
        if (first_report) {
            write_stderr(
                "note: run with `RUST_BACKTRACE=1` environment variable to display a "
                "backtrace\n");
        }
    } else {
        write_backtrace(mode, caller);
    }
}

}  // namespace vantor::binding
