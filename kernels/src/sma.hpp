// Simple moving average: the mean of the `period` most recent values.
#pragma once

#include "series.hpp"

namespace molvenar {

// Writes the average ending at each position from period - 1 on, and NaN
// before. Any period is accepted; an unusable one (0, or more than the
// input's count) leaves the output all NaN. The caller guarantees
// output.count == input.count; a write beyond the output is a fault.
void compute_sma(Period period, InputSeries input, OutputSeries output) noexcept;

}  // namespace molvenar
