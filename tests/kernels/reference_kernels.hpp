// Plain loops that follow the definitions of the indicators step by step,
// without the kernels' shortcuts (blocks, skipping seed search, hoisted
// checks): the oracle that the kernels are compared with.
#pragma once

#include <cmath>

#include "macd.hpp"
#include "test_support.hpp"

namespace molvenar::test::reference {

inline Values sma(Period period, const Values& in, std::size_t output_count) {
    Values out(output_count, nan);
    const std::size_t n = in.size();
    if (period == 0 || period > n)
        return out;
    double sum = -0.0;
    for (std::size_t i = 0; i < period; ++i)
        sum = sum + in[i];
    const double reciprocal = 1.0 / static_cast<double>(period);
    out[period - 1] = reciprocal * sum;
    for (std::size_t i = period; i < n; ++i) {
        sum = sum + (in[i] - in[i - period]);
        out[i] = reciprocal * sum;
    }
    return out;
}

inline Values ema(Period period, const Values& in, std::size_t output_count) {
    Values out(output_count, nan);
    const std::size_t n = in.size();
    if (period == 0 || period > n)
        return out;
    // Try every start in turn until a window of finite values is found.
    std::size_t start = 0;
    for (;; ++start) {
        if (start + period > n)
            return out;
        bool all_finite = true;
        for (std::size_t k = start; k < start + period && all_finite; ++k)
            all_finite = std::isfinite(in[k]);
        if (all_finite)
            break;
    }
    double sum = -0.0;
    for (std::size_t k = start; k < start + period; ++k)
        sum = sum + in[k];
    double average = sum / static_cast<double>(period);
    out[start + period - 1] = average;
    const double factor = 2.0 / (static_cast<double>(period) + 1.0);
    const double complement = 1.0 - factor;
    for (std::size_t i = start + period; i < n; ++i) {
        if (!std::isfinite(in[i]))
            continue;
        average = (average * complement) + (in[i] * factor);
        out[i] = average;
    }
    return out;
}

struct MacdLines {
    Values macd, signal, hist;
};

inline MacdLines macd(const Values& in, Period fast, Period slow, Period signal) {
    const std::size_t n = in.size();
    MacdLines out{Values(n, nan), Values(n, nan), Values(n, nan)};
    const double fast_alpha = 2.0 / (1.0 + static_cast<double>(fast));
    const double slow_alpha = 2.0 / (1.0 + static_cast<double>(slow));
    const double signal_alpha = 2.0 / (static_cast<double>(signal) + 1.0);
    // i >= slow + signal - 2 without forming the sum, which can exceed the
    // word; only asked once i >= slow - 1.
    auto signal_started = [&](std::size_t i) { return i - (slow - 2) >= signal; };
    auto mean_newest_first = [&](std::size_t last, Period period) {
        double sum = -0.0;
        for (std::size_t k = 0; k < period; ++k)
            sum = sum + in[last - k];
        return sum / static_cast<double>(period);
    };
    double fast_average = nan, slow_average = nan, signal_average = nan;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = in[i];
        if (std::isnan(x) || i + 1 < slow)
            continue;
        if (std::isnan(fast_average)) {
            fast_average = mean_newest_first(i, fast);
            slow_average = mean_newest_first(i, slow);
        } else {
            fast_average = (fast_average * (1.0 - fast_alpha)) + (x * fast_alpha);
            slow_average = (slow_average * (1.0 - slow_alpha)) + (x * slow_alpha);
        }
        const double m = fast_average - slow_average;
        if (!std::isnan(signal_average))
            signal_average = (signal_average * (1.0 - signal_alpha)) + (signal_alpha * m);
        else if (signal_started(i))
            signal_average = m;
        out.macd[i] = m;
        out.signal[i] = signal_average;
        if (!std::isnan(signal_average))
            out.hist[i] = m - signal_average;
    }
    return out;
}

// Runs compute_macd and compares its three lines with the reference loop.
inline ::testing::AssertionResult macd_matches(const Values& input, Period fast, Period slow, Period signal) {
    const std::size_t n = input.size();
    const MacdLines expected = macd(input, fast, slow, signal);
    Values lines[3] = {Values(n, untouched), Values(n, untouched), Values(n, untouched)};
    compute_macd(view(input), fast, slow, signal, view(lines[0]), view(lines[1]), view(lines[2]));
    const Values* wanted[3] = {&expected.macd, &expected.signal, &expected.hist};
    const char* names[3] = {"MACD line", "signal line", "histogram"};
    for (int k = 0; k < 3; ++k) {
        ::testing::AssertionResult same = same_bits(*wanted[k], lines[k]);
        if (!same)
            return same << " (" << names[k] << ")";
    }
    return ::testing::AssertionSuccess();
}

// The largest candidate that is a number, the first named among equal ones;
// the last candidate when all three are NaN.
inline double true_range(double high, double low, double previous_close) {
    const double candidates[3] = {high - low, std::fabs(high - previous_close),
                                  std::fabs(low - previous_close)};
    const double* best = nullptr;
    for (const double& candidate : candidates)
        if (!std::isnan(candidate) && (best == nullptr || candidate > *best))
            best = &candidate;
    return best != nullptr ? *best : candidates[2];
}

inline Values atr(const Values& high, const Values& low, const Values& close, Period period,
                  std::size_t output_count) {
    Values out(output_count, nan);
    const std::size_t n = high.size();
    if (period == 0 || period >= n)
        return out;
    double sum = 0.0;
    for (std::size_t i = 1; i <= period; ++i)
        sum = sum + true_range(high[i], low[i], close[i - 1]);
    double average = sum / static_cast<double>(period);
    out[period] = average;
    const double reciprocal = 1.0 / static_cast<double>(period);
    for (std::size_t i = period + 1; i < n; ++i) {
        average = average + ((true_range(high[i], low[i], close[i - 1]) - average) * reciprocal);
        out[i] = average;
    }
    return out;
}

}  // namespace molvenar::test::reference
