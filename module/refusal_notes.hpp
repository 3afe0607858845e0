// The notes added to refused calls: what was expected, what was given and
// how to fix it. The messages themselves are fixed texts that callers match;
// a note is help for the person reading the traceback.
//
// Every builder runs on the refusing path only, and reads what it needs
// from the arguments into the text: no note keeps a reference to an argument.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "errors/result.hpp"
#include "module/function_description.hpp"
#include "numpy_bridge/array_layout.hpp"
#include "series.hpp"

namespace molvenar {

// An array parameter as the notes speak of it.
struct ArrayArgument {
    std::string_view name;
    bool output;                  // written by the call
    std::string_view input_name;  // the input an output is made like
};

// An array refused by acceptance, named and noted: the conversion error
// gets the argument prefix and a note on the object given; a refused borrow
// or an unusable NumPy keep their message and gain a note.
ErrorValue array_argument_error(const ArrayArgument& argument, PyObject* object,
                                ErrorValue error) noexcept;

// Argument sorting: the callable's signature.
std::string signature_note(const FunctionDescription& description) noexcept;

// A period that is not an integer (`object`), or out of range (`given`, its
// value as text); `minimum` is the smallest period the callable takes.
std::string period_type_note(std::string_view name, PyObject* object, Period minimum) noexcept;
std::string period_range_note(std::string_view name, std::string_view given, Period minimum) noexcept;

// Layout checks of an accepted array.
std::string not_contiguous_note(const ArrayArgument& argument, const ArrayLayout& layout) noexcept;
std::string not_writeable_note(const ArrayArgument& argument) noexcept;
std::string overlap_note(std::string_view output_name, std::string_view input_name) noexcept;
std::string changed_note(std::string_view name) noexcept;

// Lengths: `names` and `counts` side by side, the reference array first.
std::string length_note(std::span<const std::string_view> names, std::span<const std::size_t> counts,
                        std::string_view fix) noexcept;

}  // namespace molvenar
