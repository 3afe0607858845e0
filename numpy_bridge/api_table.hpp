// NumPy's API table, taken from the `_ARRAY_API` capsule of its multiarray
// module on first need and kept for the rest of the process.
#pragma once

#include <atomic>
#include <cstdint>

#include "errors/result.hpp"
#include "numpy_bridge/numpy_module_name.hpp"
#include "numpy_bridge/numpy_types.hpp"

namespace molvenar {

namespace api_table_detail {
// Set once, first stored value winning; null until then.
extern std::atomic<void* const*> cached_table;
// 0 means not yet read: NumPy's feature versions start at 1.
extern std::atomic<std::uint32_t> cached_feature_version;
Result<void* const*> load_numpy_api_table() noexcept;
void* const* load_numpy_api_table_or_fault() noexcept;
std::uint32_t load_numpy_feature_version() noexcept;
}  // namespace api_table_detail

// The table once some call has obtained it, else null: one plain load on
// the path every call takes.
inline void* const* cached_numpy_api_table() noexcept {
    return api_table_detail::cached_table.load(std::memory_order_acquire);
}

// The table, or why it could not be had; a failure caches nothing, so the
// next use tries again. GIL held.
inline Result<void* const*> numpy_api_table() noexcept {
    if (void* const* table = cached_numpy_api_table())
        return table;
    return api_table_detail::load_numpy_api_table();
}

// The running NumPy's C feature version (api_slot::feature_version), cached. The table
// must be obtainable; otherwise this is an internal fault.
inline std::uint32_t numpy_feature_version() noexcept {
    if (std::uint32_t version = api_table_detail::cached_feature_version.load(std::memory_order_acquire))
        return version;
    return api_table_detail::load_numpy_feature_version();
}

// "Failed to access NumPy array API capsule: " + the cause's debug form.
std::string numpy_capsule_message(ErrorValue& cause) noexcept;

// The table or the internal fault above; for places that cannot report.
inline void* const* numpy_api_table_or_fault() noexcept {
    if (void* const* table = cached_numpy_api_table())
        return table;
    return api_table_detail::load_numpy_api_table_or_fault();
}

// The positions in NumPy's API table of the four entries this module uses,
// the same under NumPy 1 and NumPy 2.
namespace api_slot {
inline constexpr int array_type = 2;          // PyArray_Type
inline constexpr int descr_from_type = 45;    // PyArray_DescrFromType
inline constexpr int equiv_types = 182;       // PyArray_EquivTypes
inline constexpr int feature_version = 211;   // PyArray_GetNDArrayCFeatureVersion
}  // namespace api_slot

inline PyTypeObject* numpy_array_type(void* const* table) noexcept {
    return static_cast<PyTypeObject*>(table[api_slot::array_type]);
}
inline PyArray_Descr* numpy_descr_from_type(void* const* table, int type_number) noexcept {
    using Function = PyArray_Descr* (*)(int);
    return reinterpret_cast<Function>(table[api_slot::descr_from_type])(type_number);
}
inline bool numpy_equiv_types(void* const* table, PyArray_Descr* a, PyArray_Descr* b) noexcept {
    using Function = unsigned char (*)(PyArray_Descr*, PyArray_Descr*);
    return reinterpret_cast<Function>(table[api_slot::equiv_types])(a, b) != 0;
}

// The object's type is NumPy's array type or a subclass of it.
inline bool is_numpy_array(void* const* table, PyObject* object) noexcept {
    PyTypeObject* array_type = numpy_array_type(table);
    return Py_TYPE(object) == array_type || PyType_IsSubtype(Py_TYPE(object), array_type) != 0;
}

}  // namespace molvenar
