// The update of an exponential average, for one double or a pack of lanes.
// The EMA kernel and the three averages of MACD move this way; their plain
// loops and the lane engine call this one definition. Also the weights of a
// new value by period, here and in ATR, which the lane engine's table of
// warm-ups (forgetting_by_period.hpp) works out the same way.
#pragma once

#include <cstddef>

#include "simd_pack.hpp"

namespace molvenar {

struct Smoothing {
    double factor;      // the weight of the new value
    double complement;  // 1.0 - factor, rounded once and used as it is

    // (average × complement) + (x × factor): each product rounded, then the
    // sum. The form decides the bits: average + factor × (x − average) gives
    // others. The order of the factors in a product does not: x × factor and
    // factor × x are the same double.
    template <class T>
    MOLVENAR_INLINE T next(T average, T x) const noexcept {
        return (average * complement) + (x * factor);
    }
};

// The smoothing with the given factor.
constexpr Smoothing smoothing_by(double factor) noexcept { return {factor, 1.0 - factor}; }

// The smoothing of an exponential average over `period` values: the factor
// 2 / (period + 1).
constexpr Smoothing smoothing_of_period(std::size_t period) noexcept {
    return smoothing_by(2.0 / (static_cast<double>(period) + 1.0));
}

// The weight of a new range in ATR's average over `period` ranges: 1 / period.
constexpr double wilder_factor(std::size_t period) noexcept { return 1.0 / static_cast<double>(period); }

}  // namespace molvenar
