// The module's surface as the interpreter sees it: each method described once (its name,
// calling convention, parameters and text signature), the parser of its arguments, the
// class made from its description, and the module's one initialisation.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "interpreter.hpp"

namespace vantor::binding {

// How a method is called: with `self` alone, or with arguments by position or keyword.
enum class Convention { NoArguments, PositionalOrKeyword };

// Room for a text signature, "name($self, a, b)\n--\n\n", and its terminating zero.
inline constexpr std::size_t SIGNATURE_ROOM = 96;

// One method, described once: the method table's entry (method_entry), its parser
// (parse_arguments) and its __text_signature__ are all made from this. Its parameters are
// positional-or-keyword and required. Made by the compiler, so that a description that
// does not fit is a compile error, and mutable only in `interned`.
template <std::size_t N>
struct Method {
    const char* class_name;
    const char* name;
    Convention convention;
    std::array<const char*, N> parameters;
    // The names as interned strings once first needed (under the interpreter lock), so that
    // a keyword written at a call site, which is interned too, is recognised by identity.
    std::array<PyObject*, N> interned{};
    // The doc string the interpreter reads __text_signature__ from.
    std::array<char, SIGNATURE_ROOM> text_signature{};

    consteval Method(const char* class_name, const char* name, Convention convention,
                     std::array<const char*, N> parameters)
        : class_name(class_name), name(name), convention(convention), parameters(parameters) {
        if (convention == Convention::NoArguments && N != 0) throw "parameters without arguments";
        std::size_t at = 0;
        const auto append = [&](const char* text) {
            for (; *text != '\0'; ++text) {
                if (at + 1 == SIGNATURE_ROOM) throw "text signature longer than SIGNATURE_ROOM";
                text_signature[at++] = *text;
            }
        };
        append(name);
        append("($self");
        for (const char* parameter : parameters) {
            append(", ");
            append(parameter);
        }
        append(")\n--\n\n");
    }

    int flags() const {
        return convention == Convention::NoArguments ? METH_NOARGS : METH_VARARGS | METH_KEYWORDS;
    }
};

// The method table's entry for `method`, implemented by `function`.
inline PyMethodDef method_entry(const Method<0>& method, PyCFunction function) {
    return {method.name, function, method.flags(), method.text_signature.data()};
}
template <std::size_t N>
PyMethodDef method_entry(const Method<N>& method, PyCFunctionWithKeywords function) {
    return {method.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            method.flags(), method.text_signature.data()};
}

// ---- the parser ----

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
bool fill_directly(const Method<N>& method, PyObject* args, PyObject* kwargs,
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
        while (i < N && key != method.interned[i])
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
std::array<PyRef, N> parse_arguments(Method<N>& method, PyObject* args, PyObject* kwargs) {
    std::array<PyRef, N> slots;
    if (fill_directly(method, args, kwargs, slots)) return slots;
    parse_arguments(method.class_name, method.name, method.parameters.data(),
                    method.interned.data(), N, args, kwargs, slots.data());
    return slots;
}

// ---- the class and the module ----

// The type made from `description`. Failure is RuntimeError "An error occurred while
// initializing class {name}", caused by the error of the creation.
PyTypeObject* create_type(PyType_Spec& description);

// The body of PyInit__vantor: creates the module from `definition` and adds the class
// `class_type()` to it under `class_name`, and to its __all__. Every call after a
// successful one fails with ImportError. Returns a new reference, or null with an
// exception set.
PyObject* initialise_module(PyModuleDef& definition, const char* class_name,
                            PyTypeObject* (*class_type)()) noexcept;

}  // namespace vantor::binding
