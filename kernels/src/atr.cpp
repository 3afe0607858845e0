#include "atr.hpp"

#include <algorithm>
#include <cmath>

#include "errors/fault_report.hpp"
#include "nan_fill.hpp"

namespace molvenar {
namespace {

// The larger of two candidates, the first on a tie. A NaN candidate is
// passed over: a NaN second one loses the comparison, a NaN first one is
// replaced. Written as a select plus a NaN fix-up so that it compiles to a
// max instruction and a conditional move, not to a branch on the prices.
double larger_known(double first, double second) noexcept {
    double larger = (second > first) ? second : first;
    if (std::isnan(first))
        larger = second;
    return larger;
}

// The largest of the three ranges of one interval; NaN only when all three
// are NaN.
double true_range(double high, double low, double previous_close) noexcept {
    const double a = high - low;
    const double b = std::fabs(high - previous_close);
    const double c = std::fabs(low - previous_close);
    return larger_known(larger_known(a, b), c);
}

// Position i reads low[i], then close[i - 1], then writes output[i] from
// `period` on. Faults on the first of these accesses that would leave its
// series, which only a caller breaking the length guarantees can cause.
void check_reach(std::size_t n, InputSeries low, InputSeries close, Period period,
                 OutputSeries output) noexcept {
    const std::size_t low_end = std::max<std::size_t>(low.count, 1);
    const std::size_t close_end = close.count < n ? close.count + 1 : n;
    const std::size_t output_end = std::max(period, output.count);
    const std::size_t first = std::min({low_end, close_end, output_end});
    if (first >= n)
        return;
    if (first == low_end)
        index_fault(first, low.count);
    if (first == close_end)
        index_fault(first - 1, close.count);
    index_fault(first, output.count);
}

}  // namespace

void compute_atr(InputSeries high, InputSeries low, InputSeries close, Period period,
                 OutputSeries output) noexcept {
    fill_missing(output);
    const std::size_t n = high.count;
    if (period == 0 || period >= n)
        return;
    check_reach(n, low, close, period, output);

    const unaligned_double* h = high.values;
    const unaligned_double* l = low.values;
    const unaligned_double* c = close.values;
    unaligned_double* out = output.values;

    const double reciprocal = 1.0 / static_cast<double>(period);
    // Position 0 has no previous close, so the first average covers the
    // ranges of positions 1 to period and lands at position period.
    double sum = +0.0;
    for (std::size_t i = 1; i <= period; ++i)
        sum += true_range(h[i], l[i], c[i - 1]);
    double average = sum / static_cast<double>(period);
    out[period] = average;

    for (std::size_t i = period + 1; i < n; ++i) {
        average = average + ((true_range(h[i], l[i], c[i - 1]) - average) * reciprocal);
        out[i] = average;
    }
}

}  // namespace molvenar
