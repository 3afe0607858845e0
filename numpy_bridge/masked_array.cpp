#include "numpy_bridge/masked_array.hpp"

#include <atomic>

#include "errors/error_value.hpp"
#include "errors/py_ref.hpp"

namespace molvenar {
namespace {

// numpy.ma.core.MaskedArray once seen, kept for the process (the class of a
// module NumPy never unloads).
std::atomic<PyObject*> cached_masked_array{nullptr};

// The class from an imported numpy.ma.core, or null without an error.
PyObject* find_masked_array_class() noexcept {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* core = modules ? PyDict_GetItemString(modules, "numpy.ma.core") : nullptr;
    if (!core)
        return nullptr;
    PyObject* found = PyObject_GetAttrString(core, "MaskedArray");
    if (!found || !PyType_Check(found)) {
        discard_error();
        Py_XDECREF(found);
        return nullptr;
    }
    PyObject* expected = nullptr;
    if (!cached_masked_array.compare_exchange_strong(expected, found, std::memory_order_acq_rel)) {
        Py_DECREF(found);
        return expected;
    }
    return found;  // this reference is never given back
}

}  // namespace

bool is_masked_array_type(PyTypeObject* type) noexcept {
    PyObject* masked = cached_masked_array.load(std::memory_order_acquire);
    if (!masked)
        masked = find_masked_array_class();
    return masked && PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(masked)) != 0;
}

}  // namespace molvenar
