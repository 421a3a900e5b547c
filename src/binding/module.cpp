#include "module.hpp"

#include "boundary.hpp"
#include "once.hpp"

namespace vantor::binding {

namespace {

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

PyTypeObject* create_type(PyType_Spec& description) {
    PyObject* created = PyType_FromSpec(&description);
    if (created == nullptr) {
        PyError cause = fetch_error();
        PyError error = PyError::lazy(PyExc_RuntimeError, compat::TYPE_CREATION_FAILED);
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
