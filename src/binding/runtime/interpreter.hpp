// What our code holds of the interpreter, each given back on every way out: an owned
// reference to a Python object, and (while a long batch codes) the interpreter lock given
// up for other threads.
#pragma once

#include <Python.h>

#include <utility>

namespace vantor::binding {

// An owned (strong) reference to a Python object, released when it goes out of scope.
class PyRef {
  public:
    PyRef() = default;
    // Takes over `owned`, a new reference or null.
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
    // A second reference to `borrowed`.
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Gives up ownership: the caller now holds the reference.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

  private:
    PyObject* object_ = nullptr;
};

// Releases the interpreter lock for its lifetime, and takes it back on every way out.
// Only work on plain values may run inside: nothing that touches a Python object.
class WithoutInterpreterLock {
  public:
    WithoutInterpreterLock() : thread_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(thread_); }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

  private:
    PyThreadState* thread_;
};

}  // namespace vantor::binding
