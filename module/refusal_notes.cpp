#include "module/refusal_notes.hpp"

#include <limits>

#include "errors/py_ref.hpp"
#include "errors/string_form.hpp"
#include "module/argument_error.hpp"
#include "numpy_bridge/api_table.hpp"
#include "numpy_bridge/masked_array.hpp"
#include "numpy_bridge/numpy_types.hpp"

namespace molvenar {
namespace {

constexpr std::string_view needs =
    "molvenar needs a one-dimensional, C-contiguous numpy.ndarray of float64; got ";

std::string type_name_of(PyObject* object) noexcept {
    return qualified_type_name(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

// "float32", "int64", ">f8": the dtype's str(); its failure is dropped.
std::string dtype_text(PyArray_Descr* descr) noexcept {
    if (!descr)
        return "unknown dtype";
    PyRef text = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
    if (!text) {
        discard_error();
        return "unknown dtype";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) {
        discard_error();
        return "unknown dtype";
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

// "an int64", "a uint8", "an object".
std::string article_for(std::string_view word) {
    return (!word.empty() && std::string_view("aeio").find(word.front()) != std::string_view::npos) ? "an "
                                                                                                    : "a ";
}

// "a float32 array with 2 dimensions", "an int64 'Frame' array with 1 dimension".
std::string array_description(PyObject* object, bool exact_ndarray) noexcept {
    PyArrayObject_fields* fields = array_fields(reinterpret_cast<PyArrayObject*>(object));
    std::string dtype = dtype_text(fields->descr);
    std::string text = article_for(dtype) + dtype;
    if (!exact_ndarray)
        text += " '" + type_name_of(object) + "'";
    text += " array with " + std::to_string(fields->nd) + (fields->nd == 1 ? " dimension" : " dimensions");
    return text;
}

// A pandas Series or anything else that offers to_numpy().
bool offers_to_numpy(PyObject* object) noexcept {
    int found = PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "to_numpy");
    discard_error();
    return found == 1;
}

std::string masked_note(const ArrayArgument& argument, PyObject* object) noexcept {
    std::string name(argument.name);
    if (argument.output)
        return "molvenar writes plain float64 arrays and would leave a masked output's mask as it was. "
               "Pass np.empty_like(" + std::string(argument.input_name) +
               ") and mask the result afterwards if needed, e.g. np.ma.masked_invalid(out).";
    PyArrayObject_fields* fields = array_fields(reinterpret_cast<PyArrayObject*>(object));
    std::string fix = dtype_text(fields->descr) == "float64" ? name + ".filled(np.nan)"
                                                              : name + ".astype(np.float64).filled(np.nan)";
    return "molvenar does not read masks: masked values would be used as if they were valid. "
           "In molvenar NaN marks a gap, so pass " + fix + ".";
}

std::string conversion_note(const ArrayArgument& argument, PyObject* object) noexcept {
    std::string name(argument.name);
    std::string output_fix = "Pass a float64 output such as np.empty_like(" + std::string(argument.input_name) +
                             "): molvenar writes into it in place, so a converted copy would not hold the "
                             "results.";
    void* const* table = cached_numpy_api_table();
    if (table && is_numpy_array(table, object)) {
        PyTypeObject* type = Py_TYPE(object);
        const bool exact = type == numpy_array_type(table);
        if (!exact && is_masked_array_type(type))
            return masked_note(argument, object);
        std::string note = std::string(needs) + array_description(object, exact) + ". ";
        if (argument.output)
            return note + output_fix;
        if (array_fields(reinterpret_cast<PyArrayObject*>(object))->nd > 1)
            return note + "Select one series first (" + name + "[:, j], or " + name +
                   ".ravel() for a single row or column), then pass np.ascontiguousarray(..., "
                   "dtype=np.float64).";
        return note + "Pass np.ascontiguousarray(" + name + ", dtype=np.float64).";
    }
    if (object == Py_None)
        return std::string(needs) + "None. " +
               (argument.output ? output_fix : "Pass the values as np.asarray(values, dtype=np.float64).");
    std::string type_name = type_name_of(object);
    std::string note = std::string(needs) + "a '" + type_name + "' object. ";
    if (argument.output)
        return note + output_fix;
    if (offers_to_numpy(object)) {
        if (type_name == "DataFrame")
            return note + "Pass one column: " + name + "[column].to_numpy(dtype=np.float64).";
        return note + "Pass " + name + ".to_numpy(dtype=np.float64).";
    }
    return note + "Pass np.asarray(" + name + ", dtype=np.float64).";
}

bool ends_with(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

std::string period_range(std::string_view name, Period minimum) {
    return std::string(name) + " must be an int from " + std::to_string(minimum) + " to " +
           std::to_string(std::numeric_limits<Period>::max());
}

}  // namespace

ErrorValue array_argument_error(const ArrayArgument& argument, PyObject* object,
                                ErrorValue error) noexcept {
    PyObject* type = error.type();
    if (type == PyExc_TypeError)
        return with_note(name_argument_error(argument.name, std::move(error)), conversion_note(argument, object));
    std::string name(argument.name);
    if (type == PyExc_ImportError)
        return with_note(std::move(error),
                         "molvenar takes NumPy's C API from the installed NumPy when it meets its first "
                         "array, and that failed. Check that 'import numpy' works in this interpreter.");
    if (type == PyExc_RuntimeError && ends_with(string_form(error.instance()), "AlreadyBorrowed"))
        return with_note(std::move(error),
                         name + " is held for writing by other code in this process (an extension module "
                         "that shares NumPy's borrow registry). Let that writer finish first, or pass a "
                         "copy: " + name + ".copy().");
    if (type == PyExc_RuntimeError)
        return with_note(std::move(error),
                         "The borrow registry that extension modules in this process share through NumPy "
                         "could not lend " + name + " for reading: another module published one that "
                         "molvenar cannot use.");
    return error;
}

std::string signature_note(const FunctionDescription& description) noexcept {
    std::string list;
    for (std::string_view parameter : description.parameter_names) {
        if (!list.empty())
            list += ", ";
        list += parameter;
    }
    return "The signature is " + std::string(description.function_name) + "(" + list + "): all " +
           std::to_string(description.parameter_names.size()) +
           " arguments are required, each by position or by keyword.";
}

std::string period_type_note(std::string_view name, PyObject* object, Period minimum) noexcept {
    return period_range(name, minimum) + "; got a '" + type_name_of(object) +
           "' object. Pass an int, for example round(" + std::string(name) + ").";
}

std::string period_range_note(std::string_view name, std::string_view given, Period minimum) noexcept {
    return period_range(name, minimum) + "; got " + std::string(given) + ".";
}

std::string not_contiguous_note(const ArrayArgument& argument, const ArrayLayout& layout) noexcept {
    std::string name(argument.name);
    std::string kind = layout.stride == 0   ? " (a broadcast view)"
                       : layout.stride < 0  ? " (a reversed view)"
                                            : "";
    std::string note = name + " holds " + std::to_string(layout.count) + " values " +
                       std::to_string(layout.stride) + " bytes apart" + kind +
                       "; molvenar needs them 8 bytes apart in increasing order (C-contiguous). ";
    if (argument.output)
        return note + "molvenar writes in place, so pass a contiguous output such as np.empty_like(" +
               std::string(argument.input_name) + ") and copy it into the view afterwards.";
    return note + "Pass np.ascontiguousarray(" + name + ").";
}

std::string not_writeable_note(const ArrayArgument& argument) noexcept {
    return std::string(argument.name) +
           " is read-only (NumPy's writeable flag is off: a read-only memory map, an array over bytes, "
           "or flags.writeable = False). Pass a writeable array such as np.empty_like(" +
           std::string(argument.input_name) + ").";
}

std::string overlap_note(std::string_view output_name, std::string_view input_name) noexcept {
    std::string input(input_name);
    return std::string(output_name) + " shares memory with " + input +
           ", so writing results would overwrite values still to be read. Pass a separate output such "
           "as np.empty_like(" + input + "), or a copy of the input: " + input + ".copy().";
}

std::string changed_note(std::string_view name) noexcept {
    return std::string(name) +
           " was changed (reshaped, retyped, given other strides or memory, or made read-only) by Python "
           "code that ran inside the call: an output's __len__ or another module's borrow table. Leave "
           "the arrays of a call as they are until it returns.";
}

std::string length_note(std::span<const std::string_view> names, std::span<const std::size_t> counts,
                        std::string_view fix) noexcept {
    std::string note;
    for (std::size_t i = 0; i < names.size(); ++i) {
        note += i == 0 ? "" : ", ";
        note += std::string(names[i]) + " has " + std::to_string(counts[i]) + (i == 0 ? " values" : "");
    }
    return note + ". " + std::string(fix);
}

}  // namespace molvenar
