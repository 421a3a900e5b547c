// The _vantor module: one class, ArithmeticCoder, an arithmetic coder that takes a fresh
// probability vector at every step, one step per call or many (a row each) at once.
//
// The file reads in the order of a heap type on the limited API: the instance record, its
// creation and deallocation, the methods, the method table and the type's slots and
// description, then the module. Each method is the adapter between the interpreter and
// the engine (src/engine/): it parses its arguments (binding/arguments), checks `self`
// and takes the coder for the call (binding/exclusive_use), converts the arguments
// (binding/conversions, binding/probability_array), runs one engine operation, maps a
// refused step to its Python error (binding/step_errors) and converts the result. Every
// method enters through `boundary` (binding/boundary), where Python errors and internal
// failures become the interpreter's error indicator; the guards release the coder and the
// probability array on every way out.
#include <Python.h>

#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/boundary.hpp"
#include "binding/conversions.hpp"
#include "binding/exclusive_use.hpp"
#include "binding/interpreter_lock.hpp"
#include "binding/module.hpp"
#include "binding/probability_array.hpp"
#include "binding/step_errors.hpp"
#include "binding/type_errors.hpp"
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

// ArithmeticCoder(): refuses every argument, then makes a coder in its initial state.
PyObject* coder_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        Parameters<0> none{"ArithmeticCoder", "__new__", {}};
        parse_arguments(none, args, kwargs);
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

Parameters<1> START_DECODING{"ArithmeticCoder", "start_decoding", {"input_bytes"}};
Parameters<2> ENCODE_STEP{"ArithmeticCoder", "encode_step", {"probs", "symbol"}};
Parameters<1> DECODE_STEP{"ArithmeticCoder", "decode_step", {"probs"}};

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

Parameters<2> ENCODE_STEPS{"ArithmeticCoder", "encode_steps", {"probs", "symbols"}};
Parameters<1> DECODE_STEPS{"ArithmeticCoder", "decode_steps", {"probs"}};

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

template <class Method>
PyCFunction as_method(Method method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// The doc strings carry the text signatures the interpreter shows.
PyMethodDef methods[] = {
    {"start_decoding", as_method(start_decoding), METH_VARARGS | METH_KEYWORDS,
     "start_decoding($self, input_bytes)\n--\n\n"},
    {"encode_step", as_method(encode_step), METH_VARARGS | METH_KEYWORDS,
     "encode_step($self, probs, symbol)\n--\n\n"},
    {"decode_step", as_method(decode_step), METH_VARARGS | METH_KEYWORDS,
     "decode_step($self, probs)\n--\n\n"},
    {"finish_encoding", finish_encoding, METH_NOARGS, "finish_encoding($self)\n--\n\n"},
    {"encode_steps", as_method(encode_steps), METH_VARARGS | METH_KEYWORDS,
     "encode_steps($self, probs, symbols)\n--\n\n"},
    {"decode_steps", as_method(decode_steps), METH_VARARGS | METH_KEYWORDS,
     "decode_steps($self, probs)\n--\n\n"},
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
    return initialise_module(module_definition, "ArithmeticCoder", coder_type);
}
