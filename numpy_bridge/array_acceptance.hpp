// Accepting a Python object as a one-dimensional float64 NumPy array.
#pragma once

#include "errors/result.hpp"
#include "numpy_bridge/array_layout.hpp"
#include "numpy_bridge/numpy_types.hpp"

namespace molvenar {

// An accepted array and its layout at acceptance. No reference to the array
// is taken: the caller's argument vector keeps it alive for the call.
struct AcceptedArray {
    PyArrayObject* array;
    ArrayLayout layout;

    // Nothing the kernel relies on has changed since acceptance. GIL held.
    bool unchanged() const noexcept { return layout_unchanged(array, layout); }
};

// The object, known now to be an ndarray (or subclass other than a masked
// array) with one axis and a float64-equivalent descriptor, with its layout. Refusal is
// array_conversion_error; NumPy being unusable is an ImportError
// "Failed to access NumPy array API capsule: ...". GIL held.
Result<AcceptedArray> accept_array(PyObject* object) noexcept;

// TypeError "'<type>' object cannot be converted to 'PyArray<T, D>'".
ErrorValue array_conversion_error(PyObject* object) noexcept;

}  // namespace molvenar
