// What the borrow registry records about an array: the object owning its
// memory, and the byte range, start and step the array can reach there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "numpy_bridge/numpy_types.hpp"

namespace molvenar {

struct BorrowKey {
    std::uintptr_t range_start;  // lowest reachable byte address
    std::uintptr_t range_end;    // one past the highest reachable byte
    std::uintptr_t data;         // the array's data pointer
    std::intptr_t stride_divisor;

    bool operator==(const BorrowKey&) const = default;
};

struct BorrowKeyHash {
    std::size_t operator()(const BorrowKey& key) const noexcept;
};

// The end of the array's base chain: the first base that is not a NumPy
// array, or the last array when the chain ends. GIL held.
void* base_address(PyArrayObject* array) noexcept;

// The key of an array; pointer-width wrapping arithmetic throughout.
BorrowKey borrow_key(PyArrayObject* array) noexcept;

// Whether two keys of the same base address may share memory. Coarse on
// purpose: it compares ranges and the data pointers' distance against the
// common stride divisor.
bool keys_conflict(const BorrowKey& a, const BorrowKey& b) noexcept;

}  // namespace molvenar
