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

bool is_vector(const NumpyApi& numpy, PyObject* object) {
    return numpy.is_array(object) && abi::as_array(object)->nd == 1;
}

// The kind `probs` can be read as in place, tried in a fixed order; raises nothing.
std::optional<ElementKind> classify(const NumpyApi& numpy, PyObject* probs) {
    if (!is_vector(numpy, probs)) return std::nullopt;
    PyObject* descr = abi::as_array(probs)->descr;
    if (numpy.is_builtin(descr, abi::TYPE_FLOAT)) return ElementKind::Float32;
    if (numpy.is_builtin(descr, abi::TYPE_HALF)) return ElementKind::Float16;
    // Looked up only now: most calls never need it, and it exists only once a package that
    // registers it is loaded. A descriptor of another element size cannot be equivalent to
    // it, so float64 vectors never pay for the (possibly failing) look-up.
    if (abi::element_size(descr, numpy.numpy2_layout()) == 2) {
        if (PyObject* bfloat16 = numpy.bfloat16();
            bfloat16 != nullptr && (descr == bfloat16 || numpy.equivalent(descr, bfloat16))) {
            return ElementKind::BFloat16;
        }
    }
    if (numpy.is_builtin(descr, abi::TYPE_DOUBLE)) return ElementKind::Float64;
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
        !numpy.is_builtin(abi::as_array(converted.get())->descr, abi::TYPE_FLOAT)) {
        throw_conversion_error(converted.get(), compat::ARRAY_TARGET);
    }
    return converted;
}

// `probs` itself when it can be read in place (its kind in `kind`), else its float32 copy.
PyRef accepted(PyObject* probs, ElementKind& kind) {
    const NumpyApi& numpy = NumpyApi::get();
    if (const std::optional<ElementKind> in_place = classify(numpy, probs)) {
        kind = *in_place;
        return PyRef::borrow(probs);
    }
    kind = ElementKind::Float32;
    return convert_to_float32(numpy, probs);
}

}  // namespace

ProbabilityArray::ProbabilityArray(PyObject* probs, SourceLocation contiguity_site)
    : array_(accepted(probs, kind_)), borrow_(array_.get()), view_{kind_, nullptr, 0} {
    const abi::ArrayObject* fields = abi::as_array(array_.get());
    if ((fields->flags & (abi::ARRAY_C_CONTIGUOUS | abi::ARRAY_F_CONTIGUOUS)) == 0) {
        fail(std::string(compat::UNWRAP_FAILED) + compat::NOT_CONTIGUOUS, contiguity_site);
    }
    view_.data = fields->data;
    view_.count = static_cast<uint64_t>(fields->dimensions[0]);
}

}  // namespace vantor::binding
