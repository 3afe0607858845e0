// Moving average convergence/divergence: the MACD line, its signal line and
// the histogram.
#pragma once

#include "series.hpp"

namespace molvenar {

// Writes positions 0 to n - 1 of the three outputs, at each position the MACD
// value first, then the signal, then the histogram. The caller guarantees
// every period >= 1, fast_period < slow_period, and that each output holds
// input.count values; a write beyond an output is a fault.
void compute_macd(InputSeries input, Period fast_period, Period slow_period,
                  Period signal_period, OutputSeries macd, OutputSeries signal,
                  OutputSeries hist) noexcept;

}  // namespace molvenar
