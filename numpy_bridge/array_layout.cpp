#include "numpy_bridge/array_layout.hpp"

#include <utility>

#include "errors/fault_report.hpp"

namespace molvenar {

ArrayLayout read_layout(PyArrayObject* array, PyRef descr) noexcept {
    PyArrayObject_fields* fields = array_fields(array);
    check(fields->nd == 1,
          "inconsistent dimensionalities: The dimensionality expected by `PyArray` does not "
          "match that given by NumPy.\nPlease report a bug against the `rust-numpy` crate.");
    return ArrayLayout{fields->data, fields->dimensions[0], fields->strides[0], std::move(descr),
                       (fields->flags & NPY_ARRAY_WRITEABLE) != 0};
}

bool layout_unchanged(PyArrayObject* array, const ArrayLayout& layout) noexcept {
    PyArrayObject_fields* fields = array_fields(array);
    // The dimension count first: a zero-dimensional array has no length to read.
    return fields->nd == 1 && fields->data == layout.data && fields->dimensions[0] == layout.count &&
           fields->strides[0] == layout.stride &&
           reinterpret_cast<PyObject*>(fields->descr) == layout.descr.get() &&
           ((fields->flags & NPY_ARRAY_WRITEABLE) != 0) == layout.writeable;
}

}  // namespace molvenar
