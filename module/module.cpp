// The module object: built once per process, served to one interpreter.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "errors/fault_report.hpp"
#include "errors/compatibility_texts.hpp"
#include "errors/py_ref.hpp"
#include "errors/result.hpp"
#include "errors/string_form.hpp"
#include "module/entry_points.hpp"

namespace molvenar {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "molvenar",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Registration order is the order of `__all__`. The documentation strings
// are text signatures only, so each callable's __doc__ is None.
PyMethodDef function_table[] = {
    {"indicator_sma", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(indicator_sma_entry)),
     METH_FASTCALL | METH_KEYWORDS, "indicator_sma(period, data, output)\n--\n\n"},
    {"indicator_ema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(indicator_ema_entry)),
     METH_FASTCALL | METH_KEYWORDS, "indicator_ema(period, data, output)\n--\n\n"},
    {"indicator_macd", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(indicator_macd_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "indicator_macd(fast_period, slow_period, signal_period, data, macd_output, signal_output, "
     "hist_output)\n--\n\n"},
    {"indicator_atr", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(indicator_atr_entry)),
     METH_FASTCALL | METH_KEYWORDS, "indicator_atr(period, high, low, close, output)\n--\n\n"},
};
static_assert((METH_FASTCALL | METH_KEYWORDS) == 0x82);

// The interpreter that first imported the module; -1 while there is none.
std::atomic<std::int64_t> owning_interpreter{-1};
// The module, once built; never released.
std::atomic<PyObject*> module_cell{nullptr};

PyObject* interned(const char* text) noexcept {
    PyObject* name = PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(std::strlen(text)));
    if (!name)
        api_call_failed();
    PyUnicode_InternInPlace(&name);
    return name;
}

// Made once under the interpreter lock and kept.
PyObject* interned_name_attribute() noexcept {
    static PyObject* name = interned("__name__");
    return name;
}
PyObject* interned_all_attribute() noexcept {
    static PyObject* name = interned("__all__");
    return name;
}

// The module's `__all__` list, made empty when the module has none.
Result<PyRef> all_list(PyObject* module) noexcept {
    PyRef all = PyRef::steal(PyObject_GetAttr(module, interned_all_attribute()));
    if (all) {
        if (!PyList_Check(all.get()))
            return ErrorValue::conversion(all.get(), texts::list_target);
        return all;
    }
    ErrorValue error = fetch_error();
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError))
        return error;
    PyRef fresh = PyRef::steal(PyList_New(0));
    if (!fresh || PyObject_SetAttr(module, interned_all_attribute(), fresh.get()) != 0)
        return fetch_error();
    return fresh;
}

Result<void> add_function(PyObject* module, PyObject* function) noexcept {
    PyRef name = PyRef::steal(PyObject_GetAttr(function, interned_name_attribute()));
    if (!name)
        return fetch_error();
    if (!PyUnicode_Check(name.get()))
        return ErrorValue::conversion(name.get(), texts::string_target);
    Result<PyRef> all = all_list(module);
    if (!all)
        return std::move(all).error();
    if (PyList_Append(all.value().get(), name.get()) != 0) {
        ErrorValue error = fetch_error();
        fault("could not append __name__ to __all__: " + debug_form(error));
    }
    if (PyObject_SetAttr(module, name.get(), function) != 0)
        return fetch_error();
    return {};
}

Result<void> initialise_module(PyObject* module) noexcept {
    for (PyMethodDef& record : function_table) {
        PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
        if (!module_name)
            return fetch_error();
        PyRef function = PyRef::steal(PyCMethod_New(&record, module, module_name.get(), nullptr));
        module_name.reset();
        if (!function)
            return fetch_error();
        if (Result<void> added = add_function(module, function.get()); !added)
            return std::move(added).error();
    }
    return {};
}

Result<PyObject*> import_module() noexcept {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1)
        return fetch_error();
    std::int64_t owner = -1;
    if (!owning_interpreter.compare_exchange_strong(owner, current) && owner != current)
        return ErrorValue::import_error(texts::subinterpreters_unsupported);

    if (PyObject* existing = module_cell.load(std::memory_order_acquire))
        return Py_NewRef(existing);

    PyObject* made = PyModule_Create2(&module_definition, 1013);
    if (!made)
        return fetch_error();
    if (Result<void> body = initialise_module(made); !body) {
        Py_DECREF(made);
        return std::move(body).error();
    }
    PyObject* stored = nullptr;
    if (!module_cell.compare_exchange_strong(stored, made)) {
        Py_DECREF(made);
        made = stored;
    }
    return Py_NewRef(made);
}

}  // namespace
}  // namespace molvenar

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_molvenar() noexcept {
    return molvenar::call_boundary(molvenar::import_module);
}
