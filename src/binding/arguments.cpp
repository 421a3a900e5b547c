#include "arguments.hpp"

#include <string>
#include <string_view>
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

// The UTF-8 bytes of a str key, or false when the key is no str or cannot be encoded.
bool key_bytes(PyObject* key, PyRef& encoded, std::string_view& bytes) {
    if (!PyUnicode_Check(key)) return false;
    encoded = PyRef(PyUnicode_AsUTF8String(key));
    if (!encoded) {
        PyErr_Clear();
        return false;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) != 0) {
        PyErr_Clear();
        return false;
    }
    bytes = {data, static_cast<std::size_t>(size)};
    return true;
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
                     std::size_t count, PyObject* args, PyObject* kwargs, PyRef* slots) {
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
            PyRef encoded;
            std::string_view bytes;
            std::size_t match = count;
            if (key_bytes(key, encoded, bytes)) {
                for (std::size_t i = 0; i < count; ++i) {
                    if (bytes == names[i]) {
                        match = i;
                        break;
                    }
                }
            }
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
