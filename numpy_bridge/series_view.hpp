// Series views over accepted one-dimensional float64 arrays: the data
// pointer and the length, made only when the values lie 8 bytes apart.
#pragma once

#include <cstddef>
#include <optional>

#include "numpy_bridge/numpy_types.hpp"
#include "series.hpp"

namespace molvenar {

// Fewer than two values, or a byte stride of exactly 8.
bool is_contiguous(PyArrayObject* array) noexcept;
// The array's values for reading, or nothing when not contiguous.
std::optional<InputSeries> input_view(PyArrayObject* array) noexcept;
// The array's values for writing in place, or nothing when not contiguous.
std::optional<OutputSeries> output_view(PyArrayObject* array) noexcept;
// The length of the array's only axis.
std::size_t element_count(PyArrayObject* array) noexcept;
// NumPy allows writing into the array's memory.
bool is_writeable(PyArrayObject* array) noexcept;

}  // namespace molvenar
