#include "numpy_bridge/series_view.hpp"

#include "errors/fault_report.hpp"

namespace molvenar {
namespace {

// Views exist for one axis only; acceptance guarantees it, so anything else
// is a broken invariant.
PyArrayObject_fields* one_axis(PyArrayObject* array) noexcept {
    PyArrayObject_fields* fields = array_fields(array);
    check(fields->nd == 1,
          "inconsistent dimensionalities: The dimensionality expected by `PyArray` does not "
          "match that given by NumPy.\nPlease report a bug against the `rust-numpy` crate.");
    return fields;
}

}  // namespace

std::size_t element_count(PyArrayObject* array) noexcept {
    return static_cast<std::size_t>(one_axis(array)->dimensions[0]);
}

bool is_contiguous(PyArrayObject* array) noexcept {
    PyArrayObject_fields* fields = one_axis(array);
    return fields->dimensions[0] < 2 || fields->strides[0] == npy_intp{sizeof(double)};
}

std::optional<InputSeries> input_view(PyArrayObject* array) noexcept {
    if (!is_contiguous(array))
        return std::nullopt;
    return InputSeries{reinterpret_cast<const unaligned_double*>(array_fields(array)->data),
                       element_count(array)};
}

std::optional<OutputSeries> output_view(PyArrayObject* array) noexcept {
    if (!is_contiguous(array))
        return std::nullopt;
    return OutputSeries{reinterpret_cast<unaligned_double*>(array_fields(array)->data),
                        element_count(array)};
}

bool is_writeable(PyArrayObject* array) noexcept {
    return (array_fields(array)->flags & NPY_ARRAY_WRITEABLE) != 0;
}

}  // namespace molvenar
