#include "py_error.hpp"

#include <string_view>
#include <utility>

#include "engine/platform.hpp"
#include "error_text.hpp"
#include "failure_report.hpp"
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
[[noreturn]] VANTOR_NOINLINE void fail(std::string message, SourceLocation where) {
    write_failure_report(message, where, VANTOR_RETURN_ADDRESS());
    throw InternalFailure{std::move(message)};
}

[[noreturn]] VANTOR_NOINLINE void fail_api_call(SourceLocation where) {
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    std::string message = compat::API_CALL_FAILED;
    write_failure_report(message, where, VANTOR_RETURN_ADDRESS());
    throw InternalFailure{std::move(message)};
}

void throw_error(PyObject* type, std::string message) {
    throw PyError::lazy(type, std::move(message));
}

PyError PyError::take_pending() {
    PyError error;
    PyErr_Fetch(&error.type_, &error.value_, &error.traceback_);
    if (error.type_ == nullptr) return lazy(PyExc_SystemError, compat::NO_ERROR_SET);
    PyErr_NormalizeException(&error.type_, &error.value_, &error.traceback_);
    return error;
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
        PyErr_SetString(PyExc_TypeError, compat::NOT_AN_EXCEPTION);
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
    return "Some(" + quoted(compat::UNFORMATTABLE + repr_or_unprintable(traceback) + ">") + ")";
}

}  // namespace

std::string describe(PyError& error) {
    PyObject* type = error.type();
    PyObject* value = error.value();
    PyObject* traceback = error.traceback();
    std::string text = compat::DESCRIBE_TYPE + repr_or_unprintable(type);
    text += compat::DESCRIBE_VALUE + repr_or_unprintable(value);
    text += compat::DESCRIBE_TRACEBACK;
    text += traceback == nullptr ? std::string("None") : traceback_text(traceback);
    text += compat::DESCRIBE_END;
    return text;
}

}  // namespace vantor::binding
