// Series views over accepted one-dimensional float64 arrays: the data
// pointer and the length, made only when the values lie 8 bytes apart.
// Every call reads these for each of its arrays, so they are inline.
#pragma once

#include <cstddef>
#include <optional>

#include "numpy_bridge/numpy_types.hpp"
#include "series.hpp"

namespace molvenar {

namespace series_view_detail {
// Views exist for one axis only; acceptance guarantees it, so anything else
// is a broken invariant and ends the process.
[[noreturn]] void not_one_axis() noexcept;

inline PyArrayObject_fields* one_axis(PyArrayObject* array) noexcept {
    PyArrayObject_fields* fields = array_fields(array);
    if (fields->nd != 1) [[unlikely]]
        not_one_axis();
    return fields;
}
}  // namespace series_view_detail

// The length of the array's only axis.
inline std::size_t element_count(PyArrayObject* array) noexcept {
    return static_cast<std::size_t>(series_view_detail::one_axis(array)->dimensions[0]);
}

// Fewer than two values, or a byte stride of exactly 8.
inline bool is_contiguous(PyArrayObject* array) noexcept {
    PyArrayObject_fields* fields = series_view_detail::one_axis(array);
    return fields->dimensions[0] < 2 || fields->strides[0] == npy_intp{sizeof(double)};
}

// The array's values for reading, or nothing when not contiguous.
inline std::optional<InputSeries> input_view(PyArrayObject* array) noexcept {
    if (!is_contiguous(array))
        return std::nullopt;
    return InputSeries{reinterpret_cast<const unaligned_double*>(array_fields(array)->data),
                       element_count(array)};
}

// The array's values for writing in place, or nothing when not contiguous.
inline std::optional<OutputSeries> output_view(PyArrayObject* array) noexcept {
    if (!is_contiguous(array))
        return std::nullopt;
    return OutputSeries{reinterpret_cast<unaligned_double*>(array_fields(array)->data),
                        element_count(array)};
}

// NumPy allows writing into the array's memory.
inline bool is_writeable(PyArrayObject* array) noexcept {
    return (array_fields(array)->flags & NPY_ARRAY_WRITEABLE) != 0;
}

}  // namespace molvenar
