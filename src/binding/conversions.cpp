#include "conversions.hpp"

#include <limits>

#include "boundary.hpp"
#include "type_errors.hpp"

namespace vantor::binding {

uint64_t symbol_argument(PyObject* symbol) {
    unsigned long long value;
    if (PyLong_Check(symbol)) {
        value = PyLong_AsUnsignedLongLong(symbol);
    } else {
        PyRef index(PyNumber_Index(symbol));
        if (!index) throw argument_error("symbol", fetch_error());
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    // 2^64 - 1 is also the error marker: only a pending error makes it one.
    if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred() != nullptr) {
        throw argument_error("symbol", fetch_error());
    }
    return value;
}

BytesContent input_bytes_argument(PyObject* input_bytes) {
    if (!PyBytes_Check(input_bytes)) {
        throw argument_error("input_bytes", cast_error(input_bytes, &PyBytes_Type));
    }
    return {reinterpret_cast<const uint8_t*>(PyBytes_AsString(input_bytes)),
            static_cast<std::size_t>(PyBytes_Size(input_bytes))};
}

PyObject* none_result() {
    Py_INCREF(Py_None);
    return Py_None;
}

PyObject* int_result(uint64_t value) {
    PyObject* result = PyLong_FromUnsignedLongLong(value);
    if (result == nullptr) fail_api_call(here());
    return result;
}

PyObject* bytes_result(const ByteBuffer& buffer) {
    PyObject* result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()),
                                                 static_cast<Py_ssize_t>(buffer.size()));
    if (result == nullptr) fail_api_call(here());
    return result;
}

}  // namespace vantor::binding
