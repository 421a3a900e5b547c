#include "probability_array.hpp"

#include <optional>

#include "api.hpp"
#include "binding/runtime/boundary.hpp"
#include "borrow_registry.hpp"
#include "compat_texts.hpp"
#include "engine/compiler.hpp"

namespace vantor::binding {

namespace {

namespace abi = numpy_abi;

bool has_dimensions(const NumpyApi& numpy, PyObject* object, int nd) {
    return numpy.is_array(object) && abi::as_array(object)->nd == nd;
}

// The kind of a descriptor other than float32's that can be read in place.
VANTOR_NOINLINE std::optional<ElementKind> other_kind(const NumpyApi& numpy, PyObject* descr) {
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

// The kind an `nd`-dimensional `probs` can be read as in place, tried in a fixed order;
// raises nothing.
std::optional<ElementKind> classify(const NumpyApi& numpy, PyObject* probs, int nd) {
    if (!has_dimensions(numpy, probs, nd)) return std::nullopt;
    PyObject* descr = abi::as_array(probs)->descr;
    if (numpy.is_builtin(descr, abi::TYPE_FLOAT)) return ElementKind::Float32;
    return other_kind(numpy, descr);
}

PyRef text(const char* value) {
    PyRef object(PyUnicode_FromString(value));
    if (!object) fail_api_call(here());
    return object;
}

// numpy.array(probs, "float32").
PyRef convert_to_float32(PyObject* probs) {
    PyRef module = checked(PyImport_Import(text("numpy").get()));
    PyRef array_fn = checked(PyObject_GetAttrString(module.get(), "array"));
    return checked(
        PyObject_CallFunctionObjArgs(array_fn.get(), probs, text("float32").get(), nullptr));
}

bool is_float32(const NumpyApi& numpy, PyObject* object, int nd) {
    return has_dimensions(numpy, object, nd) &&
           numpy.is_builtin(abi::as_array(object)->descr, abi::TYPE_FLOAT);
}

// The float32 copy of `probs`, which must have `nd` dimensions.
VANTOR_NOINLINE PyRef converted(const NumpyApi& numpy, PyObject* probs, int nd) {
    PyRef copy = convert_to_float32(probs);
    if (is_float32(numpy, copy.get(), nd)) return copy;
    if (nd == 1) throw_conversion_error(copy.get(), compat::ARRAY_TARGET);
    const int got = numpy.is_array(copy.get()) ? abi::as_array(copy.get())->nd : -1;
    throw_error(PyExc_TypeError,
                "probs must have 2 dimensions, one row per step, not " + std::to_string(got));
}

// `probs` itself when it is an `nd`-dimensional array that can be read in place (its kind
// in `kind`), else its float32 copy.
PyRef accepted(PyObject* probs, int nd, ElementKind& kind) {
    const NumpyApi& numpy = NumpyApi::get();
    if (const std::optional<ElementKind> in_place = classify(numpy, probs, nd)) {
        kind = *in_place;
        return PyRef::borrow(probs);
    }
    kind = ElementKind::Float32;
    return converted(numpy, probs, nd);
}

}  // namespace

ProbabilityArray::ProbabilityArray(PyObject* probs, SourceLocation contiguity_site)
    : array_(accepted(probs, 1, kind_)),
      borrow_(array_.get(), LockWhileBorrowed::Kept),
      view_{kind_, nullptr, 0} {
    const abi::ArrayObject* fields = abi::as_array(array_.get());
    if ((fields->flags & (abi::ARRAY_C_CONTIGUOUS | abi::ARRAY_F_CONTIGUOUS)) == 0) {
        fail(std::string(compat::UNWRAP_FAILED) + compat::NOT_CONTIGUOUS, contiguity_site);
    }
    view_.data = fields->data;
    view_.count = static_cast<uint64_t>(fields->dimensions[0]);
}

}  // namespace vantor::binding

namespace vantor::binding {

ProbabilityRowsArray::ProbabilityRowsArray(PyObject* probs)
    : array_(accepted(probs, 2, kind_)),
      borrow_(array_.get(), LockWhileBorrowed::MayBeReleased),
      rows_{kind_, nullptr, 0, 0, 0} {
    const abi::ArrayObject* fields = abi::as_array(array_.get());
    const auto element_size =
        static_cast<int64_t>(abi::element_size(fields->descr, NumpyApi::get().numpy2_layout()));
    const auto rows = static_cast<uint64_t>(fields->dimensions[0]);
    const auto length = static_cast<uint64_t>(fields->dimensions[1]);
    // Rows are read in place whatever their distance; within a row, elements must follow
    // one another. (NumPy gives an array without elements strides of 0.)
    if (rows > 0 && length > 1 && fields->strides[1] != element_size) {
        throw_error(PyExc_ValueError,
                    "each row of probs must be contiguous: pass numpy.ascontiguousarray(probs)");
    }
    rows_.first = fields->data;
    rows_.rows = rows;
    rows_.length = length;
    rows_.row_stride = fields->strides[0];
}

}  // namespace vantor::binding
