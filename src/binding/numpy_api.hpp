// Access to NumPy's C interface, reached at run time through the `_ARRAY_API` capsule and
// kept for the life of the process. Nothing here touches NumPy before its first need.
#pragma once

#include <Python.h>

#include <string>

#include "numpy_abi.hpp"
#include "once.hpp"

namespace vantor::binding {

class NumpyApi {
  public:
    // "numpy._core.multiarray" for NumPy 2 and later, "numpy.core.multiarray" before. Throws
    // the PyError that kept it from being found.
    static const std::string& multiarray_name();

    // The table and feature version, set up on first use. Failing to reach them is an
    // internal failure ("Failed to access NumPy array API capsule: ..."). Inline, like the
    // checks below: every step asks for them.
    static const NumpyApi& get() {
        if (const NumpyApi* ready = cell_.get()) return *ready;
        return set_up();
    }

    PyTypeObject* array_type() const {
        return static_cast<PyTypeObject*>(table_[numpy_abi::SLOT_ARRAY_TYPE]);
    }
    bool is_array(PyObject* object) const {
        PyTypeObject* type = Py_TYPE(object);
        return type == array_type() || PyType_IsSubtype(type, array_type()) != 0;
    }
    // Whether `descr` is NumPy's built-in descriptor of float32, float16 or float64 (one
    // of the type numbers in numpy_abi), or equivalent to it, byte order included.
    bool is_builtin(PyObject* descr, int type_num) const {
        PyObject* builtin = type_num == numpy_abi::TYPE_FLOAT  ? float32_
                            : type_num == numpy_abi::TYPE_HALF ? float16_
                                                               : float64_;
        return descr == builtin || equivalent(descr, builtin);
    }
    bool equivalent(PyObject* first, PyObject* second) const;
    // A new one-dimensional int64 array of `length` elements, uninitialised.
    PyObject* new_int64_vector(Py_ssize_t length) const;
    // Whether descriptors have NumPy 2's layout.
    bool numpy2_layout() const;

    // The bfloat16 descriptor (borrowed, kept for the process) once a package that registers
    // it has been loaded; null before that, when the lookup is tried again at the next need.
    PyObject* bfloat16() const;

  private:
    explicit NumpyApi(void* const* table);
    static const NumpyApi& set_up();

    static OnceCell<NumpyApi> cell_;

    void* const* table_;
    unsigned feature_version_;
    // NumPy's built-in descriptors never change: each is fetched once and kept.
    PyObject* float32_;
    PyObject* float16_;
    PyObject* float64_;
};

}  // namespace vantor::binding
