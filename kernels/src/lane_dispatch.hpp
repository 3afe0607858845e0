// Which instruction set the lane engine runs on: chosen once per process
// from what the processor offers, within the widest one the build allows.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "binary64.hpp"

namespace molvenar::lanes {

// `plain` runs the plain loops only; the others run the lane engine with
// packs of 2 (SSE2, the x86 baseline), 4 (AVX2) or 8 (AVX-512F) doubles.
enum class InstructionSet { plain, sse2, avx2, avx512f };

// The widest path this build compiles, set when configuring the build
// (the CMake setting MOLVENAR_SIMD: 1 sse2, 2 avx2, 3 avx512f). A pinned
// build has no code for the wider paths, so a processor that offers them
// runs the widest path the build has.
#ifndef MOLVENAR_SIMD_WIDEST
#define MOLVENAR_SIMD_WIDEST 3
#endif
static_assert(MOLVENAR_SIMD_WIDEST >= 1 && MOLVENAR_SIMD_WIDEST <= 3, "MOLVENAR_SIMD_WIDEST: 1, 2 or 3");
inline constexpr InstructionSet widest_built = static_cast<InstructionSet>(MOLVENAR_SIMD_WIDEST);

const char* name(InstructionSet set) noexcept;

// Whether this build has the path and this processor (and its operating
// system) can run it.
bool available(InstructionSet set) noexcept;

// The widest available path: the one every call of the extension module runs.
InstructionSet widest_available() noexcept;

// Bytes of series (read and written) from which a run is large: a run that
// large leaves little of a core's share of the last-level cache to anything
// else, and its outputs would not stay there for the caller anyway; its
// lanes write past the caches. A fixed size: what systems report for the
// last-level cache is the whole processor's, or that of a virtual one.
inline constexpr std::size_t large_run_bytes = std::size_t{8} << 20;

// Number of steps after which a contraction by `factor` per step has shrunk
// a difference of 2^bits units in the last place below one: the warm-up in
// which a lane forgets a guess that is `bits` bits off the true state, as
// far as the contraction goes; the last bits are often forgotten sooner or
// later by rounding. `unbounded` when the factor does not contract (or too
// slowly to be worth counting).
inline constexpr std::size_t unbounded = static_cast<std::size_t>(-1);
std::size_t steps_to_forget(double factor, double bits) noexcept;

namespace dispatch_detail {
// The natural logarithm of a normal x in (0, 1), to about 1e-7: every call
// of a kernel that may run lanes works out its warm-up, and the library's
// logarithm would cost a short call more than the plain steps it saves.
// x = m × 2^e with m in [0.5, 1) read off its bits; log m = 2 atanh(z),
// z = (m - 1)/(m + 1) in [-1/3, 0), by its series.
constexpr double log_below_one(double x) noexcept {
    auto bits = std::bit_cast<std::uint64_t>(x);
    const int e = static_cast<int>((bits >> 52) & 0x7ff) - 1022;
    bits = (bits & ~(std::uint64_t{0x7ff} << 52)) | (std::uint64_t{1022} << 52);
    const double m = std::bit_cast<double>(bits);
    const double z = (m - 1.0) / (m + 1.0), z2 = z * z, z4 = z2 * z2, z8 = z4 * z4;
    // 1 + z2/3 + z2^2/5 + ... + z2^6/13, in pairs, so that few products wait
    // on each other.
    const double series = ((1.0 + z2 * (1.0 / 3)) + z4 * (1.0 / 5 + z2 * (1.0 / 7))) +
                          z8 * ((1.0 / 9 + z2 * (1.0 / 11)) + z4 * (1.0 / 13));
    return static_cast<double>(e) * 0.6931471805599453 + 2.0 * z * series;
}
}  // namespace dispatch_detail

// The same in two parts, so that one logarithm serves every count of bits
// of a call: the steps per bit of a contraction by `factor` (infinite when
// it does not contract, 0 when it forgets at once), and the steps to forget
// `bits` bits at that rate (at least 1). Both can be worked out while
// compiling (forgetting_by_period.hpp).
constexpr double steps_per_bit(double factor) noexcept {
    if (!(factor < 1.0))
        return std::numeric_limits<double>::infinity();
    if (!(factor >= 0x1p-1022))  // zero, or too small to be normal: forgotten at once
        return 0.0;
    return 0.6931471805599453 / -dispatch_detail::log_below_one(factor);
}

constexpr std::size_t steps_for(double per_bit, double bits) noexcept {
    const double steps = bits * per_bit;
    if (!(steps < 1e9))
        return unbounded;
    // Rounded up, and at least 1.
    auto whole = static_cast<std::size_t>(steps);
    if (static_cast<double>(whole) < steps || whole == 0)
        ++whole;
    return whole;
}

// What a recurrence's lanes take to forget: the warm-up of a lane from its
// guess, and how far back a guess sums to forget where it starts.
struct Forgetting {
    std::size_t warm_up, reach;
};

}  // namespace molvenar::lanes
