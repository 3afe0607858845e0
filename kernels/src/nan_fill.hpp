// The marker of an output position without a value, and how it is written.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "series.hpp"

namespace molvenar {

// The quiet NaN 0x7FF8000000000000: the one fixed pattern the kernels write.
inline constexpr double missing_value = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// Writes the marker to positions [from, to) of the output, as far as the
// output reaches. The kernels mark only the positions that get no value, so
// that no position is written twice.
inline void fill_missing(OutputSeries output, std::size_t from, std::size_t to) noexcept {
    unaligned_double* values = output.values;
    const std::size_t end = std::min(to, output.count);
    for (std::size_t i = from; i < end; ++i)
        values[i] = missing_value;
}

// Marks every position of the output.
inline void fill_missing(OutputSeries output) noexcept { fill_missing(output, 0, output.count); }

}  // namespace molvenar
