// Which instruction set the lane engine runs on, chosen once per process
// from what the processor offers, and the settings the kernel tests and the
// kernel benchmark use to force a path or to make speculation fail.
#pragma once

#include <cstddef>

#include "binary64.hpp"

namespace molvenar::lanes {

// `plain` runs the plain loops only; the others run the lane engine with
// packs of 2 (SSE2, the x86 baseline), 4 (AVX2) or 8 (AVX-512F) doubles.
enum class InstructionSet { plain, sse2, avx2, avx512f };

const char* name(InstructionSet set) noexcept;

// Whether this processor (and its operating system) can run the path.
bool available(InstructionSet set) noexcept;

// The widest available path: what every call uses unless a test forces one.
InstructionSet widest_available() noexcept;

// Whether a run is taken for one larger than the caches keep, which writes
// its outputs past the caches: by the size of its series, or, in tests and
// the benchmark, always or never.
enum class LargeRuns { by_size, never, always };

// What one kernel call uses, read once at its start.
struct CallSettings {
    InstructionSet path;
    std::size_t forced_warm_up;  // no_override: from the recurrence's contraction
    bool absurd_guesses;         // lanes start far from any plausible state
    LargeRuns large_runs;
};
inline constexpr std::size_t no_override = static_cast<std::size_t>(-1);

CallSettings call_settings() noexcept;

// Whether a run that reads and writes `bytes` of series is taken for a
// large one: its series do not stay in the caches anyway.
bool is_large(std::size_t bytes, const CallSettings& settings) noexcept;

// Number of steps after which a contraction by `factor` per step has shrunk
// any difference between two states below one unit in the last place, with a
// margin; `unbounded` when the factor does not contract (or too slowly to
// be worth counting).
inline constexpr std::size_t unbounded = static_cast<std::size_t>(-1);
std::size_t steps_to_forget(double factor) noexcept;

// What the engine did, counted so that the tests can tell that the paths they
// aim at did run.
enum class Event { lanes_ran, seam_recomputed, left_to_plain_loop, streamed };
void record(Event event) noexcept;
void record_path(InstructionSet set) noexcept;

// Settings for the kernel tests and the kernel benchmark; the extension module
// never calls them, so its calls always run the widest available path.
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

}  // namespace molvenar::lanes
