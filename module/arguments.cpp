#include "module/arguments.hpp"

#include <climits>
#include <cstring>
#include <limits>
#include <string>

#include "errors/compatibility_texts.hpp"
#include "errors/py_ref.hpp"
#include "errors/string_form.hpp"
#include "module/refusal_notes.hpp"

namespace molvenar {
namespace {

std::string full_name(const FunctionDescription& description) {
    std::string name;
    if (description.class_name) {
        name += description.class_name;
        name += '.';
    }
    name += description.function_name;
    name += "()";
    return name;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_name_list(std::span<const std::string_view> names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2)
                list += ',';
            list += i + 1 == names.size() ? " and " : " ";
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

ErrorValue too_many_positional(const FunctionDescription& description, Py_ssize_t given) {
    return ErrorValue::type_error(full_name(description) + " takes " +
                                  std::to_string(description.parameter_names.size()) +
                                  " positional arguments but " + std::to_string(given) +
                                  " were given");
}

ErrorValue unexpected_keyword(const FunctionDescription& description, PyObject* name) {
    return ErrorValue::type_error(full_name(description) + " got an unexpected keyword argument '" +
                                  string_form(name) + "'");
}

ErrorValue multiple_values(const FunctionDescription& description, std::string_view name) {
    return ErrorValue::type_error(full_name(description) + " got multiple values for argument '" +
                                  std::string(name) + "'");
}

ErrorValue missing_required(const FunctionDescription& description,
                            std::span<const std::string_view> missing) {
    return ErrorValue::type_error(full_name(description) + " missing " +
                                  std::to_string(missing.size()) + " required positional " +
                                  (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                  quoted_name_list(missing));
}

}  // namespace

Result<void> sort_any_arguments(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t positional_count, PyObject* keyword_names,
                                std::span<PyObject*> slots) noexcept {
    const std::size_t parameter_count = description.parameter_names.size();
    const std::size_t positional = static_cast<std::size_t>(positional_count);
    for (std::size_t i = 0; i < std::min(positional, parameter_count); ++i)
        slots[i] = args[i];
    if (positional > parameter_count)
        return with_note(too_many_positional(description, positional_count), signature_note(description));

    if (keyword_names) {
        Py_ssize_t keyword_count = PyTuple_GET_SIZE(keyword_names);
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            PyObject* name = PyTuple_GET_ITEM(keyword_names, k);
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(name, &size);
            if (!text) {
                discard_error();
                return with_note(unexpected_keyword(description, name), signature_note(description));
            }
            std::string_view keyword(text, static_cast<std::size_t>(size));
            std::size_t index = 0;
            while (index < parameter_count && description.parameter_names[index] != keyword)
                ++index;
            if (index == parameter_count)
                return with_note(unexpected_keyword(description, name), signature_note(description));
            if (slots[index])
                return with_note(multiple_values(description, keyword), signature_note(description));
            slots[index] = args[positional + static_cast<std::size_t>(k)];
        }
    }

    const std::size_t required = description.required_positional_count;
    if (positional < required) {
        std::array<std::string_view, 16> missing{};
        std::size_t missing_count = 0;
        for (std::size_t i = positional; i < required; ++i)
            if (!slots[i])
                missing[missing_count++] = description.parameter_names[i];
        if (missing_count > 0)
            return with_note(missing_required(description, std::span(missing.data(), missing_count)), signature_note(description));
    }
    return {};
}

namespace {

// The value of an int refused as a period, for a note: its decimal digits,
// or how far out it lies when it does not fit 64 bits.
std::string refused_integer_text(PyObject* integer) noexcept {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (overflow == 0 && !(value == -1 && PyErr_Occurred()))
        return std::to_string(value);
    discard_error();
    if (overflow < 0)
        return "a number below -2**63";
    const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(integer);
    if (unsigned_value != std::numeric_limits<unsigned long long>::max() || !PyErr_Occurred())
        return std::to_string(unsigned_value);
    discard_error();
    return "a number of 2**64 or more";
}

}  // namespace

Result<Period> convert_period(PyObject* object, std::string* refused_value) noexcept {
    unsigned long long value;
    PyRef index;
    PyObject* integer = object;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        index = PyRef::steal(PyNumber_Index(object));
        if (!index)
            return fetch_error();
        integer = index.get();
        value = PyLong_AsUnsignedLongLong(integer);
    }
    // All ones is also the failure signal; only a pending exception tells.
    if (value == std::numeric_limits<unsigned long long>::max()) {
        if (std::optional<ErrorValue> pending = take_error()) {
            if (refused_value)
                *refused_value = refused_integer_text(integer);
            return std::move(*pending);
        }
    }
    if constexpr (std::numeric_limits<Period>::max() < std::numeric_limits<unsigned long long>::max())
        if (value > std::numeric_limits<Period>::max()) {
            if (refused_value)
                *refused_value = std::to_string(value);
            return ErrorValue::with_message(PyExc_OverflowError, texts::integer_out_of_range);
        }
    return static_cast<Period>(value);
}

Result<Period> convert_period_argument(std::string_view parameter_name, PyObject* object,
                                       Period minimum) noexcept {
    std::string refused_value;
    Result<Period> period = convert_period(object, &refused_value);
    if (period)
        return period;
    // Out of range: the interpreter's OverflowError, passed on unnamed.
    if (!refused_value.empty())
        return with_note(std::move(period).error(), period_range_note(parameter_name, refused_value, minimum));
    ErrorValue error = name_argument_error(parameter_name, std::move(period).error());
    // Re-made here as the named TypeError; any other exception came from the
    // object's own __index__ and passes unchanged.
    if (error.type() == PyExc_TypeError)
        error.set_note(period_type_note(parameter_name, object, minimum));
    return error;
}

}  // namespace molvenar
