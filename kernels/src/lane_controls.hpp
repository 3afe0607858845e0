// What the lane engine takes from outside a call: the path, the warm-up,
// the starting guesses of the lanes, whether a run is large.
//
// The extension module links the kernel library as built for callers: a run
// takes the widest available path, the recurrence's own warm-up and guesses,
// and the large-run rule by size; nothing here costs a call more than the
// path detected once. The kernel tests and the kernel benchmark link the
// library built with MOLVENAR_LANE_TESTING, whose runs read the settings of
// `testing` once per call (to force a path, a warm-up, guesses that make
// seams recompute, or large runs) and count what the engine did, so that a
// test can tell the path it aims at did run.
#pragma once

#include <cstddef>

#include "lane_dispatch.hpp"
#include "simd_pack.hpp"

namespace molvenar::lanes {

// What the engine did.
enum class Event { lanes_ran, seam_recomputed, seam_step, left_to_plain_loop, streamed };

#ifndef MOLVENAR_LANE_TESTING

struct Controls {
    static InstructionSet path() noexcept { return widest_available(); }
    template <class Recurrence>
    static Forgetting forgetting(const Recurrence& r) noexcept {
        return r.forgetting();
    }
    static bool large(std::size_t bytes) noexcept { return bytes >= large_run_bytes; }
    template <int N, class Recurrence, class State, class Anchor>
    MOLVENAR_INLINE static bool guess(const Recurrence& r, State& state, std::size_t i, std::size_t,
                                      const Anchor& anchor) noexcept {
        return r.template guess<N>(state, i, anchor);
    }
};

inline Controls controls() noexcept { return {}; }
inline void record(Event) noexcept {}
inline void record_path(InstructionSet) noexcept {}

#else

// Whether a run is taken for a large one: by its size, always or never.
enum class LargeRuns { by_size, never, always };

inline constexpr std::size_t no_override = static_cast<std::size_t>(-1);

// The value every component of a lane's state starts from when a test asks
// for absurd guesses: far from any price, and different in every lane.
inline double absurd_guess(std::size_t lane) noexcept { return -1.0e300 / static_cast<double>(lane + 1); }

// The settings of one call, read once at its start.
struct Controls {
    InstructionSet forced_path;
    std::size_t forced_warm_up;  // no_override: the recurrence's own
    bool absurd_guesses;         // lanes start far from any plausible state
    LargeRuns large_runs;

    InstructionSet path() const noexcept { return forced_path; }
    template <class Recurrence>
    Forgetting forgetting(const Recurrence& r) const noexcept {
        Forgetting forgetting = r.forgetting();
        if (forced_warm_up != no_override)
            forgetting.warm_up = forced_warm_up;
        return forgetting;
    }
    bool large(std::size_t bytes) const noexcept {
        return large_runs == LargeRuns::by_size ? bytes >= large_run_bytes : large_runs == LargeRuns::always;
    }
    template <int N, class Recurrence, class State, class Anchor>
    MOLVENAR_INLINE bool guess(const Recurrence& r, State& state, std::size_t i, std::size_t lane,
                               const Anchor& anchor) const noexcept {
        if (!absurd_guesses)
            return r.template guess<N>(state, i, anchor);
        state.fill(absurd_guess(lane));
        return false;
    }
};

Controls controls() noexcept;
void record(Event event) noexcept;
void record_path(InstructionSet set) noexcept;

namespace testing {
// Forces one path; false, and nothing changed, when it is not available.
bool force_path(InstructionSet set) noexcept;
// Starts every lane but the first this many steps before its chunk.
void force_warm_up(std::size_t steps) noexcept;
// Starts every lane but the first from an absurd state.
void force_absurd_guesses(bool on) noexcept;
// Every run taken for a large one, or none.
void force_large_runs(LargeRuns large_runs) noexcept;
// The path of the lanes that ran last (plain when none ran since the reset).
InstructionSet last_path() noexcept;
// How often the event happened since the last reset.
std::size_t count(Event event) noexcept;
// Back to the defaults, counts to zero.
void reset() noexcept;
}  // namespace testing

#endif

}  // namespace molvenar::lanes
