#include "numpy_bridge/borrow_registry.hpp"

#include <cstring>
#include <limits>

#include "errors/fault_report.hpp"
#include "numpy_bridge/borrow_table.hpp"
#include "numpy_bridge/series_view.hpp"

namespace molvenar {
namespace {

constexpr std::int32_t granted = 0;
constexpr std::int32_t already_borrowed = -1;
constexpr std::int32_t not_writeable = -2;
constexpr std::int32_t exclusive = -1;

constexpr const char* missing_borrow = "called `Option::unwrap()` on a `None` value";

void check_counted(std::int32_t count) noexcept {
    check(count != 0, "assertion failed: borrow count != 0");
}

bool conflicts_with_any(const auto& counts, const BorrowKey& key, auto&& counts_as_conflict) noexcept {
    for (const auto& [other, count] : counts) {
        check_counted(count);
        if (counts_as_conflict(count) && keys_conflict(key, other))
            return true;
    }
    return false;
}

}  // namespace

std::int32_t BorrowRegistry::acquire(void* base, const BorrowKey& key) noexcept {
    std::lock_guard lock(mutex_);
    auto base_entry = bases_.find(base);
    if (base_entry == bases_.end()) {
        bases_[base].emplace(key, 1);
        return granted;
    }
    BorrowCounts& counts = base_entry->second;
    if (auto found = counts.find(key); found != counts.end()) {
        std::int32_t& count = found->second;
        check_counted(count);
        if (count < 0 || count == std::numeric_limits<std::int32_t>::max())
            return already_borrowed;
        ++count;
        return granted;
    }
    // Readers only conflict with writers.
    if (conflicts_with_any(counts, key, [](std::int32_t count) { return count < 0; }))
        return already_borrowed;
    counts.emplace(key, 1);
    return granted;
}

std::int32_t BorrowRegistry::acquire_mut(void* base, const BorrowKey& key) noexcept {
    std::lock_guard lock(mutex_);
    auto base_entry = bases_.find(base);
    if (base_entry == bases_.end()) {
        bases_[base].emplace(key, exclusive);
        return granted;
    }
    BorrowCounts& counts = base_entry->second;
    if (counts.contains(key))
        return already_borrowed;
    // A writer conflicts with every borrow.
    if (conflicts_with_any(counts, key, [](std::int32_t count) { return count != 0; }))
        return already_borrowed;
    counts.emplace(key, exclusive);
    return granted;
}

void BorrowRegistry::release(void* base, const BorrowKey& key) noexcept {
    std::lock_guard lock(mutex_);
    auto base_entry = bases_.find(base);
    check(base_entry != bases_.end(), missing_borrow);
    BorrowCounts& counts = base_entry->second;
    auto found = counts.find(key);
    check(found != counts.end(), missing_borrow);
    check_counted(found->second);
    if (--found->second != 0)
        return;
    if (counts.size() == 1)
        bases_.erase(base_entry);
    else
        counts.erase(found);
}

void BorrowRegistry::release_mut(void* base, const BorrowKey& key) noexcept {
    std::lock_guard lock(mutex_);
    auto base_entry = bases_.find(base);
    check(base_entry != bases_.end(), missing_borrow);
    BorrowCounts& counts = base_entry->second;
    if (counts.size() == 1) {
        bases_.erase(base_entry);
        return;
    }
    auto found = counts.find(key);
    check(found != counts.end(), missing_borrow);
    counts.erase(found);
}

namespace {

// The table as this module allocates it: the name lives right after the
// shared fields and is freed with them.
struct OwnedBorrowTable {
    BorrowTable table;
    char name[sizeof borrow_capsule_name];
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
    std::memcpy(owned->name, borrow_capsule_name, sizeof borrow_capsule_name);
    PyObject* capsule = PyCapsule_New(owned, owned->name, molvenar_borrow_capsule_destructor);
    if (!capsule) {
        delete static_cast<BorrowRegistry*>(owned->table.registry);
        delete owned;
    }
    return capsule;
}

}  // namespace molvenar
