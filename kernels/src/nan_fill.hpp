// The marker of an output position without a value, and the fill that every
// kernel starts with.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "series.hpp"

namespace molvenar {

// The quiet NaN 0x7FF8000000000000: the one fixed pattern the kernels write.
inline constexpr double missing_value = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// Writes the marker to every position of the output. A plain loop over
// in-range indices, which the compiler turns into wide stores.
inline void fill_missing(OutputSeries output) noexcept {
    unaligned_double* values = output.values;
    for (std::size_t i = 0; i < output.count; ++i)
        values[i] = missing_value;
}

}  // namespace molvenar
