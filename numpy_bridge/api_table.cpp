#include "numpy_bridge/api_table.hpp"

#include <atomic>

#include "errors/compatibility_texts.hpp"
#include "errors/fault_report.hpp"
#include "errors/py_ref.hpp"
#include "errors/string_form.hpp"

namespace molvenar {
namespace {

Result<void* const*> load_api_table() noexcept {
    Result<PyRef> imported = import_multiarray_module();
    if (!imported)
        return std::move(imported).error();
    PyRef module = std::move(imported).value();
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule)
        return fetch_error();
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type)
        return ErrorValue::conversion(capsule.get(), texts::capsule_target);
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    if (!capsule_name && PyErr_Occurred())
        discard_error();
    void* pointer = PyCapsule_GetPointer(capsule.get(), capsule_name);
    // A capsule without a readable pointer gives no table: report why
    // instead of dereferencing null.
    if (!pointer)
        return fetch_error();
    // The capsule keeps the table alive; this reference is never given back.
    capsule.release();
    return static_cast<void* const*>(pointer);
}

}  // namespace

namespace api_table_detail {

std::atomic<void* const*> cached_table{nullptr};
std::atomic<std::uint32_t> cached_feature_version{0};

Result<void* const*> load_numpy_api_table() noexcept {
    Result<void* const*> loaded = load_api_table();
    if (!loaded)
        return loaded;
    // Racing first uses read the same capsule; the first stored wins.
    void* const* expected = nullptr;
    if (!cached_table.compare_exchange_strong(expected, loaded.value(), std::memory_order_acq_rel))
        return expected;
    return loaded;
}

void* const* load_numpy_api_table_or_fault() noexcept {
    Result<void* const*> table = load_numpy_api_table();
    if (!table)
        fault(numpy_capsule_message(table.error()));
    return table.value();
}

std::uint32_t load_numpy_feature_version() noexcept {
    using Function = unsigned int (*)();
    void* const* table = numpy_api_table_or_fault();
    std::uint32_t version = reinterpret_cast<Function>(table[api_slot::feature_version])();
    cached_feature_version.store(version, std::memory_order_release);
    return version;
}

}  // namespace api_table_detail

std::string numpy_capsule_message(ErrorValue& cause) noexcept {
    return std::string(texts::numpy_capsule_error) + debug_form(cause);
}

}  // namespace molvenar
