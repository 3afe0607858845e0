#include "numpy_bridge/array_acceptance.hpp"

#include <atomic>
#include <utility>

#include "errors/compatibility_texts.hpp"
#include "errors/py_ref.hpp"
#include "numpy_bridge/api_table.hpp"
#include "numpy_bridge/masked_array.hpp"

namespace molvenar {
namespace {

// NumPy's float64 descriptor (entry 45 with type number 12), kept for the
// process once obtained. NumPy hands out one built-in descriptor per type,
// so most float64 arrays hold this very object and are accepted by one
// pointer comparison.
std::atomic<PyArray_Descr*> cached_float64{nullptr};

PyArray_Descr* float64_descriptor(void* const* table) noexcept {
    if (PyArray_Descr* known = cached_float64.load(std::memory_order_acquire))
        return known;
    PyArray_Descr* made = numpy_descr_from_type(table, NPY_DOUBLE);
    if (!made)
        api_call_failed();
    PyArray_Descr* expected = nullptr;
    if (!cached_float64.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(reinterpret_cast<PyObject*>(made));
        return expected;
    }
    return made;  // this reference is never given back
}

// A reference to the array's descriptor when it is float64 or one NumPy
// declares equivalent; empty otherwise. The reference keeps the descriptor
// alive for the call, so that its address cannot be reused by another.
PyRef float64_descriptor_of(void* const* table, PyArrayObject* array) noexcept {
    PyArray_Descr* own = array_fields(array)->descr;
    if (!own)
        api_call_failed();
    // Held from here: the equivalence query may run code that swaps the
    // array's descriptor.
    PyRef own_ref = PyRef::borrow(reinterpret_cast<PyObject*>(own));
    PyArray_Descr* float64 = float64_descriptor(table);
    if (own == float64 || numpy_equiv_types(table, own, float64))
        return own_ref;
    return PyRef();
}

}  // namespace

ErrorValue array_conversion_error(PyObject* object) noexcept {
    return ErrorValue::conversion(object, texts::array_target);
}

Result<AcceptedArray> accept_array(PyObject* object) noexcept {
    void* const* table = cached_numpy_api_table();
    if (!table) [[unlikely]] {
        Result<void* const*> loaded = numpy_api_table();
        if (!loaded)
            return ErrorValue::import_error(numpy_capsule_message(loaded.error()));
        table = loaded.value();
    }
    // The exact ndarray type pays one comparison. A subclass is accepted
    // unless it is a masked array, whose mask the kernels would not see.
    PyTypeObject* type = Py_TYPE(object);
    if (type != numpy_array_type(table) &&
        (!is_numpy_array(table, object) || is_masked_array_type(type)))
        return array_conversion_error(object);
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (array_fields(array)->nd != 1)
        return array_conversion_error(object);
    PyRef descr = float64_descriptor_of(table, array);
    if (!descr)
        return array_conversion_error(object);
    return AcceptedArray{array, read_layout(array, std::move(descr))};
}

}  // namespace molvenar
