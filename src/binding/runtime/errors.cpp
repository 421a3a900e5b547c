#include "errors.hpp"

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <utility>

#include "engine/compiler.hpp"
#include "failure_report.hpp"
#include "interpreter.hpp"

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

// ---- text forms ----

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

std::string bytes_content(PyObject* bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) {
        PyErr_Clear();
        return {};
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::string unprintable(PyObject* object) {
    PyErr_WriteUnraisable(object);
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
    if (name && PyUnicode_Check(name.get())) {
        return compat::UNPRINTABLE + utf8_of(name.get()) + compat::UNPRINTABLE_END;
    }
    PyErr_Clear();
    return compat::UNPRINTABLE_OBJECT;
}

// Decodes one code point of valid UTF-8 at `text[i]` and advances `i` past it.
uint32_t next_code_point(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t lead = byte(i);
    int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    uint32_t point = extra == 0 ? lead : lead & (0x3F >> extra);
    ++i;
    for (; extra > 0 && i < text.size(); --extra, ++i)
        point = (point << 6) | (byte(i) & 0x3F);
    return point;
}

// Characters a reader cannot see: controls, separators and invisible formatting marks.
bool printable(uint32_t point) {
    if (point < 0x20 || (point >= 0x7F && point < 0xA0)) return false;
    switch (point) {
        case 0xAD:
        case 0x061C:
        case 0x180E:
        case 0x2028:
        case 0x2029:
        case 0xFEFF:
            return false;
        default:
            break;
    }
    if (point >= 0x200B && point <= 0x200F) return false;
    if (point >= 0x202A && point <= 0x202E) return false;
    if (point >= 0x2060 && point <= 0x206F) return false;
    if (point >= 0xFFF0 && point <= 0xFFFB) return false;
    if ((point & 0xFFFE) == 0xFFFE) return false;  // the noncharacters at each plane's end
    if (point >= 0xE0000 && point <= 0xE0FFF) return false;
    return point <= 0x10FFFF;
}

}  // namespace

std::string utf8_of(PyObject* text) {
    PyRef encoded(PyUnicode_AsUTF8String(text));
    if (encoded) return bytes_content(encoded.get());
    PyErr_Clear();
    // Lone surrogates: encode them as they stand, then replace what is not UTF-8.
    PyRef passed(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (passed) {
        const std::string bytes = bytes_content(passed.get());
        PyRef decoded(
            PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
        PyRef replaced(decoded ? PyUnicode_AsUTF8String(decoded.get()) : nullptr);
        if (replaced) return bytes_content(replaced.get());
    }
    PyErr_Clear();
    return std::string(REPLACEMENT);
}

std::string str_or_unprintable(PyObject* object) {
    PyRef text(PyObject_Str(object));
    if (!text) return unprintable(object);
    return utf8_of(text.get());
}

std::string repr_or_unprintable(PyObject* object) {
    PyRef text(PyObject_Repr(object));
    if (!text) return unprintable(object);
    return utf8_of(text.get());
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = i;
        const uint32_t point = next_code_point(text, i);
        switch (point) {
            case '\\':
                out.append("\\\\");
                continue;
            case '"':
                out.append("\\\"");
                continue;
            case '\t':
                out.append("\\t");
                continue;
            case '\r':
                out.append("\\r");
                continue;
            case '\n':
                out.append("\\n");
                continue;
            case '\0':
                out.append("\\0");
                continue;
            default:
                break;
        }
        if (printable(point)) {
            out.append(text.substr(start, i - start));
        } else {
            char escape[16];
            std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(point));
            out.append(escape);
        }
    }
    out.push_back('"');
    return out;
}

// ---- describing an error ----

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

// ---- conversion errors ----

namespace {

// The __qualname__ of `type`, or a fixed text when it cannot be had as a str.
std::string qualname_of(PyObject* type) {
    PyRef name(PyObject_GetAttrString(type, "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return compat::NO_TYPE_NAME;
    }
    return utf8_of(name.get());
}

std::string type_qualname(PyObject* object) {
    return qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

}  // namespace

PyError cast_error(PyObject* object, PyTypeObject* target) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "'" + std::string.
    std::string message = "'";
    message += type_qualname(object);
    message += compat::CANNOT_BE_CAST;
    message += qualname_of(reinterpret_cast<PyObject*>(target));
    message += "'";
    return PyError::lazy(PyExc_TypeError, std::move(message));
}

void throw_conversion_error(PyObject* object, const char* target) {
    std::string message = "'";
    message += type_qualname(object);
    message += compat::CANNOT_BE_CONVERTED;
    message += target;
    message += "'";
    throw_error(PyExc_TypeError, std::move(message));
}

PyError argument_error(const char* name, PyError error) {
    if (error.type() != PyExc_TypeError) return error;
    PyObject* original = error.value();
    std::string message = "argument '" + std::string(name) + "': " + str_or_unprintable(original);
    PyError wrapped = PyError::lazy(PyExc_TypeError, std::move(message));
    // The cause carries over; the original error itself is dropped.
    PyException_SetCause(wrapped.value(), PyException_GetCause(original));
    return wrapped;
}

}  // namespace vantor::binding
