// Parsing a method's arguments against its parameter list, and the TypeErrors of argument
// conversion.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "failure.hpp"
#include "py_ref.hpp"

namespace vantor::binding {

// One method's parameters: all positional-or-keyword, the first `required` of them needed.
template <std::size_t N>
struct Parameters {
    const char* class_name;
    const char* function_name;
    std::array<const char*, N> names;
    std::size_t required = N;
};

// Fills one slot per parameter (null when not given) from the positional tuple and the
// keyword dictionary (or null), or throws the parser's TypeError.
void parse_arguments(const char* class_name, const char* function_name, const char* const* names,
                     std::size_t count, std::size_t required, PyObject* args, PyObject* kwargs,
                     PyRef* slots);

template <std::size_t N>
std::array<PyRef, N> parse_arguments(const Parameters<N>& parameters, PyObject* args,
                                     PyObject* kwargs) {
    std::array<PyRef, N> slots;
    parse_arguments(parameters.class_name, parameters.function_name, parameters.names.data(), N,
                    parameters.required, args, kwargs, slots.data());
    return slots;
}

// The error to raise when converting argument `name` failed with `error`: a TypeError
// (exactly) gains the argument's name, anything else passes unchanged.
PyError argument_error(const char* name, PyError error);

// TypeError "'{from}' object cannot be cast as '{to}'".
PyError cast_error(PyObject* object, PyTypeObject* target);

}  // namespace vantor::binding
