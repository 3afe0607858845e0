#include "ema.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "errors/fault_report.hpp"
#include "nan_fill.hpp"

namespace molvenar {
namespace {

// Finite when the exponent bits are not all ones. They lie in the upper
// word, so NaN of any payload and both infinities fail the one comparison.
bool is_finite(double x) noexcept {
    const auto upper = static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(x) >> 32);
    return (upper & 0x7FFFFFFFu) < 0x7FF00000u;
}

// Start of the first run of `period` consecutive finite values, or n when
// there is none. Counting the current run finds the same window as trying
// every start in turn: the lowest start whose values are all finite.
std::size_t find_seed_start(const unaligned_double* in, std::size_t n, Period period) noexcept {
    std::size_t run = 0;
    for (std::size_t i = 0; i < n; ++i) {
        run = is_finite(in[i]) ? run + 1 : 0;
        if (run == period)
            return i + 1 - period;
    }
    return n;
}

}  // namespace

void compute_ema(Period period, InputSeries input, OutputSeries output) noexcept {
    fill_missing(output);
    const std::size_t n = input.count;
    // period - 1 wraps for period 0: one test for every unusable period.
    if (period - 1 >= n)
        return;

    const unaligned_double* in = input.values;
    unaligned_double* out = output.values;
    const std::size_t m = output.count;

    const std::size_t start = find_seed_start(in, n, period);
    if (start == n)
        return;
    const std::size_t seed_position = start + period - 1;

    double sum = -0.0;
    for (std::size_t i = start; i <= seed_position; ++i)
        sum += in[i];
    double average = sum / static_cast<double>(period);
    if (seed_position >= m)
        index_fault(seed_position, m);
    out[seed_position] = average;
    if (seed_position + 1 == n)
        return;

    const double factor = 2.0 / (static_cast<double>(period) + 1.0);
    const double complement = 1.0 - factor;

    const std::size_t end = std::min(n, m);
    std::size_t i = seed_position + 1;
    for (; i < end; ++i) {
        const double x = in[i];
        if (!is_finite(x))
            continue;
        average = (average * complement) + (x * factor);
        out[i] = average;
    }
    // Only a caller that breaks output.count == n gets here: the next finite
    // value would be written outside the output.
    for (; i < n; ++i)
        if (is_finite(in[i]))
            index_fault(i, m);
}

}  // namespace molvenar
