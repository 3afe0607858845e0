#include "numpy_bridge/borrow_key.hpp"

#include <cstddef>
#include <numeric>

#include "numpy_bridge/api_table.hpp"

namespace molvenar {
namespace {

constexpr std::uint32_t numpy2_feature_version = 0x12;

std::uintptr_t magnitude(std::intptr_t value) noexcept {
    std::uintptr_t bits = static_cast<std::uintptr_t>(value);
    return value < 0 ? std::uintptr_t{0} - bits : bits;
}

// gcd of two divisors: with one of them 0, the magnitude of the other.
std::uintptr_t divisor_gcd(std::intptr_t a, std::intptr_t b) noexcept {
    return std::gcd(magnitude(a), magnitude(b));
}

// The element size, from the descriptor layout of the running NumPy: the
// word at byte 28 (NumPy 2) or 20 (NumPy 1) on a 32-bit target, 40 or 32 on
// a 64-bit one.
static_assert(offsetof(Numpy2Descriptor, elsize) == (sizeof(void*) == 4 ? 28 : 40));
static_assert(offsetof(Numpy1Descriptor, elsize) == (sizeof(void*) == 4 ? 20 : 32));
std::uintptr_t element_size(PyArrayObject* array) noexcept {
    PyArray_Descr* descr = array_fields(array)->descr;
    if (numpy_feature_version() >= numpy2_feature_version)
        return static_cast<std::uintptr_t>(reinterpret_cast<Numpy2Descriptor*>(descr)->elsize);
    return static_cast<std::uintptr_t>(
        static_cast<std::intptr_t>(reinterpret_cast<Numpy1Descriptor*>(descr)->elsize));
}

}  // namespace

std::size_t BorrowKeyHash::operator()(const BorrowKey& key) const noexcept {
    std::size_t hash = 0;
    for (std::uintptr_t field : {key.range_start, key.range_end, key.data,
                                 static_cast<std::uintptr_t>(key.stride_divisor)})
        hash = (hash ^ std::hash<std::uintptr_t>{}(field)) * 0x9E3779B97F4A7C15ull;
    return hash;
}

void* base_address(PyArrayObject* array) noexcept {
    void* const* table = numpy_api_table_or_fault();
    PyArrayObject* current = array;
    for (;;) {
        PyObject* base = array_fields(current)->base;
        if (!base)
            return current;
        if (!is_numpy_array(table, base))
            return base;
        current = reinterpret_cast<PyArrayObject*>(base);
    }
}

BorrowKey borrow_key(PyArrayObject* array) noexcept {
    PyArrayObject_fields* fields = array_fields(array);
    const auto data = reinterpret_cast<std::uintptr_t>(fields->data);
    const int nd = fields->nd;
    if (nd == 0)
        return {data, data, data, 1};

    const std::uintptr_t elsize = element_size(array);
    BorrowKey key{data, data, data, 0};

    bool empty = false;
    for (int axis = 0; axis < nd; ++axis)
        empty = empty || fields->dimensions[axis] == 0;
    if (!empty) {
        std::uintptr_t low = 0, high = 0;
        for (int axis = 0; axis < nd; ++axis) {
            const auto reach = static_cast<std::intptr_t>(
                static_cast<std::uintptr_t>(fields->dimensions[axis] - 1) *
                static_cast<std::uintptr_t>(fields->strides[axis]));
            (reach < 0 ? low : high) += static_cast<std::uintptr_t>(reach);
        }
        key.range_start = data + low;
        key.range_end = data + high + elsize;
    }

    if (nd == 1) {
        key.stride_divisor = fields->strides[0];
    } else {
        std::intptr_t divisor = fields->strides[0];
        for (int axis = 1; axis < nd; ++axis)
            divisor = static_cast<std::intptr_t>(divisor_gcd(divisor, fields->strides[axis]));
        key.stride_divisor = divisor;
    }
    return key;
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
