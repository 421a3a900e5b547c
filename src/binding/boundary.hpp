// Where Python errors enter our code and where every failure leaves it.
#pragma once

#include <Python.h>

#include <string>

#include "py_error.hpp"
#include "py_ref.hpp"

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
