#include "boundary.hpp"

#include <utility>

#include "once.hpp"
#include "platform.hpp"

namespace vantor::binding {

namespace {

[[noreturn]] void resume(PyError& panic) {
    std::string message = compat::UNWRAPPED_PANIC;
    PyRef text(PyObject_Str(panic.value()));
    if (text) {
        message = utf8_of(text.get());
    } else {
        PyErr_Clear();
    }
    platform::write_stderr(compat::RESUMING_PANIC);
    panic.restore();
    PyErr_PrintEx(0);
    throw InternalFailure{std::move(message)};
}

}  // namespace

PyObject* panic_exception_type() {
    static OnceCell<PyObject*> cell;
    return cell.get_or_init([] {
        PyObject* type = PyErr_NewExceptionWithDoc(compat::PANIC_NAME, compat::PANIC_DOC,
                                                   PyExc_BaseException, /*dict=*/nullptr);
        if (type == nullptr) {
            PyError error = PyError::take_pending();
            fail(compat::PANIC_TYPE_FAILED + describe(error), here());
        }
        return type;
    });
}

PyError fetch_error() {
    const bool pending = PyErr_Occurred() != nullptr;
    PyError error = PyError::take_pending();
    if (pending && reinterpret_cast<PyObject*>(Py_TYPE(error.value())) == panic_exception_type()) {
        resume(error);
    }
    return error;
}

void throw_pending() {
    throw fetch_error();
}

void raise_panic(const std::string& message) noexcept {
    try {
        PyError::lazy(panic_exception_type(), message).restore();
    } catch (...) {
        // The class cannot be had (that failure has been reported): raise what we can.
        PyErr_SetString(PyExc_SystemError, message.c_str());
    }
}

}  // namespace vantor::binding
