#include "numpy_bridge/borrow_key_fields.hpp"

#include <numeric>

namespace molvenar {
namespace {

std::uintptr_t magnitude(std::intptr_t value) noexcept {
    std::uintptr_t bits = static_cast<std::uintptr_t>(value);
    return value < 0 ? std::uintptr_t{0} - bits : bits;
}

}  // namespace

std::uintptr_t divisor_gcd(std::intptr_t a, std::intptr_t b) noexcept {
    return std::gcd(magnitude(a), magnitude(b));
}

bool keys_conflict(const BorrowKey& a, const BorrowKey& b) noexcept {
    if (b.range_start >= a.range_end || a.range_start >= b.range_end)
        return false;
    const std::uintptr_t diff = magnitude(static_cast<std::intptr_t>(a.data - b.data));
    const std::uintptr_t g = divisor_gcd(a.stride_divisor, b.stride_divisor);
    // Both divisors 0: each array is one element repeated, so overlapping
    // ranges mean overlapping bytes, whatever the distance of the pointers.
    // Reporting a conflict is the answer that never lets a writer share
    // memory with another borrow.
    if (g == 0)
        return true;
    return diff % g == 0;
}

}  // namespace molvenar
