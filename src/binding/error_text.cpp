#include "error_text.hpp"

#include <cstdint>
#include <cstdio>

#include "compat_texts.hpp"
#include "py_ref.hpp"

namespace vantor::binding {

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

}  // namespace vantor::binding
