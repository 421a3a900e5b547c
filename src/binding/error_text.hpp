// Text forms of Python objects inside messages and failure reports. None of these raise:
// an object that cannot be rendered is written out as unraisable and named instead.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace vantor::binding {

// A `str` as UTF-8; lone surrogates and other unencodable parts become U+FFFD, one for
// each maximal invalid subsequence of their UTF-8 form.
std::string utf8_of(PyObject* text);

// str(object) / repr(object); when that raises, the error is written out as unraisable
// and the text is "<unprintable {type name} object>" (or "<unprintable object>").
std::string str_or_unprintable(PyObject* object);
std::string repr_or_unprintable(PyObject* object);

// `text` between double quotes, with backslash escapes for quotes, backslashes, control
// and other non-printable characters.
std::string quoted(std::string_view text);

}  // namespace vantor::binding
