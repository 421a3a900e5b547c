// NumPy as we reach it: the parts of its binary interface that we read, declared here
// rather than taken from NumPy's headers so that one build serves NumPy 1.x and 2.x (only
// the layouts and table slots below are relied on; each is stable within its series), and
// its C interface, reached at run time through the `_ARRAY_API` capsule and kept for the
// life of the process. Nothing here touches NumPy before its first need.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "binding/runtime/once.hpp"

namespace vantor::binding::numpy_abi {

using npy_intp = Py_ssize_t;

// The leading fields of an ndarray, the same in both series. The object goes on past
// `flags` (weak references, buffer info, memory handler); we never read those.
struct ArrayObject {
    PyObject ob_base;
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;  // owner of the memory, or null
    PyObject* descr;
    int flags;
};

// A data type descriptor up to its element size, NumPy 1.x: `elsize` is an int right after
// `type_num`.
struct DescrV1 {
    PyObject ob_base;
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char flags;
    int type_num;
    int elsize;
};

// NumPy 2.x: the flags grew to 64 bits and sit after `type_num`; `elsize` became an npy_intp.
struct DescrV2 {
    PyObject ob_base;
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char former_flags;
    int type_num;
    uint64_t flags;
    npy_intp elsize;
};

static_assert(offsetof(ArrayObject, data) == sizeof(PyObject));
static_assert(offsetof(DescrV1, elsize) == sizeof(PyObject) + 16);
static_assert(offsetof(DescrV2, elsize) == sizeof(PyObject) + 24);

// The first C feature version of NumPy 2, whose descriptors have the DescrV2 layout.
inline constexpr unsigned NUMPY2_FEATURE_VERSION = 18;

inline constexpr int ARRAY_C_CONTIGUOUS = 0x0001;
inline constexpr int ARRAY_F_CONTIGUOUS = 0x0002;
inline constexpr int ARRAY_WRITEABLE = 0x0400;

// 64-bit integers: `long` where it has 64 bits, else `long long`.
inline constexpr int TYPE_INT64 = sizeof(long) == 8 ? 7 : 9;
inline constexpr int TYPE_FLOAT = 11;
inline constexpr int TYPE_DOUBLE = 12;
inline constexpr int TYPE_HALF = 23;

// Slots of the C-API table (the `_ARRAY_API` capsule's pointer, an array of void*).
inline constexpr std::size_t SLOT_ARRAY_TYPE = 2;  // the PyArray_Type object itself
inline constexpr std::size_t SLOT_DESCR_FROM_TYPE = 45;
inline constexpr std::size_t SLOT_NEW = 93;
inline constexpr std::size_t SLOT_DESCR_CONVERTER2 = 175;
inline constexpr std::size_t SLOT_EQUIV_TYPES = 182;
inline constexpr std::size_t SLOT_FEATURE_VERSION = 211;

extern "C" {
// New reference to the built-in descriptor of a type number, or null with an error set.
typedef PyObject* DescrFromTypeFn(int type_num);
// 1 with a new reference (or null for None) in *out, or 0 with an error set.
typedef int DescrConverter2Fn(PyObject* object, PyObject** out);
// Declared as npy_bool (unsigned char); only the low byte of the result is defined.
typedef unsigned char EquivTypesFn(PyObject* first, PyObject* second);
typedef unsigned int FeatureVersionFn(void);
// PyArray_New: a new array of `type_num` with the given shape, its own memory when `data`
// is null; null with an error set on failure.
typedef PyObject* NewArrayFn(PyTypeObject* subtype, int nd, const npy_intp* dimensions,
                             int type_num, const npy_intp* strides, void* data, int itemsize,
                             int flags, PyObject* obj);
}

inline ArrayObject* as_array(PyObject* object) {
    return reinterpret_cast<ArrayObject*>(object);
}

// The kind character of a descriptor ('i' signed, 'u' unsigned, 'f' floating, ...) and its
// byte order ('=' native, '<' little, '>' big, '|' not applicable); the same place in both
// layouts.
inline char kind_of(PyObject* descr) {
    return reinterpret_cast<DescrV1*>(descr)->kind;
}
inline char byte_order_of(PyObject* descr) {
    return reinterpret_cast<DescrV1*>(descr)->byteorder;
}

// Element size of `descr`, read with the layout of the running NumPy.
inline npy_intp element_size(PyObject* descr, bool numpy2_layout) {
    if (numpy2_layout) return reinterpret_cast<DescrV2*>(descr)->elsize;
    return reinterpret_cast<DescrV1*>(descr)->elsize;
}

}  // namespace vantor::binding::numpy_abi

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
