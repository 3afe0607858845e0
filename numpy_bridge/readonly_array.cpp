#include "numpy_bridge/readonly_array.hpp"

#include <string>
#include <utility>

#include "errors/py_ref.hpp"
#include "errors/string_form.hpp"
#include "numpy_bridge/array_acceptance.hpp"

namespace molvenar {

ReadonlyArray::ReadonlyArray(ReadonlyArray&& other) noexcept
    : array_(std::exchange(other.array_, nullptr)), table_(std::exchange(other.table_, nullptr)) {}

ReadonlyArray& ReadonlyArray::operator=(ReadonlyArray&& other) noexcept {
    if (this != &other) {
        release();
        array_ = std::exchange(other.array_, nullptr);
        table_ = std::exchange(other.table_, nullptr);
    }
    return *this;
}

void ReadonlyArray::release() noexcept {
    PyArrayObject* array = std::exchange(array_, nullptr);
    if (!array)
        return;
    table_->release(table_->registry, array);
    release_reference(reinterpret_cast<PyObject*>(array));
}

Result<ReadonlyArray> accept_readonly(PyObject* object) noexcept {
    Result<PyArrayObject*> accepted = accept_array(object);
    if (!accepted)
        return std::move(accepted).error();
    PyRef reference = PyRef::borrow(object);

    Result<const BorrowTable*> table = borrow_table();
    if (!table)
        return ErrorValue::runtime_error("Interal borrow checking API error: " +
                                         debug_form(table.error()));
    const BorrowTable* borrows = table.value();
    std::int32_t code = borrows->acquire(borrows->registry, accepted.value());
    if (code == -1)
        return ErrorValue::runtime_error(
            "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
    if (code != 0)
        return ErrorValue::runtime_error("Unexpected return code " + std::to_string(code) +
                                         " from borrow checking API");
    reference.release();
    return ReadonlyArray(accepted.value(), borrows);
}

}  // namespace molvenar
