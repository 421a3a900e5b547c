#include "type_errors.hpp"

#include <string>
#include <utility>

#include "error_text.hpp"
#include "py_ref.hpp"

namespace vantor::binding {

namespace {

// The __qualname__ of `type`, or a fixed text when it cannot be had as a str.
std::string qualname_of(PyObject* type) {
    PyRef name(PyObject_GetAttrString(type, "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return compat::NO_TYPE_NAME;
    }
    return utf8_of(name.get());
}

std::string type_qualname(PyObject* object) {
    return qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

}  // namespace

PyError cast_error(PyObject* object, PyTypeObject* target) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "'" + std::string.
    std::string message = "'";
    message += type_qualname(object);
    message += compat::CANNOT_BE_CAST;
    message += qualname_of(reinterpret_cast<PyObject*>(target));
    message += "'";
    return PyError::lazy(PyExc_TypeError, std::move(message));
}

void throw_conversion_error(PyObject* object, const char* target) {
    std::string message = "'";
    message += type_qualname(object);
    message += compat::CANNOT_BE_CONVERTED;
    message += target;
    message += "'";
    throw_error(PyExc_TypeError, std::move(message));
}

PyError argument_error(const char* name, PyError error) {
    if (error.type() != PyExc_TypeError) return error;
    PyObject* original = error.value();
    std::string message = "argument '" + std::string(name) + "': " + str_or_unprintable(original);
    PyError wrapped = PyError::lazy(PyExc_TypeError, std::move(message));
    // The cause carries over; the original error itself is dropped.
    PyException_SetCause(wrapped.value(), PyException_GetCause(original));
    return wrapped;
}

}  // namespace vantor::binding
