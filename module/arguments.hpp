// Sorting fast-call arguments into parameter slots, converting periods, and
// naming the argument whose conversion failed.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "errors/result.hpp"
#include "module/argument_error.hpp"
#include "module/function_description.hpp"
#include "series.hpp"

namespace molvenar {

// Fills `slots` (one per parameter, borrowed references) from the argument
// vector and the keyword-name tuple, or reports a TypeError.
Result<void> sort_any_arguments(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t positional_count, PyObject* keyword_names,
                                std::span<PyObject*> slots) noexcept;

// The same, with the usual call (every argument by position) settled inline.
inline Result<void> sort_arguments(const FunctionDescription& description, PyObject* const* args,
                                   Py_ssize_t positional_count, PyObject* keyword_names,
                                   std::span<PyObject*> slots) noexcept {
    const std::size_t parameter_count = description.parameter_names.size();
    if (!keyword_names && static_cast<std::size_t>(positional_count) == parameter_count) {
        for (std::size_t i = 0; i < parameter_count; ++i)
            slots[i] = args[i];
        return {};
    }
    return sort_any_arguments(description, args, positional_count, keyword_names, slots);
}

// An `int` (or `__index__` object) as an unsigned machine word. When the
// integer is out of range and `refused_value` is given, it receives the
// integer's value as text.
Result<Period> convert_period(PyObject* object, std::string* refused_value = nullptr) noexcept;

// Period conversion with the parameter named in a failure; a refusal that
// is molvenar's own (not an exception of the object's __index__) gets a note
// naming the accepted range, from `minimum` (the callable's smallest usable
// period) to the largest machine word.
Result<Period> convert_period_argument(std::string_view parameter_name, PyObject* object,
                                       Period minimum) noexcept;

// The same, with a small non-negative `int` (the usual period) read inline.
inline Result<Period> period_argument(std::string_view parameter_name, PyObject* object,
                                      Period minimum = 0) noexcept {
    if (PyLong_CheckExact(object)) {
        auto* number = reinterpret_cast<PyLongObject*>(object);
        if (PyUnstable_Long_IsCompact(number)) {
            // A compact value fits 30 bits, so it fits every machine word.
            const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
            if (value >= 0)
                return static_cast<Period>(value);
        }
    }
    return convert_period_argument(parameter_name, object, minimum);
}

}  // namespace molvenar
