// Shared values and the bit-pattern comparison of the kernel tests.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "series.hpp"

namespace molvenar::test {

using Values = std::vector<double>;

inline constexpr std::uint64_t fill_bits = 0x7FF8000000000000;
// The fill marker: where it is expected, the output must hold exactly it.
inline constexpr double nan = std::bit_cast<double>(fill_bits);
// A NaN produced by arithmetic: where expected, any NaN is accepted. Every
// expected NaN other than the fill pattern is treated this way.
inline constexpr double computed_nan = std::bit_cast<double>(std::uint64_t{0xFFF8000000000000});
inline constexpr double inf = std::numeric_limits<double>::infinity();
inline constexpr Period max_period = std::numeric_limits<Period>::max();
// What an output holds before a kernel runs, so that an unwritten position shows.
inline constexpr double untouched = 12345.0;

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

inline std::string describe(double x) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g (0x%016llx)", x,
                  static_cast<unsigned long long>(bits(x)));
    return text;
}

inline ::testing::AssertionResult same_bits(const Values& expected, const Values& actual) {
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure() << "sizes differ: expected " << expected.size()
                                             << ", actual " << actual.size();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const double e = expected[i];
        const double a = actual[i];
        const bool loose_nan = std::isnan(e) && bits(e) != fill_bits;
        if (loose_nan ? !std::isnan(a) : bits(e) != bits(a))
            return ::testing::AssertionFailure() << "at position " << i << ": expected "
                                                 << describe(e) << ", actual " << describe(a);
    }
    return ::testing::AssertionSuccess();
}

inline InputSeries view(const Values& values) { return {values.data(), values.size()}; }
inline OutputSeries view(Values& values) { return {values.data(), values.size()}; }

}  // namespace molvenar::test
