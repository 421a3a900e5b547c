#include "panic_exception.hpp"

#include <string>

#include "failure.hpp"
#include "once.hpp"

namespace vantor::binding {

namespace {

// A BaseException subclass, so that `except Exception` does not swallow it.
constexpr const char* NAME = "pyo3_runtime.PanicException";
constexpr const char* DOC =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

OnceCell<PyObject*> panic_type;

}  // namespace

PyObject* panic_exception_type() {
    return panic_type.get_or_init([] {
        PyObject* type =
            PyErr_NewExceptionWithDoc(NAME, DOC, PyExc_BaseException, /*dict=*/nullptr);
        if (type == nullptr) {
            // Not PyError::fetch: that compares against this very class.
            PyError error = PyError::fetch_unchecked();
            fail("Failed to initialize new exception type.: " + describe(error), here());
        }
        return type;
    });
}

}  // namespace vantor::binding
