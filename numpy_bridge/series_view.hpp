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

// Fewer than two values, or a byte stride of exactly 8.
bool is_contiguous(const ArrayLayout& layout) noexcept;
// The array's values for reading, or nothing when not contiguous.
std::optional<InputSeries> input_view(const ArrayLayout& layout) noexcept;
// The array's values for writing in place, or nothing when not contiguous.
std::optional<OutputSeries> output_view(const ArrayLayout& layout) noexcept;
// The length of the array's only axis.
inline std::size_t element_count(const ArrayLayout& layout) noexcept {
    return static_cast<std::size_t>(layout.count);
}
// NumPy allowed writing into the array's memory.
inline bool is_writeable(const ArrayLayout& layout) noexcept { return layout.writeable; }
// NumPy allows writing into the array's memory now.
bool is_writeable(PyArrayObject* array) noexcept;

// The two views share at least one byte of memory; an empty view shares none.
bool views_overlap(InputSeries input, OutputSeries output) noexcept;

}  // namespace molvenar
