// Converting method arguments to engine values and engine results to Python objects.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/byte_buffer.hpp"
#include "runtime/interpreter.hpp"

namespace vantor::binding {

// `symbol` as an unsigned 64-bit integer: an int (or subclass) directly, anything else
// through __index__. Throws the conversion error, prefixed with the argument name when it
// is a TypeError.
uint64_t symbol_argument(PyObject* symbol);

// `symbols` as unsigned 64-bit integers: a one-dimensional NumPy array of any integer type
// (any stride or byte order), or any sequence of integers, each converted as a `symbol` is.
// A wrong entry is reported with its index ("symbols[3]: ..."), a wrong array with a
// TypeError.
std::vector<uint64_t> symbols_argument(PyObject* symbols);

// The content of `input_bytes`, which must be bytes or a bytes subclass; read it while the
// argument is held.
struct BytesContent {
    const uint8_t* data;
    std::size_t size;
};
BytesContent input_bytes_argument(PyObject* input_bytes);

// New references for the results; a failure to make one is an internal failure.
PyObject* none_result();
PyObject* int_result(uint64_t value);
PyObject* bytes_result(const ByteBuffer& buffer);
// A new one-dimensional int64 array for `count` decoded symbols, uninitialised; `data`
// points at its elements.
PyRef symbols_result(uint64_t count, uint64_t*& data);

}  // namespace vantor::binding
