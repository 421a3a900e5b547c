#include "conversion_error.hpp"

#include <string>
#include <utility>

#include "failure.hpp"
#include "py_ref.hpp"

namespace vantor::binding {

namespace {

std::string type_qualname(PyObject* object) {
    PyRef name(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        PyRef utf8(PyUnicode_AsUTF8String(name.get()));
        if (utf8) return PyBytes_AsString(utf8.get());
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

}  // namespace

void throw_conversion_error(PyObject* object, const char* target) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "'" + std::string.
    std::string message = "'";
    message += type_qualname(object);
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    throw_error(PyExc_TypeError, std::move(message));
}

}  // namespace vantor::binding
