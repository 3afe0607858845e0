#include "numpy_bridge/readonly_array.hpp"

#include <string>
#include <utility>

#include "errors/compatibility_texts.hpp"
#include "errors/py_ref.hpp"
#include "errors/string_form.hpp"
#include "numpy_bridge/borrow_registry.hpp"

namespace molvenar {

ReadonlyArray::ReadonlyArray(ReadonlyArray&& other) noexcept
    : accepted_(std::move(other.accepted_)), borrow_(other.borrow_) {
    other.accepted_.array = nullptr;
}

ReadonlyArray& ReadonlyArray::operator=(ReadonlyArray&& other) noexcept {
    if (this != &other) {
        release();
        accepted_ = std::move(other.accepted_);
        borrow_ = other.borrow_;
        other.accepted_.array = nullptr;
    }
    return *this;
}

void ReadonlyArray::release() noexcept {
    PyArrayObject* array = std::exchange(accepted_.array, nullptr);
    if (!array)
        return;
    if (borrow_.own)
        borrow_.own->release(borrow_.base, borrow_.key);
    else
        borrow_.table->release(borrow_.table->registry, array);
    release_reference(reinterpret_cast<PyObject*>(array));
}

Result<ReadonlyArray> accept_readonly(PyObject* object) noexcept {
    Result<AcceptedArray> accepted = accept_array(object);
    if (!accepted)
        return std::move(accepted).error();
    PyArrayObject* array = accepted.value().array;
    PyRef reference = PyRef::borrow(object);

    Result<const BorrowTable*> table = borrow_table();
    if (!table)
        return ErrorValue::runtime_error(std::string(texts::borrow_api_error) + debug_form(table.error()));
    ReadonlyArray::Borrow borrow{table.value(), own_registry(*table.value()), nullptr, {}};
    std::int32_t code;
    if (borrow.own) {
        borrow.base = base_address(array);
        borrow.key = borrow_key(array);
        code = borrow.own->acquire(borrow.base, borrow.key);
    } else {
        code = borrow.table->acquire(borrow.table->registry, array);
    }
    if (code == -1)
        return ErrorValue::runtime_error(std::string(texts::already_borrowed));
    if (code != 0)
        return ErrorValue::runtime_error(std::string(texts::unexpected_code_prefix) + std::to_string(code) +
                                         std::string(texts::unexpected_code_suffix));
    reference.release();
    return ReadonlyArray(std::move(accepted).value(), borrow);
}

}  // namespace molvenar
