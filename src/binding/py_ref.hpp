// An owned (strong) reference to a Python object, released when it goes out of scope.
#pragma once

#include <Python.h>

#include <utility>

namespace vantor::binding {

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

}  // namespace vantor::binding
