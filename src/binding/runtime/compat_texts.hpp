// Texts of the runtime that other software depends on, byte for byte.
//
// Callers match these messages, logs are searched for these report lines, and other
// extensions in the process share the PanicException class by its name. They come from the
// runtime our first users' modules were built with, misspellings and all, and a caller
// that matched them yesterday must still match them tomorrow: change none of them, and add
// here every new text of that kind. The NumPy wing keeps its own (numpy/compat_texts.hpp),
// the coder's adapters theirs (coder_calls.hpp); our own messages (argument parsing,
// refused steps) live beside the code that raises them. The one such text outside the
// binding is the engine's "memory allocation of {n} bytes failed" line
// (engine/byte_buffer.cpp), which the engine cannot take from here.
#pragma once

#include <cstdint>

namespace vantor::binding {

// Where an internal failure was detected: a file of our source, its line and column.
struct SourceLocation {
    const char* file;
    uint32_t line;
    uint32_t column;
};

namespace compat {

// Internal-failure messages.
inline constexpr char UNWRAP_FAILED[] = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr char API_CALL_FAILED[] = "Python API call failed";
inline constexpr char PANIC_TYPE_FAILED[] = "Failed to initialize new exception type.: ";
inline constexpr char ALL_APPEND_FAILED[] = "could not append __name__ to __all__: ";
inline constexpr char UNWRAPPED_PANIC[] = "Unwrapped panic from Python code";

// Python errors with fixed texts.
inline constexpr char ALREADY_BORROWED[] = "Already borrowed";
inline constexpr char INITIALISED_TWICE[] =
    "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per "
    "interpreter process";
// "An error occurred while initializing class {name}".
inline constexpr char TYPE_CREATION_FAILED[] = "An error occurred while initializing class ";
inline constexpr char NO_ERROR_SET[] = "attempted to fetch exception but none was set";
inline constexpr char NOT_AN_EXCEPTION[] = "exceptions must derive from BaseException";
inline constexpr char NO_TYPE_NAME[] = "<failed to extract type name>";
// "'{from}' object cannot be cast as '{to}'" and "... cannot be converted to '{to}'".
inline constexpr char CANNOT_BE_CAST[] = "' object cannot be cast as '";
inline constexpr char CANNOT_BE_CONVERTED[] = "' object cannot be converted to '";

// The class an internal failure becomes; a BaseException, so `except Exception` does not
// swallow it.
inline constexpr char PANIC_NAME[] = "pyo3_runtime.PanicException";
inline constexpr char PANIC_DOC[] =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The failure report on standard error.
inline constexpr char BACKTRACE_VARIABLE[] = "RUST_BACKTRACE";
inline constexpr char REPORT_HEAD[] = "\nthread '<unnamed>' (";
inline constexpr char REPORT_PANICKED_AT[] = ") panicked at ";
inline constexpr char FIRST_REPORT_NOTE[] =
    "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n";
inline constexpr char BACKTRACE_HEADING[] = "stack backtrace:\n";
inline constexpr char SHORT_BACKTRACE_NOTE[] =
    "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose "
    "backtrace.\n";
inline constexpr char RESUMING_PANIC[] =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";

// The text of a Python error inside a message: "PyErr { type: T, value: V, traceback: B }".
inline constexpr char DESCRIBE_TYPE[] = "PyErr { type: ";
inline constexpr char DESCRIBE_VALUE[] = ", value: ";
inline constexpr char DESCRIBE_TRACEBACK[] = ", traceback: ";
inline constexpr char DESCRIBE_END[] = " }";
// An object whose repr() or str() raises, and a traceback that cannot be formatted.
inline constexpr char UNPRINTABLE[] = "<unprintable ";
inline constexpr char UNPRINTABLE_END[] = " object>";
inline constexpr char UNPRINTABLE_OBJECT[] = "<unprintable object>";
inline constexpr char UNFORMATTABLE[] = "<unformattable ";

}  // namespace compat

}  // namespace vantor::binding
