// The borrow registry's lock. Its critical sections are a few dozen
// instructions of map work, so the free case must cost one atomic operation
// each way; a thread that finds it held sleeps on the lock word (a futex on
// Linux) rather than spinning. Never taken twice by one thread.
#pragma once

#include <atomic>

namespace molvenar {

class RegistryLock {
public:
    void lock() noexcept {
        int expected = free_;
        if (state_.compare_exchange_strong(expected, held_, std::memory_order_acquire))
            [[likely]] return;
        // Mark the lock contended so that its holder wakes a sleeper.
        while (state_.exchange(contended_, std::memory_order_acquire) != free_)
            state_.wait(contended_, std::memory_order_relaxed);
    }

    void unlock() noexcept {
        if (state_.exchange(free_, std::memory_order_release) == contended_) [[unlikely]]
            state_.notify_one();
    }

private:
    static constexpr int free_ = 0, held_ = 1, contended_ = 2;
    std::atomic<int> state_{free_};
};

}  // namespace molvenar
