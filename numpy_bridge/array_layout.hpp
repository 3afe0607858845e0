// What a call relies on about an accepted array, read once at acceptance.
//
// Python code that runs later in the same call (an output's __len__, a
// borrow table of another module) may reshape the array, give it another
// dtype or strides, or clear its writeable flag. The checks and the kernels
// work from this record, and a last comparison with the live object, after
// the last such call-back, refuses an array that no longer matches it.
#pragma once

#include <utility>

#include "errors/compatibility_texts.hpp"
#include "errors/fault_report.hpp"
#include "errors/py_ref.hpp"
#include "numpy_bridge/numpy_types.hpp"

namespace molvenar {

struct ArrayLayout {
    char* data;
    npy_intp count;   // length of the only axis
    npy_intp stride;  // bytes between consecutive values
    PyRef descr;      // held, so that its address cannot be reused meanwhile
    bool writeable;
};

// The layout of a one-dimensional array, taking over a reference to its
// descriptor. Any other dimension count is a broken invariant: acceptance
// has just checked it. GIL held.
inline ArrayLayout read_layout(PyArrayObject* array, PyRef descr) noexcept {
    PyArrayObject_fields* fields = array_fields(array);
    check(fields->nd == 1, texts::inconsistent_dimensionalities);
    return ArrayLayout{fields->data, fields->dimensions[0], fields->strides[0], std::move(descr),
                       (fields->flags & NPY_ARRAY_WRITEABLE) != 0};
}

// The array still has this layout: one axis, same data pointer, length,
// stride, descriptor object and writeable flag. GIL held.
inline bool layout_unchanged(PyArrayObject* array, const ArrayLayout& layout) noexcept {
    PyArrayObject_fields* fields = array_fields(array);
    // The dimension count first: a zero-dimensional array has no length to read.
    return fields->nd == 1 && fields->data == layout.data && fields->dimensions[0] == layout.count &&
           fields->strides[0] == layout.stride &&
           reinterpret_cast<PyObject*>(fields->descr) == layout.descr.get() &&
           ((fields->flags & NPY_ARRAY_WRITEABLE) != 0) == layout.writeable;
}

}  // namespace molvenar
