// The process-wide borrow registry this module creates when no other module
// has published one, and the four operations it offers through the table.
#pragma once

#include <cstdint>

#include "numpy_bridge/borrow_key.hpp"
#include "numpy_bridge/borrow_map.hpp"
#include "numpy_bridge/numpy_types.hpp"
#include "numpy_bridge/registry_lock.hpp"

namespace molvenar {

struct BorrowTable;

// The borrow counts of BorrowMap behind a lock. The caller computes base
// address and key before calling, so the lock covers map work only and is
// never held while Python code runs.
class BorrowRegistry {
public:
    std::int32_t acquire(void* base, const BorrowKey& key) noexcept;
    std::int32_t acquire_mut(void* base, const BorrowKey& key) noexcept;
    void release(void* base, const BorrowKey& key) noexcept;
    void release_mut(void* base, const BorrowKey& key) noexcept;

private:
    RegistryLock lock_;
    BorrowMap map_;
};

// The registry behind `table` when this module made the table (its
// operations are this module's own), so that a borrow can be given back by
// the base address and key registered at acquisition; null for a table that
// another module published.
BorrowRegistry* own_registry(const BorrowTable& table) noexcept;

// A new capsule named "_RUST_NUMPY_BORROW_CHECKING_API" holding a version 1
// table over a new registry; its destructor frees both. Null with the
// interpreter's error set on failure.
PyObject* new_registry_capsule() noexcept;

}  // namespace molvenar
