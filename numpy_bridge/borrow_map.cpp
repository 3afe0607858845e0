#include "numpy_bridge/borrow_map.hpp"

#include <bit>
#include <climits>
#include <limits>

#include "errors/compatibility_texts.hpp"
#include "errors/fault_report.hpp"

namespace molvenar {
namespace {

constexpr unsigned word_bits = sizeof(std::uintptr_t) * CHAR_BIT;

// Fibonacci hashing: the top bits of the address times 2^w / phi mix every
// address bit, including the low ones that allocation alignment keeps zero.
constexpr std::uintptr_t golden_ratio_multiplier =
    word_bits == 64 ? static_cast<std::uintptr_t>(0x9E3779B97F4A7C15ull) : std::uintptr_t{0x9E3779B9u};

void check_counted(std::int32_t count) noexcept {
    check(count != 0, "assertion failed: borrow count != 0");
}

}  // namespace

BorrowMap::BorrowMap() noexcept
    : slots_(new Slot[initial_capacity]()),
      capacity_(initial_capacity),
      index_shift_(word_bits - static_cast<unsigned>(std::countr_zero(initial_capacity))) {}

BorrowMap::~BorrowMap() {
    for (std::size_t i = 0; i < capacity_; ++i)
        if (slots_[i].base && slots_[i].is_spilled())
            delete[] slots_[i].spilled;
    delete[] slots_;
}

std::size_t BorrowMap::home_of(void* base) const noexcept {
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(base) * golden_ratio_multiplier) >>
                                    index_shift_);
}

BorrowMap::Slot* BorrowMap::probe(void* base) const noexcept {
    const std::size_t mask = capacity_ - 1;
    std::size_t i = home_of(base);
    while (slots_[i].base != base && slots_[i].base)
        i = (i + 1) & mask;
    return &slots_[i];
}

BorrowMap::Slot* BorrowMap::find(void* base) const noexcept {
    Slot* slot = probe(base);
    return slot->base ? slot : nullptr;
}

BorrowMap::Slot* BorrowMap::find_or_fault(void* base) const noexcept {
    Slot* slot = find(base);
    check(slot != nullptr, texts::missing_borrow);
    return slot;
}

BorrowMap::KeyCount* BorrowMap::find_key(Slot& slot, const BorrowKey& key) noexcept {
    KeyCount* keys = slot.keys();
    for (std::uint32_t i = 0; i < slot.key_count; ++i)
        if (keys[i].key == key)
            return &keys[i];
    return nullptr;
}

void BorrowMap::insert(Slot* free_slot, void* base, const BorrowKey& key, std::int32_t count) noexcept {
    check(base != nullptr, "borrow registry: null base address");
    // At most half full, so that probe runs stay short.
    if ((size_ + 1) * 2 > capacity_) {
        resize(capacity_ * 2);
        free_slot = probe(base);
    }
    free_slot->base = base;
    free_slot->key_count = 1;
    free_slot->key_capacity = inline_keys;
    free_slot->local[0] = KeyCount{key, count};
    ++size_;
}

void BorrowMap::add_key(Slot& slot, const BorrowKey& key, std::int32_t count) noexcept {
    if (slot.key_count == slot.key_capacity) {
        const std::uint32_t capacity = slot.key_capacity * 2;
        KeyCount* grown = new KeyCount[capacity];
        KeyCount* old = slot.keys();
        for (std::uint32_t i = 0; i < slot.key_count; ++i)
            grown[i] = old[i];
        if (slot.is_spilled())
            delete[] slot.spilled;
        slot.spilled = grown;
        slot.key_capacity = capacity;
    }
    slot.keys()[slot.key_count++] = KeyCount{key, count};
}

void BorrowMap::remove_key(Slot& slot, KeyCount& entry) noexcept {
    // Keys have no order: the last one takes the freed place.
    entry = slot.keys()[--slot.key_count];
}

void BorrowMap::remove_slot(Slot& slot) noexcept {
    if (slot.is_spilled())
        delete[] slot.spilled;
    // Backward shift: every later entry of the probe run whose home does not
    // lie strictly between the hole and itself moves into the hole, so that
    // lookups never stop early at a gap.
    const std::size_t mask = capacity_ - 1;
    std::size_t hole = static_cast<std::size_t>(&slot - slots_);
    for (std::size_t i = (hole + 1) & mask; slots_[i].base; i = (i + 1) & mask) {
        const std::size_t home = home_of(slots_[i].base);
        if (((i - home) & mask) >= ((i - hole) & mask)) {
            slots_[hole] = slots_[i];
            hole = i;
        }
    }
    slots_[hole].base = nullptr;
    --size_;
    // Give memory back after a burst of many base addresses.
    if (capacity_ > initial_capacity && size_ * 8 < capacity_)
        resize(capacity_ / 2);
}

void BorrowMap::resize(std::size_t capacity) noexcept {
    Slot* old = slots_;
    const std::size_t old_capacity = capacity_;
    slots_ = new Slot[capacity]();
    capacity_ = capacity;
    index_shift_ = word_bits - static_cast<unsigned>(std::countr_zero(capacity));
    const std::size_t mask = capacity - 1;
    for (std::size_t j = 0; j < old_capacity; ++j) {
        if (!old[j].base)
            continue;
        std::size_t i = home_of(old[j].base);
        while (slots_[i].base)
            i = (i + 1) & mask;
        slots_[i] = old[j];
    }
    delete[] old;
}

std::int32_t BorrowMap::acquire(void* base, const BorrowKey& key) noexcept {
    Slot* slot = probe(base);
    if (!slot->base) {
        insert(slot, base, key, 1);
        return granted;
    }
    // The key itself decides if it is registered; otherwise readers only
    // conflict with writers.
    KeyCount* keys = slot->keys();
    bool conflict = false;
    for (std::uint32_t i = 0; i < slot->key_count; ++i) {
        std::int32_t& count = keys[i].count;
        check_counted(count);
        if (keys[i].key == key) {
            if (count < 0 || count == std::numeric_limits<std::int32_t>::max())
                return already_borrowed;
            ++count;
            return granted;
        }
        conflict = conflict || (count < 0 && keys_conflict(key, keys[i].key));
    }
    if (conflict)
        return already_borrowed;
    add_key(*slot, key, 1);
    return granted;
}

std::int32_t BorrowMap::acquire_mut(void* base, const BorrowKey& key) noexcept {
    Slot* slot = probe(base);
    if (!slot->base) {
        insert(slot, base, key, -1);
        return granted;
    }
    // A writer conflicts with every borrow, its own key's included.
    KeyCount* keys = slot->keys();
    for (std::uint32_t i = 0; i < slot->key_count; ++i) {
        if (keys[i].key == key)
            return already_borrowed;
        check_counted(keys[i].count);
        if (keys_conflict(key, keys[i].key))
            return already_borrowed;
    }
    add_key(*slot, key, -1);
    return granted;
}

void BorrowMap::release(void* base, const BorrowKey& key) noexcept {
    Slot* slot = find_or_fault(base);
    KeyCount* entry = find_key(*slot, key);
    check(entry != nullptr, texts::missing_borrow);
    check_counted(entry->count);
    if (--entry->count != 0)
        return;
    if (slot->key_count == 1)
        remove_slot(*slot);
    else
        remove_key(*slot, *entry);
}

void BorrowMap::release_mut(void* base, const BorrowKey& key) noexcept {
    Slot* slot = find_or_fault(base);
    // The last key of a base address goes with it, whichever key it is.
    if (slot->key_count == 1) {
        remove_slot(*slot);
        return;
    }
    KeyCount* entry = find_key(*slot, key);
    check(entry != nullptr, texts::missing_borrow);
    remove_key(*slot, *entry);
}

std::size_t BorrowMap::key_count(void* base) const noexcept {
    const Slot* slot = find(base);
    return slot ? slot->key_count : 0;
}

std::int32_t* BorrowMap::count_of(void* base, const BorrowKey& key) noexcept {
    Slot* slot = find(base);
    if (!slot)
        return nullptr;
    KeyCount* entry = find_key(*slot, key);
    return entry ? &entry->count : nullptr;
}

}  // namespace molvenar
