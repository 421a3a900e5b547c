#include "failure_report.hpp"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.hpp"

namespace vantor::binding {

namespace {

enum class BacktraceMode { Off, Short, Full };

// Read at the first report and kept: a report must not depend on later changes.
BacktraceMode backtrace_mode() {
    static const BacktraceMode mode = [] {
        const char* setting = std::getenv(compat::BACKTRACE_VARIABLE);
        if (setting == nullptr || std::strcmp(setting, "0") == 0) return BacktraceMode::Off;
        if (std::strcmp(setting, "full") == 0) return BacktraceMode::Full;
        return BacktraceMode::Short;
    }();
    return mode;
}

std::atomic<bool> reported_before{false};

std::string frame_text(unsigned index, void* address) {
    char line[64];
    std::snprintf(line, sizeof line, "%4u: ", index);
    std::string out = line;
    const platform::CodeAddress code = platform::describe_address(address);
    if (!code.found) {
        std::snprintf(line, sizeof line, "<unknown> at %p\n", address);
        return out + line;
    }
    out += code.function.empty() ? "<unknown>" : code.function;
    out += "\n             at ";
    out += code.module.empty() ? "<unknown>" : code.module;
    std::snprintf(line, sizeof line, "+0x%" PRIxPTR "\n", code.offset);
    return out + line;
}

void write_backtrace(BacktraceMode mode, const void* caller) {
    void* frames[128];
    const std::size_t count = platform::capture_stack(frames, 128);
    std::size_t first = 0;
    if (mode == BacktraceMode::Short && caller != nullptr) {
        for (std::size_t i = 0; i < count; ++i) {
            if (frames[i] == caller) {
                first = i;
                break;
            }
        }
    }
    std::string text = compat::BACKTRACE_HEADING;
    for (std::size_t i = first; i < count; ++i) {
        text += frame_text(static_cast<unsigned>(i - first), frames[i]);
    }
    if (mode == BacktraceMode::Short) text += compat::SHORT_BACKTRACE_NOTE;
    platform::write_stderr(text);
}

}  // namespace

void write_failure_report(std::string_view message, SourceLocation where, const void* caller) {
    const BacktraceMode mode = backtrace_mode();
    const bool first_report = !reported_before.exchange(true);

    std::string report = compat::REPORT_HEAD;
    report += std::to_string(platform::thread_id());
    report += compat::REPORT_PANICKED_AT;
    report += where.file;
    report += ':' + std::to_string(where.line) + ':' + std::to_string(where.column) + ":\n";
    report += message;
    report += '\n';
    // One write, so that other output cannot come between the lines.
    platform::write_stderr(report);

    if (mode != BacktraceMode::Off) {
        write_backtrace(mode, caller);
    } else if (first_report) {
        platform::write_stderr(compat::FIRST_REPORT_NOTE);
    }
}

}  // namespace vantor::binding
