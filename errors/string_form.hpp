// Text forms of Python objects and error values for messages.
#pragma once

#include <string>

#include "errors/error_value.hpp"

namespace molvenar {

// str(object) as UTF-8. Lone surrogates come out as U+FFFD. If str() fails,
// the failure goes to the unraisable hook and "<unprintable T object>"
// stands in.
std::string string_form(PyObject* object) noexcept;

// The qualified name of a type, or "<failed to extract type name>".
std::string qualified_type_name(PyObject* type) noexcept;

// "PyErr { type: ..., value: ..., traceback: ... }", for fault messages and
// for exceptions that carry an underlying error's description.
std::string debug_form(ErrorValue& error) noexcept;

}  // namespace molvenar
