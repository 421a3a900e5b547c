// Python errors in our code: the two ways a method call fails on its way to the boundary,
// and the texts those errors carry.
//
// A Python error (one raised by something we called, or one we raise with a fixed text)
// travels as PyError. An internal failure (a broken expectation) writes the failure report
// to standard error where it is detected and travels as InternalFailure; at the boundary
// (boundary.hpp) it becomes PanicException. Both unwind through RAII guards, so every
// borrow and reference taken on the way is released.
#pragma once

#include <Python.h>

#include <source_location>
#include <string>
#include <string_view>

#include "compat_texts.hpp"

namespace vantor::binding {

// The location of the calling line in our own source, for checks with no fixed location.
SourceLocation here(std::source_location where = std::source_location::current());

// An internal failure whose report has already been written.
struct InternalFailure {
    std::string message;
};

// Writes the failure report for `message` at `where`, then unwinds as InternalFailure.
[[noreturn]] void fail(std::string message, SourceLocation where);

// For an interpreter call that must not fail and did: prints the pending error, then fails
// with "Python API call failed".
[[noreturn]] void fail_api_call(SourceLocation where);

// A Python error: either taken from the interpreter (type, value, traceback owned) or lazy
// (an exception type and a message, made concrete when first needed).
class PyError {
  public:
    // The pending error as it is; SystemError "attempted to fetch exception but none was
    // set" when none is pending. Method code fetches through fetch_error (boundary.hpp),
    // which also resumes a PanicException.
    static PyError take_pending();
    // A new error of `type` (borrowed; kept alive by the error) with `message`.
    static PyError lazy(PyObject* type, std::string message);

    PyError(PyError&& other) noexcept;
    PyError& operator=(PyError&&) = delete;
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

    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
    std::string lazy_message_;
    bool lazy_ = false;
};

// Throws a new Python error of `type` with `message`.
[[noreturn]] void throw_error(PyObject* type, std::string message);

// "PyErr { type: T, value: V, traceback: B }", the text of a Python error inside a message.
std::string describe(PyError& error);

// ---- text forms of Python objects inside messages and failure reports ----
// None of these raise: an object that cannot be rendered is written out as unraisable and
// named instead.

// A `str` as UTF-8; lone surrogates and other unencodable parts become U+FFFD, one for
// each maximal invalid subsequence of their UTF-8 form.
std::string utf8_of(PyObject* text);

// str(object) / repr(object); when that raises, the error is written out as unraisable
// and the text is "<unprintable {type name} object>" (or "<unprintable object>").
std::string str_or_unprintable(PyObject* object);
std::string repr_or_unprintable(PyObject* object);

// `text` between double quotes, with backslash escapes for quotes, backslashes, control
// and other non-printable characters.
std::string quoted(std::string_view text);

// ---- the TypeErrors of argument and object conversion ----

// TypeError "'{from}' object cannot be cast as '{to}'": `object` is not of `target` type.
PyError cast_error(PyObject* object, PyTypeObject* target);

// Throws TypeError "'{from}' object cannot be converted to '{target}'".
[[noreturn]] void throw_conversion_error(PyObject* object, const char* target);

// The error to raise when converting argument `name` failed with `error`: a TypeError
// (exactly) gains the argument's name, anything else passes unchanged.
PyError argument_error(const char* name, PyError error);

}  // namespace vantor::binding
