// The lane engine: runs a contracting recurrence (a running average that
// forgets its past geometrically) several times faster than its own chain of
// dependent operations, with exactly the bits of the plain loop.
//
// The positions [begin, end) are split into one chunk per lane. The first
// lane starts from the true state; every other lane starts `warm_up` steps
// before its chunk from a guessed state. All lanes run the exact scalar step
// at once, side by side in SIMD packs (lane_tiles.hpp). Once a lane has
// forgotten its guess, its state entering its chunk is the true state, bit
// for bit. The seams are then walked in order (lane_seams.hpp): where a
// lane's entering state equals the true state carried out of the chunk
// before, the lane's outputs are exact; elsewhere the chunk is recomputed
// from the true state until the recomputed state meets the lane's.
// Correctness never depends on convergence; only speed does.
//
// Memory decides the speed of a large run, one whose series the caches do
// not keep: every lane reads and writes its own stretch of each series, and
// the memory system follows only so many such streams at once. So the lanes
// of a large run write with streaming stores (past the caches, without
// reading a line before it is written), and each kernel takes the lanes that
// pay for its large runs (lane_shapes.hpp).
//
// Each path (SSE2, AVX2, AVX-512) has a target function compiled for its
// instruction set alone, and the path is a template parameter of the window
// and lane runs below it, so no instantiation serves two paths. Only the
// scalar seam walk is shared. The path of a call is the widest the processor
// offers within the build's cap (lane_dispatch.hpp); what tests may force
// instead is compiled into the test build only (lane_controls.hpp).
//
// A recurrence describes itself to the engine (see ema.cpp, macd.cpp, atr.cpp):
//   state_size                   how many doubles make a state
//   produced_count, output_count how many values a step hands out, and how
//                                many outputs derive from them
//   streams                      how many series a step reads and writes
//   shapes, large_shapes         lanes per path, for runs through the caches and
//                                for large runs (lane_shapes.hpp)
//   has_gaps                     whether a value that is not finite takes another
//                                step than a finite one (see step)
//   feed<T>(i)                   the value a step consumes at position i, from the
//                                series (for a pack: positions i to i + width - 1)
//   step<Clean, T>(state, x, produced)
//                                one step, the same operations for a double and a
//                                pack, from the update its kernel's plain loop
//                                calls too; Clean: x may be taken to be finite (the
//                                engine checks the state after a tile: a step
//                                from a non-finite x must leave a non-finite
//                                component, which later clean steps keep)
//   derive<Clean, T>(produced, outputs)
//                                the outputs of a step, value by value
//   tail_powers<N>()             what its guesses weigh their sums in packs of N with,
//                                worked out once per run (lane_guesses.hpp)
//   guess<N>(state, i, anchor)   a plausible state for a lane starting at i, which
//                                may sum the series back to the anchor's state (the
//                                true one, or the lane before's guess), in packs of
//                                N (lane_guesses.hpp); true when such a sum made it
//   regular(state)               whether `step` is the plain loop's step from this
//                                state; `step` never leads back from an irregular one
//   forgetting()                 steps to forget a guess (`unbounded`: never
//                                speculate), and how far back a guess sums at most
//   output(k)                    output k, indexed by position
//   lanes_read()                 the series the lanes load most, whose lines the
//                                lanes of runs through the caches start on
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "lane_controls.hpp"
#include "lane_dispatch.hpp"
#include "lane_guesses.hpp"
#include "lane_seams.hpp"
#include "lane_shapes.hpp"
#include "lane_tiles.hpp"
#include "simd_pack.hpp"

namespace molvenar::lanes {

// Lanes whose chunks lie a multiple of 4 KiB apart read and write at the
// same offsets within their pages: their streams compete for the same sets
// of the first-level cache, and their loads wait on each other's stores (a
// run of 10^6 positions in 4 lanes of 249856 did so, at half the speed; a run
// of 25,000 in 8 lanes of 3072, at a third). So no two lanes may sit at
// nearly the same offset in their pages, and the positions the lanes leave
// over are left to the plain loop.
//
// A long chunk, and every chunk of streaming lanes (whose lines cross from
// one tile to the next), is an odd number of tiles, which puts the lanes at
// as many offsets as a page has tiles. A shorter chunk is a whole number of
// blocks of 4 positions, the most a pack steps at once through the caches,
// so that a short run leaves little to the plain loop; blocks are given up
// until every lane is a line or more from every other's page offset.
inline constexpr std::size_t long_chunk = 32 * tile_length;
inline constexpr std::size_t block_length = 4;
inline constexpr std::size_t page_length = 4096 / sizeof(double);
inline constexpr std::size_t page_margin = line_length;

// Whether two of `lanes` lanes a chunk apart sit within the margin of the
// same offset in their pages.
constexpr bool lanes_collide(std::size_t chunk, std::size_t lanes) {
    for (std::size_t k = 1; k < lanes; ++k) {
        const std::size_t offset = (k * chunk) % page_length;
        if (offset < page_margin || offset > page_length - page_margin)
            return true;
    }
    return false;
}

// The chunk of each lane: as long as the run allows. Lanes come in powers
// of two, so a shift divides: a short call that weighs its lanes would feel
// a division.
constexpr std::size_t chunk_for(std::size_t length, std::size_t warm_up, std::size_t lanes, bool stream) {
    const std::size_t raw = (length - warm_up) >> std::countr_zero(lanes);
    if (stream || raw >= long_chunk) {
        const std::size_t tiles = raw / tile_length;
        return (tiles % 2 == 0 && tiles > 0 ? tiles - 1 : tiles) * tile_length;
    }
    std::size_t chunk = raw / block_length * block_length;
    while (chunk != 0 && lanes_collide(chunk, lanes))
        chunk -= block_length;
    return chunk;
}

// The layout of the lanes from `from`, when lanes can run there. Whether
// they pay is for the caller to judge (choose_mode).
inline bool layout_at(std::size_t from, std::size_t end, std::size_t warm_up, std::size_t lanes, bool stream,
                      Layout& layout) noexcept {
    const std::size_t length = end - from;
    if (warm_up >= length)
        return false;
    const std::size_t chunk = chunk_for(length, warm_up, lanes, stream);
    if (chunk == 0)
        return false;
    layout = Layout{from, warm_up, chunk};
    return true;
}

// Whether a position's address is at the start of a cache line.
inline bool line_aligned(const unaligned_double* at) noexcept {
    return reinterpret_cast<std::uintptr_t>(at) % (line_length * sizeof(double)) == 0;
}

// Steps a run through the caches from `begin` one position at a time to a
// line of the series its lanes load most, and returns where its lanes may
// start, with `state` the state there. It stays where it is when that series
// is not at a whole double, or when the steps are more than a 64th of the run
// or cost the chunks a block, and stops where a value leaves a state that
// only the plain loop carries on from. A pack that straddles two lines is
// two loads, which made runs of a few thousand positions up to 12 % slower,
// but runs of a few hundred paid more for the steps than they saved, and a
// block less per lane leaves up to 32 more positions to the plain loop. Not
// inlined: MACD's large runs on AVX2, compiled into the same function, ran a
// third slower when it was.
template <class Recurrence>
[[gnu::noinline]] std::size_t step_to_line(const Recurrence& r, std::size_t begin, std::size_t end,
                                           State<Recurrence>& state, std::size_t warm_up,
                                           std::size_t lanes) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(r.lanes_read() + begin);
    if (address % sizeof(double) != 0)
        return begin;
    const std::size_t length = end - begin;
    const std::size_t ahead = (line_length - address / sizeof(double) % line_length) % line_length;
    if (ahead == 0 || ahead * 64 > length || length <= warm_up + ahead ||
        chunk_for(length - ahead, warm_up, lanes, false) != chunk_for(length, warm_up, lanes, false))
        return begin;
    for (const std::size_t to = begin + ahead; begin < to; ++begin) {
        if (!r.regular(state))
            return begin;
        advance(r, state, begin, true);
    }
    return begin;
}

// How the outputs are written by lanes that start at `begin`, where the first
// output starts a line when `streaming`: every output at a whole double with
// streaming stores, in lines shifted to start where its own lines start.
template <class Recurrence>
Writes<Recurrence> writes_from(const Recurrence& r, std::size_t begin, bool streaming) noexcept {
    Writes<Recurrence> writes{};
    for (std::size_t k = 0; k < Recurrence::output_count; ++k) {
        const auto at = reinterpret_cast<std::uintptr_t>(r.output(k) + begin);
        writes.stream[k] = streaming && at % sizeof(double) == 0;
        if (writes.stream[k]) {
            // Positions from the lanes' start to the output's next line start.
            const std::size_t ahead = (64 - at % 64) % 64 / sizeof(double);
            writes.shift[k] = (line_length - ahead) % line_length;
            writes.shifted = writes.shifted || writes.shift[k] != 0;
        }
    }
    return writes;
}

// How one run goes: its lanes, how it reads and writes, and where its lanes
// start.
struct Mode {
    bool all_groups;  // the path's packs side by side, or one pack
    bool streaming;
    std::size_t warm_up;  // steps: whole lines, or whole tiles when streaming
    std::size_t reach;    // how far back a lane's guess sums
    Controls controls;
};

// The widest pack of a path, which a lane's guess sums in.
constexpr int widest_pack(InstructionSet set) {
    return set == InstructionSet::avx512f ? 8 : set == InstructionSet::avx2 ? 4 : 2;
}

// Clears the upper halves of the wide registers before scalar code runs, the
// seam walk's or the caller's. The compiler may leave that out (GCC 12 did at
// -O3 in the functions compiled for a wider instruction set than the
// build's), and with the upper halves in use the processor runs later SSE
// code at a fraction of its speed: a MACD plain loop of 250 values, run from
// Python after any call that had run lanes, took 3 times as long.
template <InstructionSet Set>
MOLVENAR_INLINE void leave_wide_registers() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    if constexpr (Set != InstructionSet::sse2)
        asm volatile("vzeroupper" ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7"
#if defined(__x86_64__)
                     , "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"
#endif
        );
#endif
}

// Whether a recurrence has a prepared form for runs through the caches:
// `prepared<N>(from, to)` does in packs of N what the steps over [from, to)
// would each do alone, and returns a recurrence whose packs read it. Its
// scalar steps, which the seam walk takes, still do that work themselves,
// and so do its steps in runs that stream.
template <class Recurrence>
concept prepares = requires(const Recurrence& r) { r.template prepared<2>(std::size_t{}, std::size_t{}); };

// Starts the lanes of the layout, runs them and walks their seams; see
// walk_seams for the result.
template <InstructionSet Set, int N, int Groups, bool Stream, class Recurrence, class Written>
MOLVENAR_INLINE std::size_t speculate(const Recurrence& r, const Layout& layout, const Writes<Written>& writes,
                                      State<Written>& state, const Mode& mode) noexcept {
    constexpr std::size_t Lanes = N * Groups;
    // Lane 0 starts from the true state, every other lane from a guess that
    // may sum back to where the lane before starts, from that lane's state
    // when it is the true one or a sum (a chunk shorter than the reach: the
    // sums then cover each position once), or else to its reach.
    constexpr int Wide = widest_pack(Set);
    const auto powers = r.template tail_powers<Wide>();
    using Anchored = Anchor<Recurrence, decltype(powers)>;
    std::array<State<Recurrence>, Lanes> starting;
    starting[0] = state;
    std::size_t anchored = 0;  // the last lane whose state may anchor a guess
    for (std::size_t k = 1; k < Lanes; ++k) {
        const Anchored anchor{layout.lane_start(anchored), starting[anchored], mode.reach, powers};
        if (mode.controls.template guess<Wide>(r, starting[k], layout.lane_start(k), k, anchor))
            anchored = k;
    }
    LaneStates<Recurrence, Lanes> lanes;
    record_path(Set);
    const Writes<Recurrence> own_writes{writes.stream, writes.shift, writes.shifted};
    const bool ran = run_lanes<Recurrence, Set, N, Groups, Stream>(r, layout, starting, own_writes, lanes);
    leave_wide_registers<Set>();
    if (!ran)
        return layout.begin;
    return walk_seams(r, layout, lanes, state);
}

// Runs the lanes of Groups packs of N on the path Set over [begin, end); see
// walk_seams for the result. When streaming, the lanes start where the first
// output starts a line (the positions before are stepped one by one). The
// path is a template parameter so that each path's target function has its
// own instantiation, compiled for that path alone.
template <class Recurrence, InstructionSet Set, int N, int Groups, bool Stream>
MOLVENAR_INLINE std::size_t run_window(const Recurrence& r, std::size_t begin, std::size_t end,
                                       State<Recurrence>& state, const Mode& mode) noexcept {
    constexpr std::size_t Lanes = N * Groups;
    if constexpr (Stream) {
        for (; begin < end && !line_aligned(r.output(0) + begin); ++begin) {
            if (!r.regular(state))
                return begin;
            advance(r, state, begin, true);
        }
    } else {
        begin = step_to_line(r, begin, end, state, mode.warm_up, Lanes);
    }
    // A value on the way may have left a state that only the plain loop
    // carries on from.
    if (!all_finite<Recurrence>(state))
        return begin;
    Layout layout;
    if (!layout_at(begin, end, mode.warm_up, Lanes, Stream, layout))
        return begin;
    const Writes<Recurrence> writes = writes_from(r, begin, mode.streaming);
    // A recurrence whose steps read work that packs do faster ahead of time
    // prepares it for runs through the caches (ATR: its true ranges).
    if constexpr (!Stream && prepares<Recurrence>)
        return speculate<Set, N, Groups, Stream>(
            r.template prepared<widest_pack(Set)>(begin, layout.chunk_end(Lanes - 1)), layout, writes, state, mode);
    else
        return speculate<Set, N, Groups, Stream>(r, layout, writes, state, mode);
}

constexpr Shape shape_of(InstructionSet set, const Shapes& shapes) {
    return set == InstructionSet::avx512f ? shapes.avx512f : set == InstructionSet::avx2 ? shapes.avx2 : shapes.sse2;
}

// The run in its mode, in the path's shape for its kind of run.
template <class Recurrence, InstructionSet Set>
MOLVENAR_INLINE std::size_t run_mode(const Recurrence& r, std::size_t begin, std::size_t end,
                                     State<Recurrence>& state, const Mode& mode) noexcept {
    constexpr Shape shape = shape_of(Set, Recurrence::shapes), large = shape_of(Set, Recurrence::large_shapes);
    static_assert(std::has_single_bit(static_cast<unsigned>(shape.lanes())) &&
                      std::has_single_bit(static_cast<unsigned>(large.lanes())),
                  "chunk_for divides by the lanes with a shift");
    static_assert(block_length % shape.width == 0, "a short chunk is a whole number of a pack's blocks");
    if (mode.streaming)
        return mode.all_groups ? run_window<Recurrence, Set, large.width, large.groups, true>(r, begin, end, state, mode)
                               : run_window<Recurrence, Set, large.width, 1, true>(r, begin, end, state, mode);
    return mode.all_groups ? run_window<Recurrence, Set, shape.width, shape.groups, false>(r, begin, end, state, mode)
                           : run_window<Recurrence, Set, shape.width, 1, false>(r, begin, end, state, mode);
}

// The warm-up of lanes, whole lines, or whole tiles for streaming lanes
// (whose lines cross from one tile to the next).
constexpr std::size_t warm_up_of(std::size_t wanted, bool stream) {
    return round_up(wanted, stream ? tile_length : line_length);
}

// The least length of a run at which a path's lanes can run, with a warm-up
// of `warm_up` steps: one pack and a chunk of one line per lane, or of one
// tile for streaming lanes.
constexpr std::size_t least_length(InstructionSet set, const Shapes& shapes, std::size_t warm_up, bool stream) {
    return warm_up_of(warm_up, stream) +
           static_cast<std::size_t>(shape_of(set, shapes).width) * (stream ? tile_length : line_length);
}

// What a run of `length` positions costs in the lanes of `lanes` that cost
// `step_cost` plain steps per step, in plain steps: the lanes' steps (the
// warm-up and one chunk), what they leave to the plain loop, a few steps per
// lane to guess its state, set it up and compare its seam, and a few per run.
// Infinite when they cannot run.
inline double lanes_cost(std::size_t length, std::size_t warm_up, std::size_t lanes, double step_cost) noexcept {
    constexpr double per_lane = 8.0, per_run = 32.0;
    if (warm_up >= length)
        return HUGE_VAL;
    const std::size_t chunk = chunk_for(length, warm_up, lanes, false);
    if (chunk == 0)
        return HUGE_VAL;
    const std::size_t left = length - warm_up - lanes * chunk;
    return static_cast<double>(warm_up + chunk) * step_cost + static_cast<double>(left) +
           per_lane * static_cast<double>(lanes) + per_run;
}

// The mode of a run of `length` positions on `path` with the warm-up
// `warm_up`, or false when it is left to the plain loop.
//
// Streaming stores pay for a run whose series are larger than the caches
// keep. They need the first output at a whole double, so that one of its
// next 8 positions starts a line. Without them, lanes that write several
// outputs each from many places at once make more streams than the memory
// system follows, and run slower than the plain loop. A large run takes its
// path's packs side by side while their warm-ups come to a quarter of its
// length at most, and one pack otherwise.
//
// A run through the caches weighs its choices by what they cost: one pack,
// all packs side by side, or the plain loop. Every lane but the first costs
// a warm-up, and all lanes together take warm-up plus chunk steps, so more
// lanes pay on longer runs, and on short ones lanes pay while their steps
// come to fewer than the run's: a chunk may be shorter than the warm-up.
template <class Recurrence>
bool choose_mode(const Recurrence& r, InstructionSet path, std::size_t length, std::size_t warm_up,
                 const Controls& controls, Mode& mode) noexcept {
    const bool large = controls.large(length * Recurrence::streams * sizeof(double));
    warm_up = warm_up_of(warm_up, large);
    mode.warm_up = warm_up;
    mode.streaming = false;
    mode.controls = controls;
    if (large) {
        mode.streaming = reinterpret_cast<std::uintptr_t>(r.output(0)) % sizeof(double) == 0;
        if (!mode.streaming && Recurrence::output_count > 1)
            return false;
        const auto lanes = static_cast<std::size_t>(shape_of(path, Recurrence::large_shapes).lanes());
        mode.all_groups = (lanes - 1) * warm_up <= length / 4;
        return true;
    }
    const Shape shape = shape_of(path, Recurrence::shapes);
    const double one = lanes_cost(length, warm_up, static_cast<std::size_t>(shape.width), shape.pack_cost);
    const double all = lanes_cost(length, warm_up, static_cast<std::size_t>(shape.lanes()), shape.all_cost);
    mode.all_groups = all < one;
    return std::min(one, all) < static_cast<double>(length);
}

// One entry per path; the wider ones are compiled for their instruction set
// only, so one build runs on every x86 processor. A build pinned to a
// narrower path (MOLVENAR_SIMD) leaves the wider ones out.
#if (defined(__x86_64__) || defined(__i386__)) && MOLVENAR_SIMD_WIDEST >= 3
template <class Recurrence>
__attribute__((target("avx512f,avx512vl"))) std::size_t run_avx512f(const Recurrence& r, std::size_t begin,
                                                                    std::size_t end, State<Recurrence>& state,
                                                                    const Mode& mode) noexcept {
    const std::size_t done = run_mode<Recurrence, InstructionSet::avx512f>(r, begin, end, state, mode);
    leave_wide_registers<InstructionSet::avx512f>();
    return done;
}
#endif

#if (defined(__x86_64__) || defined(__i386__)) && MOLVENAR_SIMD_WIDEST >= 2
template <class Recurrence>
__attribute__((target("avx2"))) std::size_t run_avx2(const Recurrence& r, std::size_t begin, std::size_t end,
                                                     State<Recurrence>& state, const Mode& mode) noexcept {
    const std::size_t done = run_mode<Recurrence, InstructionSet::avx2>(r, begin, end, state, mode);
    leave_wide_registers<InstructionSet::avx2>();
    return done;
}
#endif

template <class Recurrence>
std::size_t run_sse2(const Recurrence& r, std::size_t begin, std::size_t end, State<Recurrence>& state,
                     const Mode& mode) noexcept {
    return run_mode<Recurrence, InstructionSet::sse2>(r, begin, end, state, mode);
}

// Computes the positions [begin, p) of the recurrence from the true `state`
// at begin and returns p, with `state` set to the true state at p. The caller
// computes [p, end) with its plain loop; p is begin when speculation cannot
// pay (a short run, a slow contraction, a state that is not finite).
template <class Recurrence>
std::size_t run(const Recurrence& r, std::size_t begin, std::size_t end, State<Recurrence>& state) noexcept {
    if (begin >= end || !all_finite<Recurrence>(state))
        return begin;
    const Controls controls = lanes::controls();
    const InstructionSet path = controls.path();
    // Lanes need a line each at least, in one pack of the path: a shorter
    // run goes to the plain loop before its warm-up is worked out.
    const std::size_t shortest = least_length(path, Recurrence::shapes, 0, false);
    if (path == InstructionSet::plain || end - begin < shortest)
        return begin;
    const Forgetting forgetting = controls.forgetting(r);
    const std::size_t wanted = forgetting.warm_up;
    Mode mode{};
    if (wanted >= end - begin || !choose_mode(r, path, end - begin, wanted, controls, mode))
        return begin;
    // Whole groups of packs, so that a guess that does not reach back to
    // where the lanes begin sums no position alone nor a group in part.
    mode.reach = round_up(std::min(forgetting.reach, unbounded / 2), tail_group);
    switch (path) {
#if (defined(__x86_64__) || defined(__i386__)) && MOLVENAR_SIMD_WIDEST >= 3
        case InstructionSet::avx512f: return run_avx512f(r, begin, end, state, mode);
#endif
#if (defined(__x86_64__) || defined(__i386__)) && MOLVENAR_SIMD_WIDEST >= 2
        case InstructionSet::avx2: return run_avx2(r, begin, end, state, mode);
#endif
        case InstructionSet::sse2: return run_sse2(r, begin, end, state, mode);
        default: return begin;
    }
}

}  // namespace molvenar::lanes
