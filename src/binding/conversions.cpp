#include "conversions.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "numpy/api.hpp"
#include "runtime/boundary.hpp"

namespace vantor::binding {

namespace {

namespace abi = numpy_abi;

// `symbol` as an unsigned 64-bit integer, or the conversion's error thrown as it is.
uint64_t symbol_value(PyObject* symbol) {
    unsigned long long value;
    if (PyLong_Check(symbol)) {
        value = PyLong_AsUnsignedLongLong(symbol);
    } else {
        PyRef index(PyNumber_Index(symbol));
        if (!index) throw_pending();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    // 2^64 - 1 is also the error marker: only a pending error makes it one.
    if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred() != nullptr) {
        throw_pending();
    }
    return value;
}

// An entry's conversion error, led by its place: "symbols[3]: {message}", for the
// conversion's own errors (TypeError, OverflowError); others pass unchanged.
PyError entry_error(Py_ssize_t index, PyError error) {
    PyObject* type = error.type();
    if (type != PyExc_TypeError && type != PyExc_OverflowError) return error;
    PyError placed = PyError::lazy(
        type, "symbols[" + std::to_string(index) + "]: " + str_or_unprintable(error.value()));
    PyException_SetCause(placed.value(), PyException_GetCause(error.value()));
    return placed;
}

[[noreturn]] void negative_entry(Py_ssize_t index) {
    throw entry_error(index,
                      PyError::lazy(PyExc_OverflowError, "can't convert negative int to unsigned"));
}

template <class T>
T load(const char* at, bool swapped) {
    T value;
    std::memcpy(&value, at, sizeof value);
    if (swapped) {
        unsigned char bytes[sizeof value];
        std::memcpy(bytes, &value, sizeof value);
        for (std::size_t i = 0; i < sizeof value / 2; ++i)
            std::swap(bytes[i], bytes[sizeof value - 1 - i]);
        std::memcpy(&value, bytes, sizeof value);
    }
    return value;
}

template <class T>
void read_entries(const abi::ArrayObject* array, bool swapped, std::vector<uint64_t>& out) {
    const char* at = array->data;
    for (std::size_t i = 0; i < out.size(); ++i, at += array->strides[0]) {
        const T value = load<T>(at, swapped);
        if constexpr (std::is_signed_v<T>) {
            if (value < 0) negative_entry(static_cast<Py_ssize_t>(i));
        }
        out[i] = static_cast<uint64_t>(value);
    }
}

std::vector<uint64_t> symbols_of_array(const NumpyApi& numpy, PyObject* symbols) {
    const abi::ArrayObject* array = abi::as_array(symbols);
    if (array->nd != 1) {
        throw_error(PyExc_TypeError,
                    "symbols must have 1 dimension, not " + std::to_string(array->nd));
    }
    const char kind = abi::kind_of(array->descr);
    const auto size = abi::element_size(array->descr, numpy.numpy2_layout());
    if ((kind != 'i' && kind != 'u') || (size != 1 && size != 2 && size != 4 && size != 8)) {
        throw_error(PyExc_TypeError,
                    "symbols must be integers, not " + str_or_unprintable(array->descr));
    }
    constexpr char foreign_order = std::endian::native == std::endian::little ? '>' : '<';
    const bool swapped = abi::byte_order_of(array->descr) == foreign_order;
    std::vector<uint64_t> out(static_cast<std::size_t>(array->dimensions[0]));
    const bool is_signed = kind == 'i';
    switch (size) {
        case 1:
            is_signed ? read_entries<int8_t>(array, swapped, out)
                      : read_entries<uint8_t>(array, swapped, out);
            break;
        case 2:
            is_signed ? read_entries<int16_t>(array, swapped, out)
                      : read_entries<uint16_t>(array, swapped, out);
            break;
        case 4:
            is_signed ? read_entries<int32_t>(array, swapped, out)
                      : read_entries<uint32_t>(array, swapped, out);
            break;
        default:
            is_signed ? read_entries<int64_t>(array, swapped, out)
                      : read_entries<uint64_t>(array, swapped, out);
            break;
    }
    return out;
}

}  // namespace

std::vector<uint64_t> symbols_argument(PyObject* symbols) {
    const NumpyApi& numpy = NumpyApi::get();
    if (numpy.is_array(symbols)) return symbols_of_array(numpy, symbols);
    // A tuple of the entries: a list that the entries' own conversions change under us
    // cannot pull the items away.
    PyRef entries(PySequence_Tuple(symbols));
    if (!entries) throw argument_error("symbols", fetch_error());
    const Py_ssize_t count = PyTuple_Size(entries.get());
    std::vector<uint64_t> out(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        try {
            out[static_cast<std::size_t>(i)] = symbol_value(PyTuple_GetItem(entries.get(), i));
        } catch (PyError& error) {
            throw entry_error(i, std::move(error));
        }
    }
    return out;
}

uint64_t symbol_argument(PyObject* symbol) {
    try {
        return symbol_value(symbol);
    } catch (PyError& error) {
        throw argument_error("symbol", std::move(error));
    }
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

PyRef symbols_result(uint64_t count, uint64_t*& data) {
    PyRef array = checked(NumpyApi::get().new_int64_vector(static_cast<Py_ssize_t>(count)));
    // Decoded symbols are below the row length, so they fit the int64 elements as they are.
    data = reinterpret_cast<uint64_t*>(abi::as_array(array.get())->data);
    return array;
}

PyObject* bytes_result(const ByteBuffer& buffer) {
    PyObject* result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()),
                                                 static_cast<Py_ssize_t>(buffer.size()));
    if (result == nullptr) fail_api_call(here());
    return result;
}

}  // namespace vantor::binding
