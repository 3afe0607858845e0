// Exponential moving average, seeded by the mean of the first run of
// `period` consecutive finite values.
#pragma once

#include "series.hpp"

namespace molvenar {

// Writes the seed mean and every later average, and NaN to every other position.
// Non-finite inputs never enter the average and keep their position NaN. Any
// period is accepted. The caller guarantees output.count == input.count; a
// write beyond the output is a fault.
void compute_ema(Period period, InputSeries input, OutputSeries output) noexcept;

}  // namespace molvenar
