// The two ways a method call fails, and the one boundary where both reach the interpreter.
//
// A Python error (one raised by something we called, or one we raise with a fixed text)
// travels as PyError. An internal failure (a broken expectation) writes the failure report
// to standard error where it is detected and travels as InternalFailure; at the boundary it
// becomes PanicException. Both unwind through RAII guards, so every borrow and reference
// taken on the way is released.
#pragma once

#include <Python.h>

#include <cstdint>
#include <source_location>
#include <string>

namespace vantor::binding {

struct SourceLocation {
    const char* file;
    uint32_t line;
    uint32_t column;
};

// Locations that callers and their logs depend on.
inline constexpr SourceLocation ENCODE_NOT_CONTIGUOUS{"src\\lib", 135, 44};
inline constexpr SourceLocation DECODE_NOT_CONTIGUOUS{"src\\lib", 177, 44};
inline constexpr SourceLocation DECODE_EMPTY_INTERVAL{"src\\lib", 183, 28};

// The location of the calling line in our own source, for checks with no fixed location.
SourceLocation here(std::source_location where = std::source_location::current());

// An internal failure whose report has already been written.
struct InternalFailure {
    std::string message;
};

// Writes the failure report for `message` at `where`, then unwinds as InternalFailure.
[[noreturn]] void fail(std::string message, SourceLocation where);

// A Python error on its way to the boundary: either fetched (type, value, traceback owned)
// or lazy (an exception type and a message, made concrete at the boundary).
class PyError {
  public:
    // The pending error; SystemError "attempted to fetch exception but none was set" when
    // none is pending. A fetched PanicException is resumed: it never returns then, but
    // unwinds as InternalFailure carrying that exception's message.
    static PyError fetch();
    // The pending error as it is, with no PanicException check (for use where that check
    // itself could fail).
    static PyError fetch_unchecked();
    // A new error of `type` (borrowed; kept alive by the error) with `message`.
    static PyError lazy(PyObject* type, std::string message);

    PyError(PyError&& other) noexcept;
    PyError& operator=(PyError&& other) noexcept;
    PyError(const PyError&) = delete;
    PyError& operator=(const PyError&) = delete;
    ~PyError();

    // Hands the error to the interpreter's error indicator; the PyError is empty afterwards.
    void restore();

    // Normalised parts (made concrete first if lazy); borrowed references.
    PyObject* type();
    PyObject* value();
    PyObject* traceback();

  private:
    PyError() = default;
    void normalise();
    [[noreturn]] static void resume(PyError& panic);

    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
    std::string lazy_message_;
    bool lazy_ = false;
};

// Throws the pending Python error (see PyError::fetch).
[[noreturn]] void throw_pending();
// Throws a new Python error of `type` with `message`.
[[noreturn]] void throw_error(PyObject* type, std::string message);

// "PyErr { type: T, value: V, traceback: B }", the text of a Python error inside a message.
std::string describe(PyError& error);

// For an interpreter call that must not fail and did: prints the pending error, then fails
// with "Python API call failed".
[[noreturn]] void fail_api_call(SourceLocation where);

// The method boundary: runs `body`, which returns a new reference; turns whatever unwinds
// out of it into the interpreter's error indicator and returns null.
template <class Body>
PyObject* boundary(Body&& body) noexcept;

// Sets PanicException(message) as the pending error (creating the class on first need).
void raise_panic(const std::string& message) noexcept;

template <class Body>
PyObject* boundary(Body&& body) noexcept {
    try {
        return body();
    } catch (PyError& error) {
        error.restore();
    } catch (InternalFailure& failure) {
        raise_panic(failure.message);
    } catch (...) {
        raise_panic("unexpected C++ exception at the method boundary");
    }
    return nullptr;
}

}  // namespace vantor::binding
