#include "module.hpp"

#include "arguments.hpp"
#include "coder_type.hpp"
#include "error_text.hpp"
#include "failure.hpp"
#include "once.hpp"
#include "py_ref.hpp"

namespace vantor::binding {

namespace {

// The stable ABI's module API version.
constexpr int MODULE_API_VERSION = 3;

// Holds the one module object for the life of the process.
OnceCell<PyObject*> module_cell;
OnceCell<PyObject*> all_name;

PyObject* interned_all() {
    return all_name.get_or_init([] {
        PyObject* name = PyUnicode_InternFromString("__all__");
        if (name == nullptr) fail_api_call(here());
        return name;
    });
}

// The module's __all__ list, created empty when the module has none.
PyRef all_list(PyObject* module) {
    PyRef all(PyObject_GetAttr(module, interned_all()));
    if (all) {
        if (!PyList_Check(all.get())) throw cast_error(all.get(), &PyList_Type);
        return all;
    }
    PyError error = PyError::fetch();
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) throw std::move(error);
    PyRef list(PyList_New(0));
    if (!list) fail_api_call(here());
    if (PyObject_SetAttr(module, interned_all(), list.get()) != 0) throw_pending();
    return list;
}

void add_class(PyObject* module, PyType_Spec& description) {
    PyTypeObject* type = coder_type(description);
    PyRef name(PyUnicode_FromString("ArithmeticCoder"));
    if (!name) fail_api_call(here());
    PyRef all = all_list(module);
    if (PyList_Append(all.get(), name.get()) != 0) {
        PyError error = PyError::fetch();
        fail("could not append __name__ to __all__: " + describe(error), here());
    }
    if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) != 0) {
        throw_pending();
    }
}

}  // namespace

PyObject* initialise_module(PyModuleDef& definition, PyType_Spec& coder_spec) noexcept {
    return boundary([&]() -> PyObject* {
        // Single-phase modules cannot be initialised twice: the type and the cell are
        // process-wide, while a second interpreter would need its own.
        if (module_cell.get() != nullptr) {
            throw_error(PyExc_ImportError,
                        "PyO3 modules compiled for CPython 3.8 or older may only be initialized "
                        "once per interpreter process");
        }
        PyObject* module = module_cell.get_or_init([&] {
            PyRef created(PyModule_Create2(&definition, MODULE_API_VERSION));
            if (!created) throw_pending();
            add_class(created.get(), coder_spec);
            return created.release();
        });
        Py_INCREF(module);
        return module;
    });
}

}  // namespace vantor::binding
