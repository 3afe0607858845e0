// Average true range of a high/low/close price series.
#pragma once

#include "series.hpp"

namespace molvenar {

// Writes the averages to positions period to n - 1, where n is high.count,
// and NaN to every other position. Any period is accepted; 0 or a period of
// at least n leaves the output all NaN. The caller guarantees that
// low and close hold n values and, when 1 <= period < n, that the output holds
// at least n; a read or write outside a series is a fault.
void compute_atr(InputSeries high, InputSeries low, InputSeries close, Period period,
                 OutputSeries output) noexcept;

}  // namespace molvenar
