// The update of an exponential average, for one double or a pack of lanes.
// The EMA kernel and the three averages of MACD move this way; their plain
// loops and the lane engine call this one definition.
#pragma once

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
inline Smoothing smoothing_by(double factor) noexcept { return {factor, 1.0 - factor}; }

}  // namespace molvenar
