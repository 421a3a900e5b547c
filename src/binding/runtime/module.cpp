#include "module.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "boundary.hpp"
#include "errors.hpp"
#include "once.hpp"

namespace vantor::binding {

namespace {

// ---- the parser ----

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

// ---- the module ----

// The stable ABI's module API version.
constexpr int MODULE_API_VERSION = 3;

PyObject* interned_all() {
    static OnceCell<PyObject*> cell;
    return cell.get_or_init([] {
        PyObject* name = PyUnicode_InternFromString("__all__");
        if (name == nullptr) fail_api_call(here());
        return name;
    });
}

void add_class(PyObject* module, const char* class_name, PyTypeObject* type) {
    PyRef name(PyUnicode_FromString(class_name));
    if (!name) fail_api_call(here());
    // A module fresh from its definition has no __all__ yet.
    PyRef all(PyList_New(0));
    if (!all) fail_api_call(here());
    if (PyObject_SetAttr(module, interned_all(), all.get()) != 0) throw_pending();
    if (PyList_Append(all.get(), name.get()) != 0) {
        PyError error = fetch_error();
        fail(compat::ALL_APPEND_FAILED + describe(error), here());
    }
    if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) != 0) {
        throw_pending();
    }
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

PyTypeObject* create_type(PyType_Spec& description) {
    PyObject* created = PyType_FromSpec(&description);
    if (created == nullptr) {
        PyError cause = fetch_error();
        // The class's own name: what follows the module's in "module.Class".
        const std::string_view full = description.name;
        const std::string_view name = full.substr(full.rfind('.') + 1);
        PyError error = PyError::lazy(PyExc_RuntimeError,
                                      std::string(compat::TYPE_CREATION_FAILED).append(name));
        Py_INCREF(cause.value());
        PyException_SetCause(error.value(), cause.value());
        throw std::move(error);
    }
    return reinterpret_cast<PyTypeObject*>(created);
}

PyObject* initialise_module(PyModuleDef& definition, const char* class_name,
                            PyTypeObject* (*class_type)()) noexcept {
    // Holds the one module object for the life of the process.
    static OnceCell<PyObject*> module_cell;
    return boundary([&]() -> PyObject* {
        // Single-phase modules cannot be initialised twice: the type and the cell are
        // process-wide, while a second interpreter would need its own.
        if (module_cell.get() != nullptr) throw_error(PyExc_ImportError, compat::INITIALISED_TWICE);
        PyObject* module = module_cell.get_or_init([&] {
            PyRef created(PyModule_Create2(&definition, MODULE_API_VERSION));
            if (!created) throw_pending();
            add_class(created.get(), class_name, class_type());
            return created.release();
        });
        Py_INCREF(module);
        return module;
    });
}

}  // namespace vantor::binding
