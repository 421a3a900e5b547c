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

// A call by keyword whose keywords are our interned names (as keywords written at a call site
// are, once the general parser has interned ours): every slot filled by identity, or false
// with every slot empty again, for the general parser to take the call over.
template <std::size_t N>
bool fill_by_identity(const Parameters<N>& parameters, PyObject* args, PyObject* kwargs,
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
    while (PyDict_Next(kwargs, &position, &key, &value)) {
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
    // The usual call, every argument by position, needs none of the general parser's work.
    if (kwargs == nullptr && PyTuple_Size(args) == static_cast<Py_ssize_t>(N)) {
        for (std::size_t i = 0; i < N; ++i) {
            slots[i] = PyRef::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
        }
        return slots;
    }
    if (kwargs != nullptr && fill_by_identity(parameters, args, kwargs, slots)) return slots;
    parse_arguments(parameters.class_name, parameters.function_name, parameters.names.data(),
                    parameters.interned.data(), N, args, kwargs, slots.data());
    return slots;
}

}  // namespace vantor::binding
