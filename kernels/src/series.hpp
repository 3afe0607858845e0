// Series views: a pointer to `count` consecutive doubles and the count.
// Kernels read input views and write output views in place; a view owns
// nothing and performs no allocation.
#pragma once

#include <cstddef>

namespace molvenar {

// Unsigned integer of the machine's word width.
using Period = std::size_t;

struct InputSeries {
    const double* values;
    std::size_t count;
};

struct OutputSeries {
    double* values;
    std::size_t count;
};

}  // namespace molvenar
