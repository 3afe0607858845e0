// The borrow registry's bookkeeping, without its lock: per base address,
// each registered key with its count. A count n > 0 is n read-only borrows
// of exactly that key, -1 one exclusive borrow. No count is 0 and no base
// address is kept without a key: entries go with their last borrow.
//
// Built for the call path of an indicator, which takes and gives back one
// borrow per input array: a flat open-addressed table of base addresses
// (linear probing; removal shifts later entries back, so there are no
// tombstones), each slot holding its first few keys inline. Acquiring and
// releasing allocate nothing unless the table grows or shrinks or a base
// address gathers more keys than fit inline (those spill to the heap).
#pragma once

#include <cstddef>
#include <cstdint>

#include "numpy_bridge/borrow_key_fields.hpp"

namespace molvenar {

class BorrowMap {
public:
    static constexpr std::int32_t granted = 0;
    static constexpr std::int32_t already_borrowed = -1;
    // Keys a slot holds before spilling to the heap: ATR's three inputs
    // can be three slices of one buffer.
    static constexpr std::uint32_t inline_keys = 3;
    static constexpr std::size_t initial_capacity = 16;

    BorrowMap() noexcept;
    ~BorrowMap();
    BorrowMap(const BorrowMap&) = delete;
    BorrowMap& operator=(const BorrowMap&) = delete;

    // The four registry steps; results are granted or already_borrowed.
    // A release of a borrow that is not registered is an internal fault.
    std::int32_t acquire(void* base, const BorrowKey& key) noexcept;
    std::int32_t acquire_mut(void* base, const BorrowKey& key) noexcept;
    void release(void* base, const BorrowKey& key) noexcept;
    void release_mut(void* base, const BorrowKey& key) noexcept;

    // Inspection: base addresses held, keys under one base address, and the
    // count of one key (null when it is not registered; tests may set it).
    std::size_t base_count() const noexcept { return size_; }
    std::size_t key_count(void* base) const noexcept;
    std::int32_t* count_of(void* base, const BorrowKey& key) noexcept;
    std::size_t capacity() const noexcept { return capacity_; }

private:
    struct KeyCount {
        BorrowKey key;
        std::int32_t count;
    };
    // One base address and its keys. Plain data, so that slots move by
    // copying; the map frees a spilled key array when the slot empties.
    struct Slot {
        void* base;  // null: the slot is free
        std::uint32_t key_count;
        std::uint32_t key_capacity;  // inline_keys while the keys are inline
        union {
            KeyCount local[inline_keys];
            KeyCount* spilled;
        };
        bool is_spilled() const noexcept { return key_capacity != inline_keys; }
        KeyCount* keys() noexcept { return is_spilled() ? spilled : local; }
    };

    std::size_t home_of(void* base) const noexcept;
    // The slot holding `base`, or the free slot where it would go.
    Slot* probe(void* base) const noexcept;
    Slot* find(void* base) const noexcept;
    Slot* find_or_fault(void* base) const noexcept;
    KeyCount* find_key(Slot& slot, const BorrowKey& key) noexcept;
    // Fills `free_slot`, found by probe(base), with `base` and one key.
    void insert(Slot* free_slot, void* base, const BorrowKey& key, std::int32_t count) noexcept;
    void add_key(Slot& slot, const BorrowKey& key, std::int32_t count) noexcept;
    void remove_key(Slot& slot, KeyCount& entry) noexcept;
    void remove_slot(Slot& slot) noexcept;
    void resize(std::size_t capacity) noexcept;

    Slot* slots_;
    std::size_t capacity_;  // a power of two
    unsigned index_shift_;  // word bits minus log2(capacity_)
    std::size_t size_ = 0;
};

}  // namespace molvenar
