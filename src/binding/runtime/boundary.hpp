// Where Python errors enter our code and where every failure leaves it: the pending error
// taken (a PanicException coming back through Python code resumed), and the method
// boundary, where whatever unwinds becomes the interpreter's error indicator.
#pragma once

#include <Python.h>

#include <string>

#include "errors.hpp"
#include "interpreter.hpp"

namespace vantor::binding {

// The pending Python error, after an interpreter call reported failure. A PanicException
// (exactly that class) is a failure of ours, or of an extension sharing the class, that
// went through Python code and came back: it is resumed instead, and unwinds as the
// InternalFailure it carries.
PyError fetch_error();

// Throws the pending Python error (see fetch_error).
[[noreturn]] void throw_pending();

// The new reference an interpreter call returned, or its pending error thrown.
inline PyRef checked(PyObject* result) {
    if (result == nullptr) throw_pending();
    return PyRef(result);
}

// The class (borrowed; kept for the life of the process), created on first need. A failed
// creation is an internal failure; the next need tries again.
PyObject* panic_exception_type();

// Sets PanicException(message) as the pending error (creating the class on first need).
void raise_panic(const std::string& message) noexcept;

// The method boundary: runs `body`, which returns a new reference; turns whatever unwinds
// out of it into the interpreter's error indicator and returns null.
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
