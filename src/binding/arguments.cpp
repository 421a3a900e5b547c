#include "arguments.hpp"

#include <string>
#include <vector>

#include "error_text.hpp"
#include "py_error.hpp"

namespace vantor::binding {

namespace {

std::string full_name(const char* class_name, const char* function_name) {
    return std::string(class_name) + "." + function_name + "()";
}

std::string count_text(Py_ssize_t count) {
    return std::to_string(count);
}

// The parameter a keyword names, or `count` when it names none (a key that is not a str
// names none). Compares without building anything, so that a call by keyword costs little
// more than a positional one.
std::size_t parameter_named(PyObject* key, const char* const* names, PyObject** interned,
                            std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (interned[i] == nullptr) {
            interned[i] = PyUnicode_InternFromString(names[i]);
            if (interned[i] == nullptr) PyErr_Clear();  // compared by content below
        }
        if (key == interned[i]) return i;
    }
    if (!PyUnicode_Check(key)) return count;
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return i;
    }
    return count;
}

std::string quoted_list(const char* const* names, const std::vector<std::size_t>& missing) {
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) list += i + 1 == missing.size() ? " and " : ", ";
        list += "'";
        list += names[missing[i]];
        list += "'";
    }
    return list;
}

}  // namespace

void parse_arguments(const char* class_name, const char* function_name, const char* const* names,
                     PyObject** interned, std::size_t count, PyObject* args, PyObject* kwargs,
                     PyRef* slots) {
    const Py_ssize_t given = PyTuple_Size(args);
    const auto positional = static_cast<std::size_t>(given);
    for (std::size_t i = 0; i < positional && i < count; ++i) {
        slots[i] = PyRef::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
    }
    if (positional > count) {
        throw_error(PyExc_TypeError, full_name(class_name, function_name) + " takes " +
                                         std::to_string(count) + " positional arguments but " +
                                         count_text(given) + " " + (given == 1 ? "was" : "were") +
                                         " given");
    }

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            const std::size_t match = parameter_named(key, names, interned, count);
            if (match == count) {
                // Rendering the key may run Python code; the loop ends here regardless.
                throw_error(PyExc_TypeError, full_name(class_name, function_name) +
                                                 " got an unexpected keyword argument '" +
                                                 str_or_unprintable(key) + "'");
            }
            if (slots[match]) {
                throw_error(PyExc_TypeError, full_name(class_name, function_name) +
                                                 " got multiple values for argument '" +
                                                 names[match] + "'");
            }
            slots[match] = PyRef::borrow(value);
        }
    }

    if (positional < count) {
        std::vector<std::size_t> missing;
        for (std::size_t i = positional; i < count; ++i) {
            if (!slots[i]) missing.push_back(i);
        }
        if (const std::size_t k = missing.size(); k > 0) {
            throw_error(PyExc_TypeError, full_name(class_name, function_name) + " missing " +
                                             std::to_string(k) + " required positional " +
                                             (k == 1 ? "argument" : "arguments") + ": " +
                                             quoted_list(names, missing));
        }
    }
}

}  // namespace vantor::binding
