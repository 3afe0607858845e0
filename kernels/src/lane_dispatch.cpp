#include "lane_dispatch.hpp"

#include <atomic>
#include <cmath>

namespace molvenar::lanes {
namespace {

InstructionSet detect() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"))
        return InstructionSet::avx512f;
    if (__builtin_cpu_supports("avx2"))
        return InstructionSet::avx2;
#endif
    return InstructionSet::sse2;
}

// Test settings; relaxed atomics, since only their values matter.
std::atomic<int> forced_path{-1};
std::atomic<std::size_t> forced_warm_up{no_override};
std::atomic<bool> absurd_guesses{false};
std::atomic<int> forced_large_runs{static_cast<int>(LargeRuns::by_size)};
std::atomic<std::size_t> events[4];
std::atomic<int> last_path_run{0};

// Bytes of series (read and written) from which a run is large. A run that
// large leaves little of a core's share of the last-level cache to anything
// else, and its outputs would not stay there for the caller anyway. A fixed
// size: what systems report for the last-level cache is the whole
// processor's, or that of a virtual one.
constexpr std::size_t large_run_bytes = std::size_t{8} << 20;

}  // namespace

const char* name(InstructionSet set) noexcept {
    switch (set) {
        case InstructionSet::plain: return "plain";
        case InstructionSet::sse2: return "sse2";
        case InstructionSet::avx2: return "avx2";
        case InstructionSet::avx512f: return "avx512f";
    }
    return "?";
}

InstructionSet widest_available() noexcept {
    static const InstructionSet widest = detect();
    return widest;
}

bool available(InstructionSet set) noexcept {
    return static_cast<int>(set) <= static_cast<int>(widest_available());
}

CallSettings call_settings() noexcept {
    const int forced = forced_path.load(std::memory_order_relaxed);
    return {forced < 0 ? widest_available() : static_cast<InstructionSet>(forced),
            forced_warm_up.load(std::memory_order_relaxed), absurd_guesses.load(std::memory_order_relaxed),
            static_cast<LargeRuns>(forced_large_runs.load(std::memory_order_relaxed))};
}

bool is_large(std::size_t bytes, const CallSettings& settings) noexcept {
    switch (settings.large_runs) {
        case LargeRuns::never: return false;
        case LargeRuns::always: return true;
        case LargeRuns::by_size: break;
    }
    return bytes >= large_run_bytes;
}

std::size_t steps_to_forget(double factor) noexcept {
    // 56 bits: the 53 of the significand and a few for a first guess that
    // is off by more than the value itself; then a fixed margin.
    constexpr double bits = 56.0;
    constexpr double margin = 16.0;
    if (!(factor < 1.0))
        return unbounded;
    if (!(factor > 0.0))
        return static_cast<std::size_t>(margin);
    const double steps = std::ceil(bits * std::log(2.0) / -std::log(factor)) + margin;
    if (!(steps < 1e9))
        return unbounded;
    return static_cast<std::size_t>(steps);
}

void record(Event event) noexcept { events[static_cast<int>(event)].fetch_add(1, std::memory_order_relaxed); }

void record_path(InstructionSet set) noexcept { last_path_run.store(static_cast<int>(set), std::memory_order_relaxed); }

namespace testing {

InstructionSet last_path() noexcept { return static_cast<InstructionSet>(last_path_run.load(std::memory_order_relaxed)); }

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
