// Parsing a method's arguments against its parameter list.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "py_ref.hpp"

namespace vantor::binding {

// One method's parameters: all positional-or-keyword, all required.
template <std::size_t N>
struct Parameters {
    const char* class_name;
    const char* function_name;
    std::array<const char*, N> names;
};

// Fills one slot per parameter (null when not given) from the positional tuple and the
// keyword dictionary (or null), or throws the parser's TypeError.
void parse_arguments(const char* class_name, const char* function_name, const char* const* names,
                     std::size_t count, PyObject* args, PyObject* kwargs, PyRef* slots);

template <std::size_t N>
std::array<PyRef, N> parse_arguments(const Parameters<N>& parameters, PyObject* args,
                                     PyObject* kwargs) {
    std::array<PyRef, N> slots;
    parse_arguments(parameters.class_name, parameters.function_name, parameters.names.data(), N,
                    args, kwargs, slots.data());
    return slots;
}

}  // namespace vantor::binding
