// Accepting a Python object as a one-dimensional float64 NumPy array.
#pragma once

#include "errors/result.hpp"
#include "numpy_bridge/numpy_types.hpp"

namespace molvenar {

// The object itself, known now to be an ndarray (or subclass) with one axis
// and a float64-equivalent descriptor. No reference is taken. Refusal is
// array_conversion_error; NumPy being unusable is an ImportError
// "Failed to access NumPy array API capsule: ...". GIL held.
Result<PyArrayObject*> accept_array(PyObject* object) noexcept;

// TypeError "'<type>' object cannot be converted to 'PyArray<T, D>'".
ErrorValue array_conversion_error(PyObject* object) noexcept;

}  // namespace molvenar
