#include "api.hpp"

#include "binding/runtime/boundary.hpp"
#include "compat_texts.hpp"

namespace vantor::binding {

namespace {

namespace abi = numpy_abi;

// NumPy's major version as Python sees it, through numpy.lib.NumpyVersion.
unsigned numpy_major_version() {
    PyRef numpy = checked(PyImport_ImportModule("numpy"));
    PyRef version = checked(PyObject_GetAttrString(numpy.get(), "__version__"));
    PyRef lib = checked(PyImport_ImportModule("numpy.lib"));
    PyRef parse = checked(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    PyRef parsed = checked(PyObject_CallFunctionObjArgs(parse.get(), version.get(), nullptr));
    PyRef major = checked(PyObject_GetAttrString(parsed.get(), "major"));
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred() != nullptr) throw_pending();
    if (value < 0 || value > 255) {
        throw_error(PyExc_OverflowError, compat::VERSION_OUT_OF_RANGE);
    }
    return static_cast<unsigned>(value);
}

void* const* load_table() {
    PyRef module = checked(PyImport_ImportModule(NumpyApi::multiarray_name().c_str()));
    PyRef capsule = checked(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get()))
        throw_conversion_error(capsule.get(), compat::CAPSULE_TARGET);
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) throw_pending();
    // The capsule lives in NumPy's module for the life of the process, so its pointer does.
    return static_cast<void* const*>(table);
}

void* const* table() {
    static OnceCell<void* const*> cell;
    return cell.get_or_init([] {
        try {
            return load_table();
        } catch (PyError& error) {
            fail(compat::NUMPY_API_UNREACHABLE + describe(error), here());
        }
    });
}

template <class Fn>
Fn* slot(void* const* table, std::size_t index) {
    return reinterpret_cast<Fn*>(table[index]);
}

// New reference to the built-in descriptor of `type_num`; NumPy refuses only unknown numbers.
PyObject* descr_from_type(void* const* table, int type_num) {
    PyObject* descr = slot<abi::DescrFromTypeFn>(table, abi::SLOT_DESCR_FROM_TYPE)(type_num);
    if (descr == nullptr) fail_api_call(here());
    return descr;
}

// Thrown inside the bfloat16 cell's computation to leave it empty for the next need.
struct NoBFloat16 {};

}  // namespace

const std::string& NumpyApi::multiarray_name() {
    static OnceCell<std::string> cell;
    return cell.get_or_init([] {
        return std::string(numpy_major_version() >= 2 ? "numpy._core" : "numpy.core") +
               ".multiarray";
    });
}

OnceCell<NumpyApi> NumpyApi::cell_;

const NumpyApi& NumpyApi::set_up() {
    return cell_.get_or_init([] { return NumpyApi(table()); });
}

NumpyApi::NumpyApi(void* const* table)
    : table_(table),
      feature_version_(slot<abi::FeatureVersionFn>(table, abi::SLOT_FEATURE_VERSION)()),
      float32_(descr_from_type(table, abi::TYPE_FLOAT)),
      float16_(descr_from_type(table, abi::TYPE_HALF)),
      float64_(descr_from_type(table, abi::TYPE_DOUBLE)) {}

bool NumpyApi::equivalent(PyObject* first, PyObject* second) const {
    return slot<abi::EquivTypesFn>(table_, abi::SLOT_EQUIV_TYPES)(first, second) != 0;
}

PyObject* NumpyApi::new_int64_vector(Py_ssize_t length) const {
    const abi::npy_intp dimensions[1] = {length};
    return slot<abi::NewArrayFn>(table_, abi::SLOT_NEW)(
        array_type(), 1, dimensions, abi::TYPE_INT64, nullptr, nullptr, 0, 0, nullptr);
}

bool NumpyApi::numpy2_layout() const {
    return feature_version_ >= abi::NUMPY2_FEATURE_VERSION;
}

PyObject* NumpyApi::bfloat16() const {
    // The reference is kept for the process: the cell is never destroyed before NumPy is.
    static OnceCell<PyObject*> cell;
    try {
        return cell.get_or_init([this] {
            PyRef name(PyUnicode_FromString("bfloat16"));
            if (!name) fail_api_call(here());
            PyObject* descr = nullptr;
            auto* convert = slot<abi::DescrConverter2Fn>(table_, abi::SLOT_DESCR_CONVERTER2);
            if (convert(name.get(), &descr) == 0 || descr == nullptr) {
                // Unknown until a package registers it; ask again next time.
                PyErr_Clear();
                throw NoBFloat16{};
            }
            return descr;
        });
    } catch (NoBFloat16&) {
        return nullptr;
    }
}

}  // namespace vantor::binding
