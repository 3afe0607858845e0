// The layout of the borrow table that cooperating extension modules share
// through the capsule "_RUST_NUMPY_BORROW_CHECKING_API" on NumPy's
// multiarray module: what the registry this module creates fills in, and
// what a table another module made is read as.
#pragma once

#include <cstddef>
#include <cstdint>

#include "numpy_bridge/numpy_types.hpp"

namespace molvenar {

extern "C" {
// Acquisitions return 0 when granted, -1 when a conflicting borrow exists,
// -2 (exclusive only) when the array is not writeable. All are called with
// the GIL held.
typedef std::int32_t BorrowAcquireFunction(void* registry, PyArrayObject* array);
typedef void BorrowReleaseFunction(void* registry, PyArrayObject* array);
}

// The shared layout. Usable when `version` is 1 or more; only these six
// fields are ever read from a table another module made.
struct BorrowTable {
    std::uint64_t version;
    void* registry;
    BorrowAcquireFunction* acquire;
    BorrowAcquireFunction* acquire_mut;
    BorrowReleaseFunction* release;
    BorrowReleaseFunction* release_mut;
};

static_assert(offsetof(BorrowTable, version) == 0);
static_assert(offsetof(BorrowTable, registry) == 8);
static_assert(offsetof(BorrowTable, acquire) == 8 + sizeof(void*));
static_assert(offsetof(BorrowTable, acquire_mut) == 8 + 2 * sizeof(void*));
static_assert(offsetof(BorrowTable, release) == 8 + 3 * sizeof(void*));
static_assert(offsetof(BorrowTable, release_mut) == 8 + 4 * sizeof(void*));
#if UINTPTR_MAX == UINT64_MAX
static_assert(offsetof(BorrowTable, acquire) == 16 && offsetof(BorrowTable, release_mut) == 40);
#else
static_assert(offsetof(BorrowTable, acquire) == 12 && offsetof(BorrowTable, release_mut) == 24);
#endif

}  // namespace molvenar
