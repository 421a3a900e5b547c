// Parsing a method's arguments against its parameter list.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "py_ref.hpp"

namespace vantor::binding {

// One method's parameters: all positional-or-keyword, all required. `interned` keeps the
// names as interned strings once first needed (under the interpreter lock), so that a
// keyword written at a call site, which is interned too, is recognised by identity.
template <std::size_t N>
struct Parameters {
    const char* class_name;
    const char* function_name;
    std::array<const char*, N> names;
    std::array<PyObject*, N> interned{};
};

// Fills one slot per parameter (null when not given) from the positional tuple and the
// keyword dictionary (or null), or throws the parser's TypeError.
void parse_arguments(const char* class_name, const char* function_name, const char* const* names,
                     PyObject** interned, std::size_t count, PyObject* args, PyObject* kwargs,
                     PyRef* slots);

// The usual call: every slot filled at once from the positional tuple and, by identity,
// from keywords that are our interned names (as keywords written at a call site are, once
// the general parser has interned ours). False, with every slot empty again, for anything
// else, which the general parser takes over and reports.
template <std::size_t N>
bool fill_directly(const Parameters<N>& parameters, PyObject* args, PyObject* kwargs,
                   std::array<PyRef, N>& slots) {
    const Py_ssize_t given = PyTuple_Size(args);
    if (given < 0 || given > static_cast<Py_ssize_t>(N)) return false;
    const auto positional = static_cast<std::size_t>(given);
    for (std::size_t i = 0; i < positional; ++i) {
        slots[i] = PyRef::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
    }
    std::size_t filled = positional;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value)) {
        std::size_t i = positional;
        while (i < N && key != parameters.interned[i])
            ++i;
        if (i == N || slots[i]) {
            slots = {};
            return false;
        }
        slots[i] = PyRef::borrow(value);
        ++filled;
    }
    if (filled == N) return true;
    slots = {};
    return false;
}

template <std::size_t N>
std::array<PyRef, N> parse_arguments(Parameters<N>& parameters, PyObject* args, PyObject* kwargs) {
    std::array<PyRef, N> slots;
    if (fill_directly(parameters, args, kwargs, slots)) return slots;
    parse_arguments(parameters.class_name, parameters.function_name, parameters.names.data(),
                    parameters.interned.data(), N, args, kwargs, slots.data());
    return slots;
}

}  // namespace vantor::binding
