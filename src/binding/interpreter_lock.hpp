// Letting other threads run Python while a long batch codes.
#pragma once

#include <Python.h>

namespace vantor::binding {

// Releases the interpreter lock for its lifetime, and takes it back on every way out.
// Only plain engine work may run inside: nothing that touches a Python object.
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
