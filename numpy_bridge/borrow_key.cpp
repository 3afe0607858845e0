#include "numpy_bridge/borrow_key.hpp"

namespace molvenar::borrow_key_detail {

BorrowKey borrow_key_any_shape(PyArrayObject* array) noexcept {
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
            const std::intptr_t reach = axis_reach(fields->dimensions[axis], fields->strides[axis]);
            (reach < 0 ? low : high) += static_cast<std::uintptr_t>(reach);
        }
        key.range_start = data + low;
        key.range_end = data + high + elsize;
    }

    std::intptr_t divisor = fields->strides[0];
    for (int axis = 1; axis < nd; ++axis)
        divisor = static_cast<std::intptr_t>(divisor_gcd(divisor, fields->strides[axis]));
    key.stride_divisor = divisor;
    return key;
}

}  // namespace molvenar::borrow_key_detail
