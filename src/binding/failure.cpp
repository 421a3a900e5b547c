#include "failure.hpp"

#include <string_view>
#include <utility>

#include "error_text.hpp"
#include "failure_report.hpp"
#include "panic_exception.hpp"
#include "py_ref.hpp"

namespace vantor::binding {

SourceLocation here(std::source_location where) {
    // The compiler gives the path it was handed; logs name the file within the project.
    std::string_view file = where.file_name();
    const std::size_t start = file.rfind("/src/");
    const char* trimmed = where.file_name();
    if (start != std::string_view::npos) trimmed += start + 1;
    return {trimmed, where.line(), where.column()};
}

// Not inlined, so that the return address is in the code that found the failure.
[[noreturn]] __attribute__((noinline)) void fail(std::string message, SourceLocation where) {
    write_failure_report(message, where, __builtin_return_address(0));
    throw InternalFailure{std::move(message)};
}

[[noreturn]] __attribute__((noinline)) void fail_api_call(SourceLocation where) {
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    std::string message = "Python API call failed";
    write_failure_report(message, where, __builtin_return_address(0));
    throw InternalFailure{std::move(message)};
}

void throw_pending() {
    throw PyError::fetch();
}

void throw_error(PyObject* type, std::string message) {
    throw PyError::lazy(type, std::move(message));
}

PyError PyError::fetch_unchecked() {
    PyError error;
    PyErr_Fetch(&error.type_, &error.value_, &error.traceback_);
    if (error.type_ == nullptr) {
        return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    PyErr_NormalizeException(&error.type_, &error.value_, &error.traceback_);
    return error;
}

PyError PyError::fetch() {
    PyError error = fetch_unchecked();
    if (error.lazy_) return error;
    // Exactly our class: a failure of ours (or of an extension sharing the class) that went
    // through Python code and came back. It carries on as that failure.
    if (reinterpret_cast<PyObject*>(Py_TYPE(error.value_)) == panic_exception_type()) {
        resume(error);
    }
    return error;
}

void PyError::resume(PyError& panic) {
    std::string message = "Unwrapped panic from Python code";
    PyRef text(PyObject_Str(panic.value_));
    if (text) {
        message = utf8_of(text.get());
    } else {
        PyErr_Clear();
    }
    write_stderr(
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n");
    panic.restore();
    PyErr_PrintEx(0);
    throw InternalFailure{std::move(message)};
}

PyError PyError::lazy(PyObject* type, std::string message) {
    PyError error;
    Py_INCREF(type);
    error.type_ = type;
    error.lazy_message_ = std::move(message);
    error.lazy_ = true;
    return error;
}

PyError::PyError(PyError&& other) noexcept
    : type_(std::exchange(other.type_, nullptr)),
      value_(std::exchange(other.value_, nullptr)),
      traceback_(std::exchange(other.traceback_, nullptr)),
      lazy_message_(std::move(other.lazy_message_)),
      lazy_(std::exchange(other.lazy_, false)) {}

PyError& PyError::operator=(PyError&& other) noexcept {
    if (this != &other) {
        PyError old(std::move(*this));
        type_ = std::exchange(other.type_, nullptr);
        value_ = std::exchange(other.value_, nullptr);
        traceback_ = std::exchange(other.traceback_, nullptr);
        lazy_message_ = std::move(other.lazy_message_);
        lazy_ = std::exchange(other.lazy_, false);
    }
    return *this;
}

PyError::~PyError() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

void PyError::normalise() {
    if (!lazy_) return;
    lazy_ = false;
    // Whatever is pending belongs to someone else; keep it out of the way.
    PyObject *saved_type, *saved_value, *saved_traceback;
    PyErr_Fetch(&saved_type, &saved_value, &saved_traceback);

    PyRef type(std::exchange(type_, nullptr));
    if (PyType_Check(type.get()) &&
        PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.get()),
                         reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
        PyRef argument(PyUnicode_FromStringAndSize(lazy_message_.data(),
                                                   static_cast<Py_ssize_t>(lazy_message_.size())));
        if (argument) PyErr_SetObject(type.get(), argument.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    lazy_message_.clear();
    PyErr_Fetch(&type_, &value_, &traceback_);
    if (type_ == nullptr) {
        // Only a broken interpreter gets here; carry something rather than nothing.
        Py_INCREF(PyExc_SystemError);
        type_ = PyExc_SystemError;
    }
    PyErr_NormalizeException(&type_, &value_, &traceback_);
    PyErr_Restore(saved_type, saved_value, saved_traceback);
}

void PyError::restore() {
    normalise();
    if (type_ == nullptr) return;  // already handed over
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                  std::exchange(traceback_, nullptr));
}

PyObject* PyError::type() {
    normalise();
    return type_;
}

PyObject* PyError::value() {
    normalise();
    return value_;
}

PyObject* PyError::traceback() {
    normalise();
    return traceback_;
}

namespace {

std::string traceback_text(PyObject* traceback) {
    PyRef io(PyImport_ImportModule("io"));
    PyRef sink(io ? PyObject_CallMethod(io.get(), "StringIO", nullptr) : nullptr);
    if (sink && PyTraceBack_Print(traceback, sink.get()) == 0) {
        PyRef text(PyObject_CallMethod(sink.get(), "getvalue", nullptr));
        if (text && PyUnicode_Check(text.get())) return "Some(" + quoted(utf8_of(text.get())) + ")";
    }
    if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(traceback);
    return "Some(" + quoted("<unformattable " + repr_or_unprintable(traceback) + ">") + ")";
}

}  // namespace

std::string describe(PyError& error) {
    PyObject* type = error.type();
    PyObject* value = error.value();
    PyObject* traceback = error.traceback();
    std::string text = "PyErr { type: " + repr_or_unprintable(type);
    text += ", value: " + repr_or_unprintable(value);
    text += ", traceback: ";
    text += traceback == nullptr ? std::string("None") : traceback_text(traceback);
    text += " }";
    return text;
}

void raise_panic(const std::string& message) noexcept {
    try {
        PyError::lazy(panic_exception_type(), message).restore();
    } catch (...) {
        // The class cannot be had (that failure has been reported): raise what we can.
        PyErr_SetString(PyExc_SystemError, message.c_str());
    }
}

}  // namespace vantor::binding
