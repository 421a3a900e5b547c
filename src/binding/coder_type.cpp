#include "coder_type.hpp"

#include <atomic>

#include "arguments.hpp"
#include "failure.hpp"

namespace vantor::binding {

namespace {

// Filled under the interpreter lock, holding one reference for the life of the process.
std::atomic<PyTypeObject*> type_cell{nullptr};

}  // namespace

PyTypeObject* coder_type(PyType_Spec& description) {
    if (PyTypeObject* existing = type_cell.load(std::memory_order_acquire)) return existing;

    PyObject* created = PyType_FromSpec(&description);
    if (created == nullptr) {
        PyError cause = PyError::fetch();
        PyError error = PyError::lazy(PyExc_RuntimeError,
                                      "An error occurred while initializing class ArithmeticCoder");
        Py_INCREF(cause.value());
        PyException_SetCause(error.value(), cause.value());
        throw error;
    }
    // Creation can run Python code; should another thread have won meanwhile, use its type.
    PyTypeObject* expected = nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(created);
    if (!type_cell.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return type;
}

PyTypeObject* coder_type() {
    return type_cell.load(std::memory_order_acquire);
}

CoderObject& coder_from(PyObject* self) {
    PyTypeObject* type = coder_type();
    if (type == nullptr || (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type))) {
        if (type == nullptr) throw_error(PyExc_SystemError, "ArithmeticCoder is not initialised");
        throw cast_error(self, type);
    }
    return *reinterpret_cast<CoderObject*>(self);
}

}  // namespace vantor::binding
