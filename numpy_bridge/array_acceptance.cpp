#include "numpy_bridge/array_acceptance.hpp"

#include <utility>

#include "errors/py_ref.hpp"
#include "numpy_bridge/api_table.hpp"

namespace molvenar {
namespace {

// A reference to the array's descriptor when it is float64 or one NumPy
// declares equivalent; empty otherwise.
PyRef float64_descriptor(void* const* table, PyArrayObject* array) noexcept {
    PyArray_Descr* own = array_fields(array)->descr;
    if (!own)
        api_call_failed();
    PyRef own_ref = PyRef::borrow(reinterpret_cast<PyObject*>(own));
    PyArray_Descr* float64 = numpy_descr_from_type(table, NPY_DOUBLE);
    if (!float64)
        api_call_failed();
    PyRef float64_ref = PyRef::steal(reinterpret_cast<PyObject*>(float64));
    if (own == float64 || numpy_equiv_types(table, own, float64))
        return own_ref;
    return PyRef();
}

}  // namespace

ErrorValue array_conversion_error(PyObject* object) noexcept {
    return ErrorValue::conversion(object, "PyArray<T, D>");
}

Result<AcceptedArray> accept_array(PyObject* object) noexcept {
    Result<void* const*> table = numpy_api_table();
    if (!table)
        return ErrorValue::import_error(numpy_capsule_message(table.error()));
    if (!is_numpy_array(table.value(), object))
        return array_conversion_error(object);
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (array_fields(array)->nd != 1)
        return array_conversion_error(object);
    PyRef descr = float64_descriptor(table.value(), array);
    if (!descr)
        return array_conversion_error(object);
    return AcceptedArray{array, read_layout(array, std::move(descr))};
}

}  // namespace molvenar
