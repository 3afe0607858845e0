// The borrow key as plain integers and the coarse conflict test between two
// keys of one base address. Free of Python, so that the registry's map can
// be built and tested on its own.
#pragma once

#include <cstdint>

namespace molvenar {

struct BorrowKey {
    std::uintptr_t range_start;  // lowest reachable byte address
    std::uintptr_t range_end;    // one past the highest reachable byte
    std::uintptr_t data;         // the array's data pointer
    std::intptr_t stride_divisor;

    bool operator==(const BorrowKey&) const = default;
};

// gcd of two stride divisors: with one of them 0, the magnitude of the other.
std::uintptr_t divisor_gcd(std::intptr_t a, std::intptr_t b) noexcept;

// Whether two keys of the same base address may share memory. Coarse on
// purpose: it compares ranges and the data pointers' distance against the
// common stride divisor.
bool keys_conflict(const BorrowKey& a, const BorrowKey& b) noexcept;

}  // namespace molvenar
