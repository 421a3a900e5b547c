#include "panic_exception.hpp"

#include "once.hpp"
#include "py_error.hpp"

namespace vantor::binding {

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

}  // namespace vantor::binding
