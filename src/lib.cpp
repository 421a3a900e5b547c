// The _vantor module: one class, ArithmeticCoder, an arithmetic coder that takes a fresh
// probability vector at every step.
//
// Each method below is the adapter between the interpreter and the engine (src/engine/):
// it parses its arguments (binding/arguments), checks `self` and takes the coder for the
// call (binding/coder_type, binding/exclusive_use), converts the arguments
// (binding/conversions, binding/probability_array), runs one engine operation, maps a
// refused step to its Python error (binding/step_errors) and converts the result. Every
// method enters through `boundary` (binding/failure), where Python errors and internal
// failures become the interpreter's error indicator; the guards release the coder and the
// probability array on every way out.
#include <Python.h>

#include "binding/arguments.hpp"
#include "binding/coder_object.hpp"
#include "binding/coder_type.hpp"
#include "binding/conversions.hpp"
#include "binding/exclusive_use.hpp"
#include "binding/failure.hpp"
#include "binding/module.hpp"
#include "binding/probability_array.hpp"
#include "binding/step_errors.hpp"
#include "engine/decoder.hpp"
#include "engine/encoder.hpp"

namespace vantor::binding {

namespace {

constexpr Parameters<1> START_DECODING{"ArithmeticCoder", "start_decoding", {"input_bytes"}};
constexpr Parameters<2> ENCODE_STEP{"ArithmeticCoder", "encode_step", {"probs", "symbol"}};
constexpr Parameters<1> DECODE_STEP{"ArithmeticCoder", "decode_step", {"probs"}};

// start_decoding(input_bytes): loads a stream to decode; the coder keeps its own copy.
PyObject* start_decoding(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        auto [input_bytes] = parse_arguments(START_DECODING, args, kwargs);
        CoderObject& coder = coder_from(self);
        ExclusiveUse use(coder);
        const BytesContent stream = input_bytes_argument(input_bytes.get());
        load_stream(coder.state, stream.data, stream.size);
        return none_result();
    });
}

// encode_step(probs, symbol): codes `symbol` against the table made from `probs`. The
// symbol is converted first, so a bad symbol is reported before `probs` is looked at.
PyObject* encode_step(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        auto [probs, symbol_object] = parse_arguments(ENCODE_STEP, args, kwargs);
        CoderObject& coder = coder_from(self);
        ExclusiveUse use(coder);
        const uint64_t symbol = symbol_argument(symbol_object.get());
        StepStatus status;
        uint64_t count;
        {
            // Held for exactly the engine step.
            const auto array = ProbabilityArray::obtain(probs.get(), ENCODE_NOT_CONTIGUOUS);
            count = array.view().count;
            status = encode_symbol(coder.state, array.view(), symbol);
        }
        check_step(status, symbol, count);
        return none_result();
    });
}

// decode_step(probs): the next symbol of the stream, against the table made from `probs`.
PyObject* decode_step(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        auto [probs] = parse_arguments(DECODE_STEP, args, kwargs);
        CoderObject& coder = coder_from(self);
        ExclusiveUse use(coder);
        DecodeOutcome outcome;
        uint64_t count;
        {
            const auto array = ProbabilityArray::obtain(probs.get(), DECODE_NOT_CONTIGUOUS);
            count = array.view().count;
            outcome = decode_symbol(coder.state, array.view());
        }
        check_step(outcome.status, outcome.symbol, count);
        return int_result(outcome.symbol);
    });
}

// finish_encoding(): terminates the stream and returns a copy of everything encoded so far.
// Nothing is reset, so a second call appends a second termination.
PyObject* finish_encoding(PyObject* self, PyObject* /*unused*/) {
    return boundary([&] {
        CoderObject& coder = coder_from(self);
        ExclusiveUse use(coder);
        finish_stream(coder.state);
        return bytes_result(coder.state.output);
    });
}

// The doc strings carry the text signatures the interpreter shows.
PyMethodDef methods[] = {
    {"start_decoding", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(start_decoding)),
     METH_VARARGS | METH_KEYWORDS, "start_decoding($self, input_bytes)\n--\n\n"},
    {"encode_step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_step)),
     METH_VARARGS | METH_KEYWORDS, "encode_step($self, probs, symbol)\n--\n\n"},
    {"decode_step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_step)),
     METH_VARARGS | METH_KEYWORDS, "decode_step($self, probs)\n--\n\n"},
    {"finish_encoding", finish_encoding, METH_NOARGS, "finish_encoding($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Not subclassable, not garbage-collected (an instance holds no Python references), no
// instance dictionary or weak references.
PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("ArithmeticCoder()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(coder_new)},
    {Py_tp_methods, methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(coder_dealloc)},
    {0, nullptr},
};

// Static storage: before Python 3.11 the type keeps pointing into the name.
PyType_Spec coder_spec = {
    "builtins.ArithmeticCoder", static_cast<int>(sizeof(CoderObject)), 0, Py_TPFLAGS_DEFAULT, slots,
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_vantor",
    "",  // __doc__ is the empty string
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vantor::binding

PyMODINIT_FUNC PyInit__vantor(void) {
    return vantor::binding::initialise_module(vantor::binding::module_definition,
                                              vantor::binding::coder_spec);
}
