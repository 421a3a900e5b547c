// The _vantor module: one class, ArithmeticCoder, an arithmetic coder that takes a fresh
// probability vector at every step, one step per call or many (a row each) at once.
//
// The file reads in the order of a heap type on the limited API: the instance record, its
// creation and deallocation, the methods, each after its description, the method table and
// the type's slots and description, then the module. Each method is the adapter between
// the interpreter and the engine (src/engine/): it parses its arguments against its
// description (binding/runtime/module), checks `self` and takes the coder for the call
// (binding/coder_calls), converts the arguments (binding/conversions,
// binding/numpy/probability_array), runs one engine operation, maps a refused step to its
// Python error (binding/coder_calls) and converts the result. Every method enters through
// `boundary` (binding/runtime/boundary), where Python errors and internal failures become
// the interpreter's error indicator; the guards release the coder and the probability
// array on every way out.
//
// The binding's wings, each including only itself and those after it (checked by
// scripts/include_cycles.py): this file and the coder's other adapters (the files of
// binding/ itself), NumPy (binding/numpy/), the runtime (binding/runtime/), the engine.
#include <Python.h>

#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/coder_calls.hpp"
#include "binding/conversions.hpp"
#include "binding/numpy/probability_array.hpp"
#include "binding/runtime/boundary.hpp"
#include "binding/runtime/interpreter.hpp"
#include "binding/runtime/module.hpp"
#include "engine/batch.hpp"
#include "engine/decoder.hpp"
#include "engine/encoder.hpp"

namespace vantor::binding {

namespace {

// The instance record. Its memory comes raw from the type's allocator: `state` and
// `borrow_flag` are constructed in place by coder_new and destroyed by coder_dealloc.
// Nothing else is stored: no instance dictionary, no weak references, and no Python
// references, so the type needs no garbage-collector support.
struct CoderObject {
    PyObject header;
    CoderState state;
    BorrowFlag borrow_flag;
};

// Created by the module's initialisation, which runs once, before any method can be called.
PyTypeObject* coder_type_cell = nullptr;

// `self` as a coder, or the cast error for a foreign object.
CoderObject& coder_from(PyObject* self) {
    PyTypeObject* type = coder_type_cell;
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
        throw cast_error(self, type);
    }
    return *reinterpret_cast<CoderObject*>(self);
}

constexpr char CLASS[] = "ArithmeticCoder";

constinit Method<0> NEW{CLASS, "__new__", Convention::PositionalOrKeyword, {}};

// ArithmeticCoder(): refuses every argument, then makes a coder in its initial state.
PyObject* coder_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        parse_arguments(NEW, args, kwargs);
        // Reserved before the instance exists; it goes back if allocation fails.
        ByteBuffer output(INITIAL_OUTPUT_CAPACITY);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
        if (alloc == nullptr) alloc = PyType_GenericAlloc;
        PyObject* object = alloc(subtype, 0);
        if (object == nullptr) throw_pending();
        auto* coder = reinterpret_cast<CoderObject*>(object);
        new (&coder->state) CoderState(std::move(output));
        new (&coder->borrow_flag) BorrowFlag(0);
        return object;
    });
}

// Releases both byte buffers (output first), the instance memory, then the reference to the
// type that every instance of a heap type holds.
void coder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* coder = reinterpret_cast<CoderObject*>(self);
    coder->state.output = ByteBuffer();
    coder->state.~CoderState();
    coder->borrow_flag.~BorrowFlag();
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);
}

constinit Method<1> START_DECODING{
    CLASS, "start_decoding", Convention::PositionalOrKeyword, {"input_bytes"}};

// start_decoding(input_bytes): loads a stream to decode; the coder keeps its own copy.
PyObject* start_decoding(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        auto [input_bytes] = parse_arguments(START_DECODING, args, kwargs);
        CoderObject& coder = coder_from(self);
        ExclusiveUse use(coder.borrow_flag);
        const BytesContent stream = input_bytes_argument(input_bytes.get());
        load_stream(coder.state, stream.data, stream.size);
        return none_result();
    });
}

constinit Method<2> ENCODE_STEP{
    CLASS, "encode_step", Convention::PositionalOrKeyword, {"probs", "symbol"}};

// encode_step(probs, symbol): codes `symbol` against the table made from `probs`. The
// symbol is converted first, so a bad symbol is reported before `probs` is looked at.
PyObject* encode_step(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        auto [probs, symbol_object] = parse_arguments(ENCODE_STEP, args, kwargs);
        CoderObject& coder = coder_from(self);
        ExclusiveUse use(coder.borrow_flag);
        const uint64_t symbol = symbol_argument(symbol_object.get());
        StepStatus status;
        uint64_t count;
        {
            // Held for exactly the engine step.
            const ProbabilityArray array(probs.get(), compat::ENCODE_NOT_CONTIGUOUS);
            count = array.view().count;
            status = encode_symbol(coder.state, array.view(), symbol);
        }
        check_step(status, symbol, count);
        return none_result();
    });
}

constinit Method<1> DECODE_STEP{CLASS, "decode_step", Convention::PositionalOrKeyword, {"probs"}};

// decode_step(probs): the next symbol of the stream, against the table made from `probs`.
PyObject* decode_step(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        auto [probs] = parse_arguments(DECODE_STEP, args, kwargs);
        CoderObject& coder = coder_from(self);
        ExclusiveUse use(coder.borrow_flag);
        DecodeOutcome outcome;
        uint64_t count;
        {
            const ProbabilityArray array(probs.get(), compat::DECODE_NOT_CONTIGUOUS);
            count = array.view().count;
            outcome = decode_symbol(coder.state, array.view());
        }
        check_step(outcome.status, outcome.symbol, count);
        return int_result(outcome.symbol);
    });
}

constinit Method<0> FINISH_ENCODING{CLASS, "finish_encoding", Convention::NoArguments, {}};

// finish_encoding(): terminates the stream and returns a copy of everything encoded so far.
// Nothing is reset, so a second call appends a second termination.
PyObject* finish_encoding(PyObject* self, PyObject* /*unused*/) {
    return boundary([&] {
        CoderObject& coder = coder_from(self);
        ExclusiveUse use(coder.borrow_flag);
        finish_stream(coder.state);
        return bytes_result(coder.state.output);
    });
}

// Runs `code` on the rows, without the interpreter lock when the batch is long enough for
// that to pay. Releasing and taking back the lock costs about 0.2 us; the cut-off is 8 us
// of work (n = 1024) to 28 us (n = 2), so the release adds at most a few percent. Meanwhile
// the coder stays held by its borrow flag and the array by its shared borrow.
template <class Code>
BatchOutcome run_batch(const ProbabilityRows& rows, Code&& code) {
    constexpr uint64_t ROW_COST = 64;  // a step's fixed cost, in element reads
    constexpr uint64_t WORTH_RELEASING = uint64_t{1} << 16;
    std::optional<WithoutInterpreterLock> released;
    if (rows.rows * (rows.length + ROW_COST) >= WORTH_RELEASING) released.emplace();
    return code();
}

void check_lengths(std::size_t symbols, uint64_t rows) {
    if (symbols != rows) {
        throw_error(PyExc_ValueError, "got " + std::to_string(symbols) + " symbols for " +
                                          std::to_string(rows) + " rows of probabilities");
    }
}

constinit Method<2> ENCODE_STEPS{
    CLASS, "encode_steps", Convention::PositionalOrKeyword, {"probs", "symbols"}};

// encode_steps(probs, symbols): encode_step for each row of `probs` with the symbol of the
// same place, all or nothing: a refused row (the error names it) leaves the coder as it was
// before the call. The symbols are converted first, so that no conversion runs while the
// rows are read.
PyObject* encode_steps(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        auto [probs, symbols_object] = parse_arguments(ENCODE_STEPS, args, kwargs);
        CoderObject& coder = coder_from(self);
        ExclusiveUse use(coder.borrow_flag);
        const std::vector<uint64_t> symbols = symbols_argument(symbols_object.get());
        const ProbabilityRowsArray array(probs.get());
        const ProbabilityRows& rows = array.rows();
        check_lengths(symbols.size(), rows.rows);
        const BatchOutcome outcome =
            run_batch(rows, [&] { return encode_rows(coder.state, rows, symbols.data()); });
        check_rows(outcome, rows.length);
        return none_result();
    });
}

constinit Method<1> DECODE_STEPS{CLASS, "decode_steps", Convention::PositionalOrKeyword, {"probs"}};

// decode_steps(probs): decode_step for each row of `probs`, all or nothing; the symbols
// come back as a one-dimensional int64 array.
PyObject* decode_steps(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        auto [probs] = parse_arguments(DECODE_STEPS, args, kwargs);
        CoderObject& coder = coder_from(self);
        ExclusiveUse use(coder.borrow_flag);
        const ProbabilityRowsArray array(probs.get());
        const ProbabilityRows& rows = array.rows();
        uint64_t* symbols = nullptr;
        PyRef result = symbols_result(rows.rows, symbols);
        const BatchOutcome outcome =
            run_batch(rows, [&] { return decode_rows(coder.state, rows, symbols); });
        check_rows(outcome, rows.length);
        return result.release();
    });
}

// Each entry made from the method's description, which carries its text signature.
PyMethodDef methods[] = {
    method_entry(START_DECODING, start_decoding),
    method_entry(ENCODE_STEP, encode_step),
    method_entry(DECODE_STEP, decode_step),
    method_entry(FINISH_ENCODING, finish_encoding),
    method_entry(ENCODE_STEPS, encode_steps),
    method_entry(DECODE_STEPS, decode_steps),
    {nullptr, nullptr, 0, nullptr},
};

// Not subclassable, not garbage-collected; everything else is inherited from object.
PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("ArithmeticCoder()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(coder_new)},
    {Py_tp_methods, methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(coder_dealloc)},
    {0, nullptr},
};

// Static storage: before Python 3.11 the type keeps pointing into the name.
PyType_Spec coder_description = {
    "builtins.ArithmeticCoder", static_cast<int>(sizeof(CoderObject)), 0, Py_TPFLAGS_DEFAULT, slots,
};

// The type, created on the first (or, after a failure, a later) module initialisation.
PyTypeObject* coder_type() {
    if (coder_type_cell == nullptr) coder_type_cell = create_type(coder_description);
    return coder_type_cell;
}

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
    using namespace vantor::binding;
    return initialise_module(module_definition, CLASS, coder_type);
}
