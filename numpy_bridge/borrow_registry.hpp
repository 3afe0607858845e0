// The process-wide borrow registry this module creates when no other module
// has published one, and the four operations it offers through the table.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "numpy_bridge/borrow_key.hpp"
#include "numpy_bridge/numpy_types.hpp"

namespace molvenar {

struct BorrowTable;

// Per base address: key to count. n > 0 is n read-only borrows of exactly
// that key, -1 one exclusive borrow. No count is 0 and no per-base map is
// empty: entries go as their last borrow is given back.
class BorrowRegistry {
public:
    std::int32_t acquire(void* base, const BorrowKey& key) noexcept;
    std::int32_t acquire_mut(void* base, const BorrowKey& key) noexcept;
    void release(void* base, const BorrowKey& key) noexcept;
    void release_mut(void* base, const BorrowKey& key) noexcept;

private:
    using BorrowCounts = std::unordered_map<BorrowKey, std::int32_t, BorrowKeyHash>;

    // Held for map work only: never while Python code runs.
    std::mutex mutex_;
    std::unordered_map<void*, BorrowCounts> bases_;
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
