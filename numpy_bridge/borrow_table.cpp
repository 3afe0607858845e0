#include "numpy_bridge/borrow_table.hpp"

#include <atomic>
#include <string>

#include "errors/compatibility_texts.hpp"
#include "errors/py_ref.hpp"
#include "numpy_bridge/borrow_registry.hpp"
#include "numpy_bridge/numpy_module_name.hpp"

namespace molvenar {
namespace {

// A capsule made and published by this module, or a failure.
Result<PyRef> create_capsule(PyObject* module) noexcept {
    PyRef capsule = PyRef::steal(new_registry_capsule());
    if (!capsule)
        return fetch_error();
    if (PyObject_SetAttrString(module, texts::borrow_capsule_name, capsule.get()) != 0)
        return fetch_error();  // dropping the capsule frees registry and table
    return capsule;
}

// The attribute's capsule, or a new one when there is none to read.
Result<PyRef> find_or_create_capsule(PyObject* module) noexcept {
    PyRef found = PyRef::steal(PyObject_GetAttrString(module, texts::borrow_capsule_name));
    if (!found) {
        discard_error();
        return create_capsule(module);
    }
    if (Py_TYPE(found.get()) != &PyCapsule_Type)
        return ErrorValue::conversion(found.get(), texts::capsule_target);
    return found;
}

Result<const BorrowTable*> load_borrow_table() noexcept {
    Result<PyRef> imported = import_multiarray_module();
    if (!imported)
        return std::move(imported).error();
    PyRef module = std::move(imported).value();
    Result<PyRef> capsule = find_or_create_capsule(module.get());
    if (!capsule)
        return std::move(capsule).error();

    // The capsule's own name is used as given; another module may have
    // named it differently.
    const char* capsule_name = PyCapsule_GetName(capsule.value().get());
    if (!capsule_name && PyErr_Occurred())
        discard_error();
    void* pointer = PyCapsule_GetPointer(capsule.value().get(), capsule_name);
    if (!pointer)  // never dereferenced: report why it is missing
        return fetch_error();
    const auto* table = static_cast<const BorrowTable*>(pointer);
    if (table->version == 0)
        return ErrorValue::type_error(std::string(texts::unsupported_version_prefix) +
                                      std::to_string(table->version) +
                                      std::string(texts::unsupported_version_suffix));
    // Held for the process, so the table outlives any later replacement of
    // the attribute.
    capsule.value().release();
    return table;
}

}  // namespace

namespace borrow_table_detail {

std::atomic<const BorrowTable*> cached_table{nullptr};

Result<const BorrowTable*> obtain_borrow_table() noexcept {
    Result<const BorrowTable*> loaded = load_borrow_table();
    if (!loaded)
        return loaded;
    const BorrowTable* expected = nullptr;
    if (!cached_table.compare_exchange_strong(expected, loaded.value(), std::memory_order_acq_rel))
        return expected;  // a racing first use stored its table first
    return loaded;
}

}  // namespace borrow_table_detail
}  // namespace molvenar
