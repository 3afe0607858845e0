// The steps per bit of forgetting of the averages, worked out while
// compiling for the periods most calls use. At run time a logarithm and two
// divisions, some 60 cycles one after the other, stand ahead of everything a
// run of lanes does: 3 to 7 % of a call on 250 values, 1 to 3 % on 2,500.
#pragma once

#include <array>
#include <cstddef>

#include "lane_dispatch.hpp"
#include "smoothing.hpp"

namespace molvenar::lanes {

inline constexpr std::size_t tabled_periods = 256;

// steps_per_bit of the contraction of each period, from a table for the
// periods below tabled_periods. Period 0, whose weight of a new value is 1
// or more, forgets at once.
struct PerBitByPeriod {
    double (*complement_of)(std::size_t period) noexcept;
    std::array<double, tabled_periods> per_bit{};

    constexpr explicit PerBitByPeriod(double (*complement)(std::size_t) noexcept) noexcept
        : complement_of(complement) {
        for (std::size_t period = 1; period < tabled_periods; ++period)
            per_bit[period] = steps_per_bit(complement_of(period));
    }

    double of(std::size_t period) const noexcept {
        return period < tabled_periods ? per_bit[period] : steps_per_bit(complement_of(period));
    }
};

// The exponential averages of EMA and MACD: a period p weighs each new value
// by 2 / (p + 1).
constexpr double exponential_complement(std::size_t period) noexcept {
    return smoothing_of_period(period).complement;
}
inline constexpr PerBitByPeriod exponential_per_bit{exponential_complement};

// ATR's average: a period p weighs each new range by 1 / p.
constexpr double wilder_complement(std::size_t period) noexcept { return 1.0 - wilder_factor(period); }
inline constexpr PerBitByPeriod wilder_per_bit{wilder_complement};

}  // namespace molvenar::lanes
