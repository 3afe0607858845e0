// Series views over accepted one-dimensional float64 arrays: the data
// pointer and the length, made only when the values lie 8 bytes apart.
// Everything here reads the layout recorded at acceptance, never the live
// array, which Python code may have changed since.
#pragma once

#include <cstddef>
#include <optional>

#include "numpy_bridge/array_layout.hpp"
#include "numpy_bridge/numpy_types.hpp"
#include "series.hpp"

namespace molvenar {

// The length of the array's only axis.
inline std::size_t element_count(const ArrayLayout& layout) noexcept {
    return static_cast<std::size_t>(layout.count);
}
// Fewer than two values, or a byte stride of exactly 8.
inline bool is_contiguous(const ArrayLayout& layout) noexcept {
    return layout.count < 2 || layout.stride == npy_intp{sizeof(double)};
}
// Inline: from another unit the optional came back through memory, written
// in pieces and read whole, a stalled load per array and call.
// The array's values for reading, or nothing when not contiguous.
inline std::optional<InputSeries> input_view(const ArrayLayout& layout) noexcept {
    if (!is_contiguous(layout))
        return std::nullopt;
    return InputSeries{reinterpret_cast<const unaligned_double*>(layout.data), element_count(layout)};
}
// The array's values for writing in place, or nothing when not contiguous.
inline std::optional<OutputSeries> output_view(const ArrayLayout& layout) noexcept {
    if (!is_contiguous(layout))
        return std::nullopt;
    return OutputSeries{reinterpret_cast<unaligned_double*>(layout.data), element_count(layout)};
}
// NumPy allowed writing into the array's memory.
inline bool is_writeable(const ArrayLayout& layout) noexcept { return layout.writeable; }
// NumPy allows writing into the array's memory now.
bool is_writeable(PyArrayObject* array) noexcept;

// The two views share at least one byte of memory; an empty view shares none.
bool views_overlap(InputSeries input, OutputSeries output) noexcept;

}  // namespace molvenar
