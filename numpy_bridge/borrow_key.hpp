// What the borrow registry records about an array: the object owning its
// memory, and the byte range, start and step the array can reach there.
// Both are computed for every borrow taken and given back, so the common
// one-axis case is inline.
#pragma once

#include <cstddef>

#include "numpy_bridge/api_table.hpp"
#include "numpy_bridge/borrow_key_fields.hpp"
#include "numpy_bridge/numpy_types.hpp"

namespace molvenar {

// The end of the array's base chain: the first base that is not a NumPy
// array, or the last array when the chain ends. GIL held.
inline void* base_address(PyArrayObject* array) noexcept {
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

namespace borrow_key_detail {

// The element size, from the descriptor layout of the running NumPy: the
// word at byte 28 (NumPy 2) or 20 (NumPy 1) on a 32-bit target, 40 or 32 on
// a 64-bit one.
static_assert(offsetof(Numpy2Descriptor, elsize) == (sizeof(void*) == 4 ? 28 : 40));
static_assert(offsetof(Numpy1Descriptor, elsize) == (sizeof(void*) == 4 ? 20 : 32));
inline std::uintptr_t element_size(PyArrayObject* array) noexcept {
    constexpr std::uint32_t numpy2_feature_version = 0x12;
    PyArray_Descr* descr = array_fields(array)->descr;
    if (numpy_feature_version() >= numpy2_feature_version)
        return static_cast<std::uintptr_t>(reinterpret_cast<Numpy2Descriptor*>(descr)->elsize);
    return static_cast<std::uintptr_t>(
        static_cast<std::intptr_t>(reinterpret_cast<Numpy1Descriptor*>(descr)->elsize));
}

// (length - 1) * stride of one axis, wrapping at the word width.
inline std::intptr_t axis_reach(npy_intp length, npy_intp stride) noexcept {
    return static_cast<std::intptr_t>(static_cast<std::uintptr_t>(length - 1) *
                                      static_cast<std::uintptr_t>(stride));
}

// Any number of axes other than one.
BorrowKey borrow_key_any_shape(PyArrayObject* array) noexcept;

}  // namespace borrow_key_detail

// The key of an array; pointer-width wrapping arithmetic throughout.
inline BorrowKey borrow_key(PyArrayObject* array) noexcept {
    PyArrayObject_fields* fields = array_fields(array);
    if (fields->nd != 1)
        return borrow_key_detail::borrow_key_any_shape(array);
    const auto data = reinterpret_cast<std::uintptr_t>(fields->data);
    const std::uintptr_t elsize = borrow_key_detail::element_size(array);
    BorrowKey key{data, data, data, fields->strides[0]};
    if (fields->dimensions[0] != 0) {
        const std::intptr_t reach = borrow_key_detail::axis_reach(fields->dimensions[0], fields->strides[0]);
        if (reach < 0)
            key.range_start = data + static_cast<std::uintptr_t>(reach);
        else
            key.range_end = data + static_cast<std::uintptr_t>(reach);
        key.range_end += elsize;
    }
    return key;
}

}  // namespace molvenar
