#include "macd.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "errors/fault_report.hpp"
#include "nan_fill.hpp"

namespace molvenar {
namespace {

// Mean of the `period` values that end at position `last`, summed from the
// newest value to the oldest, starting at -0.0.
double window_mean(const unaligned_double* in, std::size_t last, Period period) noexcept {
    double sum = -0.0;
    for (std::size_t k = 0; k < period; ++k)
        sum += in[last - k];
    return sum / static_cast<double>(period);
}

// slow_period + signal_period - 2 without wrap-around: a start beyond the
// largest word is beyond every position, so saturating keeps the comparison.
std::size_t signal_start_index(Period slow_period, Period signal_period) noexcept {
    std::size_t start;
    if (__builtin_add_overflow(slow_period - 2, signal_period, &start))
        return std::numeric_limits<std::size_t>::max();
    return start;
}

}  // namespace

void compute_macd(InputSeries input, Period fast_period, Period slow_period,
                  Period signal_period, OutputSeries macd, OutputSeries signal,
                  OutputSeries hist) noexcept {
    const double fast_alpha = 2.0 / (1.0 + static_cast<double>(fast_period));
    const double slow_alpha = 2.0 / (1.0 + static_cast<double>(slow_period));
    const double signal_alpha = 2.0 / (static_cast<double>(signal_period) + 1.0);
    const double fast_beta = 1.0 - fast_alpha;
    const double slow_beta = 1.0 - slow_alpha;
    const double signal_beta = 1.0 - signal_alpha;
    const std::size_t signal_start = signal_start_index(slow_period, signal_period);

    const std::size_t n = input.count;
    // A seed reads fast_period values back from a position of at least
    // slow_period - 1: inside the input only while the fast window is shorter.
    check(fast_period <= slow_period, "MACD fast period longer than its slow period");
    // Every position is written to each output, so the first write outside
    // one is at the smallest count, to the first output of that count.
    const std::size_t reach = std::min({macd.count, signal.count, hist.count});
    if (reach < n)
        index_fault(reach, reach);

    const unaligned_double* in = input.values;
    unaligned_double* macd_out = macd.values;
    unaligned_double* signal_out = signal.values;
    unaligned_double* hist_out = hist.values;
    auto write_missing = [&](std::size_t i) {
        macd_out[i] = missing_value;
        signal_out[i] = missing_value;
        hist_out[i] = missing_value;
    };

    // Before slow_period - 1 the slow window is incomplete.
    const std::size_t warm_up = std::min(n, slow_period - 1);
    for (std::size_t i = 0; i < warm_up; ++i)
        write_missing(i);

    double fast_average = missing_value;
    double slow_average = missing_value;
    double signal_average = missing_value;
    for (std::size_t i = warm_up; i < n; ++i) {
        const double x = in[i];
        // Only NaN is a missing value; it leaves all three averages as they are.
        if (std::isnan(x)) {
            write_missing(i);
            continue;
        }
        // Seeded from the windows ending here while the fast average has no
        // number; only the fast one is tested.
        if (std::isnan(fast_average)) {
            fast_average = window_mean(in, i, fast_period);
            slow_average = window_mean(in, i, slow_period);
        } else {
            fast_average = (fast_average * fast_beta) + (x * fast_alpha);
            slow_average = (slow_average * slow_beta) + (x * slow_alpha);
        }
        const double line = fast_average - slow_average;
        if (!std::isnan(signal_average))
            signal_average = (signal_average * signal_beta) + (signal_alpha * line);
        else if (i >= signal_start)
            signal_average = line;
        macd_out[i] = line;
        signal_out[i] = signal_average;
        hist_out[i] = std::isnan(signal_average) ? missing_value : line - signal_average;
    }
}

}  // namespace molvenar
