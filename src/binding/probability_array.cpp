#include "probability_array.hpp"

#include <optional>

#include "borrow_registry.hpp"
#include "boundary.hpp"
#include "numpy_abi.hpp"
#include "numpy_api.hpp"
#include "type_errors.hpp"

namespace vantor::binding {

namespace {

namespace abi = numpy_abi;

// Whether `descr` is the built-in descriptor of `type_num`, or equivalent to it (byte order
// included). The reference descriptor is fetched for this check only.
bool matches(const NumpyApi& numpy, PyObject* descr, int type_num) {
    PyRef reference(numpy.descr_from_type(type_num));
    return descr == reference.get() || numpy.equivalent(descr, reference.get());
}

bool is_vector(const NumpyApi& numpy, PyObject* object) {
    return numpy.is_array(object) && abi::as_array(object)->nd == 1;
}

// The kind `probs` can be read as in place, tried in a fixed order; raises nothing.
std::optional<ElementKind> classify(const NumpyApi& numpy, PyObject* probs) {
    if (!is_vector(numpy, probs)) return std::nullopt;
    PyObject* descr = abi::as_array(probs)->descr;
    if (matches(numpy, descr, abi::TYPE_FLOAT)) return ElementKind::Float32;
    if (matches(numpy, descr, abi::TYPE_HALF)) return ElementKind::Float16;
    // Looked up only now: most calls never need it, and it exists only once a package that
    // registers it is loaded. A descriptor of another element size cannot be equivalent to
    // it, so float64 vectors never pay for the (possibly failing) look-up.
    if (abi::element_size(descr, numpy.numpy2_layout()) == 2) {
        if (PyObject* bfloat16 = numpy.bfloat16();
            bfloat16 != nullptr && (descr == bfloat16 || numpy.equivalent(descr, bfloat16))) {
            return ElementKind::BFloat16;
        }
    }
    if (matches(numpy, descr, abi::TYPE_DOUBLE)) return ElementKind::Float64;
    return std::nullopt;
}

PyRef text(const char* value) {
    PyRef object(PyUnicode_FromString(value));
    if (!object) fail_api_call(here());
    return object;
}

// numpy.array(probs, "float32"), which must come out as a float32 vector.
PyRef convert_to_float32(const NumpyApi& numpy, PyObject* probs) {
    PyRef module = checked(PyImport_Import(text("numpy").get()));
    PyRef array_fn = checked(PyObject_GetAttrString(module.get(), "array"));
    PyRef converted = checked(
        PyObject_CallFunctionObjArgs(array_fn.get(), probs, text("float32").get(), nullptr));
    if (!is_vector(numpy, converted.get()) ||
        !matches(numpy, abi::as_array(converted.get())->descr, abi::TYPE_FLOAT)) {
        throw_conversion_error(converted.get(), compat::ARRAY_TARGET);
    }
    return converted;
}

}  // namespace

ProbabilityArray ProbabilityArray::obtain(PyObject* probs, SourceLocation contiguity_site) {
    const NumpyApi& numpy = NumpyApi::get();
    PyRef array;
    ElementKind kind = ElementKind::Float32;
    if (const std::optional<ElementKind> in_place = classify(numpy, probs)) {
        kind = *in_place;
        array = PyRef::borrow(probs);
    } else {
        array = convert_to_float32(numpy, probs);
    }

    BorrowRegistry::acquire_shared(array.get());
    // From here the destructor gives back the borrow and the reference on every way out.
    ProbabilityArray held(array.release(), ProbabilityView{kind, nullptr, 0}, true);
    const abi::ArrayObject* fields = abi::as_array(held.array_);
    if ((fields->flags & (abi::ARRAY_C_CONTIGUOUS | abi::ARRAY_F_CONTIGUOUS)) == 0) {
        fail(std::string(compat::UNWRAP_FAILED) + compat::NOT_CONTIGUOUS, contiguity_site);
    }
    held.view_ = {kind, fields->data, static_cast<uint64_t>(fields->dimensions[0])};
    return held;
}

ProbabilityArray::ProbabilityArray(PyObject* array, ProbabilityView view, bool borrowed)
    : array_(array), view_(view), borrowed_(borrowed) {}

ProbabilityArray::ProbabilityArray(ProbabilityArray&& other) noexcept
    : array_(other.array_), view_(other.view_), borrowed_(other.borrowed_) {
    other.array_ = nullptr;
    other.borrowed_ = false;
}

ProbabilityArray::~ProbabilityArray() {
    if (borrowed_) BorrowRegistry::release_shared(array_);
    Py_XDECREF(array_);
}

}  // namespace vantor::binding
