// The borrow registry's map: growth and shrinking of the base table, keys
// spilling from a slot to the heap, removal that keeps later lookups right,
// the count limit, and the registry emptying completely. A random sequence
// is checked against a plain model of the same rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "numpy_bridge/borrow_map.hpp"
#include "numpy_bridge/registry_lock.hpp"

namespace {

using molvenar::BorrowKey;
using molvenar::BorrowMap;

constexpr std::int32_t granted = BorrowMap::granted;
constexpr std::int32_t refused = BorrowMap::already_borrowed;

void* base_at(std::uintptr_t index) { return reinterpret_cast<void*>(0x10000 + 64 * index); }

// Element `slot` of a float64 buffer: 8 bytes, disjoint from every other slot.
BorrowKey element(std::uintptr_t slot) {
    const std::uintptr_t start = 0x100000 + 8 * slot;
    return {start, start + 8, start, 8};
}

// Four elements starting at `slot`: overlaps its neighbours' ranges.
BorrowKey run_of_four(std::uintptr_t slot) {
    const std::uintptr_t start = 0x100000 + 8 * slot;
    return {start, start + 32, start, 8};
}

TEST(BorrowMap, TableGrowsForManyBasesAndShrinksBackWhenTheyGo) {
    BorrowMap map;
    constexpr std::uintptr_t bases = 1000;
    for (std::uintptr_t i = 0; i < bases; ++i)
        ASSERT_EQ(map.acquire(base_at(i), element(0)), granted);
    EXPECT_EQ(map.base_count(), bases);
    EXPECT_GE(map.capacity(), 2 * bases);
    for (std::uintptr_t i = 0; i < bases; ++i)
        ASSERT_EQ(map.acquire(base_at(i), element(0)), granted) << "every base is still found";
    for (std::uintptr_t i = 0; i < bases; ++i) {
        map.release(base_at(i), element(0));
        map.release(base_at(i), element(0));
        if (i + 1 < bases) {
            ASSERT_NE(map.count_of(base_at(bases - 1), element(0)), nullptr);
        }
    }
    EXPECT_EQ(map.base_count(), 0u);
    EXPECT_EQ(map.capacity(), BorrowMap::initial_capacity);
}

TEST(BorrowMap, ManyKeysUnderOneBaseSpillToTheHeapAndStayFindable) {
    BorrowMap map;
    void* base = base_at(7);
    constexpr std::uintptr_t keys = 4 * BorrowMap::inline_keys + 1;
    for (std::uintptr_t i = 0; i < keys; ++i)
        ASSERT_EQ(map.acquire_mut(base, element(i)), granted);
    EXPECT_EQ(map.key_count(base), keys);
    EXPECT_EQ(map.acquire(base, run_of_four(2)), refused) << "overlaps held writers";
    // Give back every other key; the rest keep their counts.
    for (std::uintptr_t i = 0; i < keys; i += 2)
        map.release_mut(base, element(i));
    for (std::uintptr_t i = 0; i < keys; ++i) {
        std::int32_t* count = map.count_of(base, element(i));
        if (i % 2 == 0) {
            EXPECT_EQ(count, nullptr);
        } else {
            ASSERT_NE(count, nullptr);
            EXPECT_EQ(*count, -1);
        }
    }
    for (std::uintptr_t i = 1; i < keys; i += 2)
        map.release_mut(base, element(i));
    EXPECT_EQ(map.base_count(), 0u);
    EXPECT_EQ(map.key_count(base), 0u);
}

TEST(BorrowMap, ReadCountStopsAtTheLargestInt32) {
    BorrowMap map;
    void* base = base_at(1);
    ASSERT_EQ(map.acquire(base, element(0)), granted);
    constexpr std::int32_t largest = std::numeric_limits<std::int32_t>::max();
    *map.count_of(base, element(0)) = largest - 1;
    EXPECT_EQ(map.acquire(base, element(0)), granted);
    EXPECT_EQ(*map.count_of(base, element(0)), largest);
    EXPECT_EQ(map.acquire(base, element(0)), refused);
    EXPECT_EQ(*map.count_of(base, element(0)), largest) << "a refusal changes nothing";
    map.release(base, element(0));
    EXPECT_EQ(*map.count_of(base, element(0)), largest - 1);
}

// The registry's rules over std::map, as plainly as they can be written.
class Model {
public:
    std::int32_t acquire(void* base, const BorrowKey& key, bool exclusive) {
        auto& keys = bases_[base];
        for (auto& [other, count] : keys)
            if (other == key)
                return exclusive || count < 0 || count == std::numeric_limits<std::int32_t>::max() ? refused
                                                                                                   : (++count, granted);
        for (auto& [other, count] : keys)
            if ((exclusive || count < 0) && molvenar::keys_conflict(key, other))
                return refused;
        keys.push_back({key, exclusive ? -1 : 1});
        return granted;
    }
    void release(void* base, const BorrowKey& key, bool exclusive) {
        auto& keys = bases_.at(base);
        if (exclusive && keys.size() == 1) {
            bases_.erase(base);
            return;
        }
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (keys[i].first == key && (exclusive || --keys[i].second == 0)) {
                keys.erase(keys.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        if (keys.empty())
            bases_.erase(base);
    }
    const std::map<void*, std::vector<std::pair<BorrowKey, std::int32_t>>>& bases() const { return bases_; }

private:
    std::map<void*, std::vector<std::pair<BorrowKey, std::int32_t>>> bases_;
};

TEST(BorrowMap, RandomBorrowsAgreeWithAPlainModel) {
    BorrowMap map;
    Model model;
    struct Held {
        void* base;
        BorrowKey key;
        bool exclusive;
    };
    std::vector<Held> held;
    std::mt19937 random(20240601);
    for (int step = 0; step < 40000; ++step) {
        // Phases of mostly taking and mostly giving back make the table
        // grow, shrink and shift entries over and over.
        const bool taking_phase = (step / 4000) % 2 == 0;
        const bool take = held.empty() || random() % 100 < (taking_phase ? 80u : 25u);
        if (take) {
            void* base = base_at(random() % 96);
            const std::uintptr_t slot = random() % 12;
            const BorrowKey key = random() % 3 == 0 ? run_of_four(slot) : element(slot);
            const bool exclusive = random() % 4 == 0;
            const std::int32_t expected = model.acquire(base, key, exclusive);
            const std::int32_t got = exclusive ? map.acquire_mut(base, key) : map.acquire(base, key);
            ASSERT_EQ(got, expected) << "step " << step;
            if (got == granted)
                held.push_back({base, key, exclusive});
        } else {
            const std::size_t pick = random() % held.size();
            const Held borrow = held[pick];
            held[pick] = held.back();
            held.pop_back();
            model.release(borrow.base, borrow.key, borrow.exclusive);
            if (borrow.exclusive)
                map.release_mut(borrow.base, borrow.key);
            else
                map.release(borrow.base, borrow.key);
        }
        ASSERT_EQ(map.base_count(), model.bases().size()) << "step " << step;
    }
    for (const auto& [base, keys] : model.bases()) {
        ASSERT_EQ(map.key_count(base), keys.size());
        for (const auto& [key, count] : keys)
            ASSERT_EQ(*map.count_of(base, key), count);
    }
    for (const Held& borrow : held)
        borrow.exclusive ? map.release_mut(borrow.base, borrow.key) : map.release(borrow.base, borrow.key);
    EXPECT_EQ(map.base_count(), 0u);
}

TEST(RegistryLock, ThreadsNeverShareTheMapWork) {
    molvenar::RegistryLock lock;
    BorrowMap map;
    std::int64_t unguarded_total = 0;
    auto work = [&](std::uintptr_t first_base) {
        for (std::uintptr_t i = 0; i < 20000; ++i) {
            std::lock_guard guard(lock);
            ASSERT_EQ(map.acquire(base_at(first_base + i % 50), element(0)), granted);
            ++unguarded_total;
        }
    };
    std::thread other(work, 0);
    work(1000);
    other.join();
    EXPECT_EQ(unguarded_total, 40000);
    EXPECT_EQ(map.base_count(), 100u);
    EXPECT_EQ(*map.count_of(base_at(0), element(0)), 400);
}

}  // namespace
