// The settings and counts of the kernel library built for the kernel tests
// and the kernel benchmark (MOLVENAR_LANE_TESTING); see lane_controls.hpp.
#include "lane_controls.hpp"

#ifdef MOLVENAR_LANE_TESTING

#include <atomic>

namespace molvenar::lanes {
namespace {

// Relaxed atomics: only their values matter.
std::atomic<int> forced_path{-1};
std::atomic<std::size_t> forced_warm_up{no_override};
std::atomic<bool> absurd_guesses{false};
std::atomic<int> forced_large_runs{static_cast<int>(LargeRuns::by_size)};
std::atomic<std::size_t> events[5];
std::atomic<int> last_path_run{0};

}  // namespace

Controls controls() noexcept {
    const int forced = forced_path.load(std::memory_order_relaxed);
    return {forced < 0 ? widest_available() : static_cast<InstructionSet>(forced),
            forced_warm_up.load(std::memory_order_relaxed), absurd_guesses.load(std::memory_order_relaxed),
            static_cast<LargeRuns>(forced_large_runs.load(std::memory_order_relaxed))};
}

void record(Event event) noexcept { events[static_cast<int>(event)].fetch_add(1, std::memory_order_relaxed); }

void record_path(InstructionSet set) noexcept { last_path_run.store(static_cast<int>(set), std::memory_order_relaxed); }

namespace testing {

bool force_path(InstructionSet set) noexcept {
    if (!available(set))
        return false;
    forced_path.store(static_cast<int>(set), std::memory_order_relaxed);
    return true;
}

void force_warm_up(std::size_t steps) noexcept { forced_warm_up.store(steps, std::memory_order_relaxed); }

void force_absurd_guesses(bool on) noexcept { absurd_guesses.store(on, std::memory_order_relaxed); }

void force_large_runs(LargeRuns large_runs) noexcept {
    forced_large_runs.store(static_cast<int>(large_runs), std::memory_order_relaxed);
}

InstructionSet last_path() noexcept { return static_cast<InstructionSet>(last_path_run.load(std::memory_order_relaxed)); }

std::size_t count(Event event) noexcept { return events[static_cast<int>(event)].load(std::memory_order_relaxed); }

void reset() noexcept {
    for (auto& event : events)
        event.store(0, std::memory_order_relaxed);
    last_path_run.store(0, std::memory_order_relaxed);
    forced_path.store(-1, std::memory_order_relaxed);
    forced_warm_up.store(no_override, std::memory_order_relaxed);
    absurd_guesses.store(false, std::memory_order_relaxed);
    forced_large_runs.store(static_cast<int>(LargeRuns::by_size), std::memory_order_relaxed);
}

}  // namespace testing
}  // namespace molvenar::lanes

#endif
