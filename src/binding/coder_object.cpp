#include "coder_object.hpp"

#include <new>
#include <utility>

#include "arguments.hpp"
#include "engine/byte_buffer.hpp"
#include "engine/constants.hpp"
#include "failure.hpp"

namespace vantor::binding {

namespace {

constexpr Parameters<0> NEW_PARAMETERS{"ArithmeticCoder", "__new__", {}};

}  // namespace

PyObject* coder_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        parse_arguments(NEW_PARAMETERS, args, kwargs);

        // Reserved before the instance exists; it goes back if allocation fails.
        ByteBuffer output(INITIAL_OUTPUT_CAPACITY);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
        if (alloc == nullptr) alloc = PyType_GenericAlloc;
        PyObject* object = alloc(subtype, 0);
        if (object == nullptr) throw_pending();

        auto* coder = reinterpret_cast<CoderObject*>(object);
        new (&coder->state) CoderState(std::move(output));
        new (&coder->borrow_flag) std::atomic<uintptr_t>(0);
        return object;
    });
}

void coder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* coder = reinterpret_cast<CoderObject*>(self);
    // Output first, then input, each freed only when it owns storage.
    coder->state.output = ByteBuffer();
    coder->state.input = ByteBuffer();
    coder->state.~CoderState();
    coder->borrow_flag.~atomic();

    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    // Every instance of a heap type holds a reference to its type.
    Py_DECREF(type);
}

}  // namespace vantor::binding
