// Series views: a pointer to `count` consecutive doubles and the count.
// Kernels read input views and write output views in place; a view owns
// nothing and performs no allocation.
#pragma once

#include <cstddef>

#include "binary64.hpp"

namespace molvenar {

// Unsigned integer of the machine's word width.
using Period = std::size_t;

// A double that may lie at any address. NumPy allows contiguous float64
// arrays whose memory is not 8-byte aligned (a buffer taken at an odd offset,
// a field of a packed record), so the kernels read and write through this
// type: accesses are defined at every address, and on x86 they compile to the
// same moves as aligned ones.
typedef double unaligned_double __attribute__((aligned(1)));
static_assert(sizeof(unaligned_double) == 8 && alignof(unaligned_double) == 1);

struct InputSeries {
    const unaligned_double* values;
    std::size_t count;
};

struct OutputSeries {
    unaligned_double* values;
    std::size_t count;
};

}  // namespace molvenar
