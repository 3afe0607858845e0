#include "numpy_bridge/borrow_registry.hpp"

#include <cstring>
#include <mutex>

#include "errors/compatibility_texts.hpp"
#include "numpy_bridge/borrow_table_layout.hpp"
#include "numpy_bridge/series_view.hpp"

namespace molvenar {

std::int32_t BorrowRegistry::acquire(void* base, const BorrowKey& key) noexcept {
    std::lock_guard lock(lock_);
    return map_.acquire(base, key);
}

std::int32_t BorrowRegistry::acquire_mut(void* base, const BorrowKey& key) noexcept {
    std::lock_guard lock(lock_);
    return map_.acquire_mut(base, key);
}

void BorrowRegistry::release(void* base, const BorrowKey& key) noexcept {
    std::lock_guard lock(lock_);
    map_.release(base, key);
}

void BorrowRegistry::release_mut(void* base, const BorrowKey& key) noexcept {
    std::lock_guard lock(lock_);
    map_.release_mut(base, key);
}

namespace {

constexpr std::int32_t not_writeable = -2;

// The table as this module allocates it: the name lives right after the
// shared fields and is freed with them.
struct OwnedBorrowTable {
    BorrowTable table;
    char name[sizeof texts::borrow_capsule_name];
};

BorrowRegistry& registry_of(void* registry) noexcept {
    return *static_cast<BorrowRegistry*>(registry);
}

}  // namespace

extern "C" {

// The operations other modules call through the table. Base address and key
// are computed before the registry lock is taken.
static std::int32_t molvenar_borrow_acquire(void* registry, PyArrayObject* array) noexcept {
    return registry_of(registry).acquire(base_address(array), borrow_key(array));
}

static std::int32_t molvenar_borrow_acquire_mut(void* registry, PyArrayObject* array) noexcept {
    if (!is_writeable(array))
        return not_writeable;
    return registry_of(registry).acquire_mut(base_address(array), borrow_key(array));
}

static void molvenar_borrow_release(void* registry, PyArrayObject* array) noexcept {
    registry_of(registry).release(base_address(array), borrow_key(array));
}

static void molvenar_borrow_release_mut(void* registry, PyArrayObject* array) noexcept {
    registry_of(registry).release_mut(base_address(array), borrow_key(array));
}

// Runs only for a capsule of ours that was never published, or if NumPy's
// module goes away; frees the registry, the table and its name.
static void molvenar_borrow_capsule_destructor(PyObject* capsule) noexcept {
    auto* owned = static_cast<OwnedBorrowTable*>(
        PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
    if (!owned) {
        PyErr_Clear();
        return;
    }
    delete static_cast<BorrowRegistry*>(owned->table.registry);
    delete owned;
}

}  // extern "C"

BorrowRegistry* own_registry(const BorrowTable& table) noexcept {
    const bool ours = table.acquire == molvenar_borrow_acquire && table.release == molvenar_borrow_release;
    return ours ? &registry_of(table.registry) : nullptr;
}

PyObject* new_registry_capsule() noexcept {
    auto* owned = new OwnedBorrowTable{
        BorrowTable{1, new BorrowRegistry, molvenar_borrow_acquire, molvenar_borrow_acquire_mut,
                    molvenar_borrow_release, molvenar_borrow_release_mut},
        {}};
    std::memcpy(owned->name, texts::borrow_capsule_name, sizeof texts::borrow_capsule_name);
    PyObject* capsule = PyCapsule_New(owned, owned->name, molvenar_borrow_capsule_destructor);
    if (!capsule) {
        delete static_cast<BorrowRegistry*>(owned->table.registry);
        delete owned;
    }
    return capsule;
}

}  // namespace molvenar
