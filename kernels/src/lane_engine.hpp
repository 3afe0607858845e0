// The lane engine: runs a contracting recurrence (a running average that
// forgets its past geometrically) several times faster than its own chain of
// dependent operations, with exactly the bits of the plain loop.
//
// The positions [begin, end) are split into one chunk per lane. The first
// lane starts from the true state; every other lane starts `warm_up` steps
// before its chunk from a guessed state. All lanes run the exact scalar step
// at once, side by side in SIMD packs. Once a lane has forgotten its guess,
// its state entering its chunk is the true state, bit for bit. The seams are
// then walked in order: where a lane's entering state equals the true state
// carried out of the chunk before, the lane's outputs are exact; elsewhere
// the chunk is recomputed from the true state until the recomputed state
// meets the lane's. Correctness never depends on convergence; only speed does.
//
// A recurrence describes itself to the engine (see ema.cpp, macd.cpp, atr.cpp):
//   state_size, output_count     how many doubles make a state and an output
//   streams                      how many series a step reads and writes
//   feed<T>(i)                   the value a step consumes at position i (for a
//                                pack: positions i to i + width - 1)
//   step<Clean, T>(state, x, outputs)
//                                one step, the same operations for a double and a
//                                pack; Clean: x may be taken to be finite (the
//                                engine checks the state after a block: a step
//                                from a non-finite x must leave a non-finite
//                                component, which later clean steps keep)
//   guess(state, i)              a plausible state for a lane starting at i
//   regular(state)               whether `step` is the plain loop's step from this
//                                state; `step` never leads back from an irregular one
//   warm_up()                    steps to forget a guess (`unbounded`: never speculate)
//   output(k)                    output k, indexed by position
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "lane_dispatch.hpp"
#include "simd_pack.hpp"

namespace molvenar::lanes {

template <class Recurrence>
using State = std::array<double, Recurrence::state_size>;

template <class Recurrence>
bool same_bits(const State<Recurrence>& a, const State<Recurrence>& b) noexcept {
    return std::memcmp(a.data(), b.data(), sizeof a) == 0;
}

// A state with an infinity or a NaN does not contract towards anything.
template <class Recurrence>
bool all_finite(const State<Recurrence>& state) noexcept {
    for (double component : state)
        if (!is_finite(component))
            return false;
    return true;
}

// One scalar step at position i; the outputs are written when `write`.
template <class Recurrence>
void advance(const Recurrence& r, State<Recurrence>& state, std::size_t i, bool write) noexcept {
    std::array<double, Recurrence::output_count> outputs;
    r.template step<false>(state, r.template feed<double>(i), outputs);
    if (write)
        for (std::size_t k = 0; k < Recurrence::output_count; ++k)
            r.output(k)[i] = outputs[k];
}

// Lane k starts at begin + k * chunk. Lane 0 owns [begin, begin + warm_up +
// chunk); lane k > 0 first runs warm_up steps without writing, then owns the
// chunk that follows.
struct Layout {
    std::size_t begin, warm_up, chunk;

    std::size_t lane_start(std::size_t k) const noexcept { return begin + k * chunk; }
    std::size_t chunk_begin(std::size_t k) const noexcept { return lane_start(k) + (k == 0 ? 0 : warm_up); }
    std::size_t chunk_end(std::size_t k) const noexcept { return lane_start(k) + warm_up + chunk; }
};

template <class Recurrence, std::size_t Lanes>
struct LaneStates {
    std::array<State<Recurrence>, Lanes> entering;  // entering each lane's chunk
    std::array<State<Recurrence>, Lanes> final;     // after each lane's last step
};

// Walks the seams in order, recomputing each chunk whose lane entered it in
// another state than the true one. Returns the position up to which every
// output is exact and sets `state` to the true state there; the caller goes
// on from there with the plain loop.
template <class Recurrence, std::size_t Lanes>
std::size_t walk_seams(const Recurrence& r, const Layout& layout,
                       const LaneStates<Recurrence, Lanes>& lanes, State<Recurrence>& state) noexcept {
    State<Recurrence> truth = lanes.final[0];
    for (std::size_t k = 1; k < Lanes; ++k) {
        if (same_bits<Recurrence>(lanes.entering[k], truth)) {
            truth = lanes.final[k];
            continue;
        }
        record(Event::seam_recomputed);
        // Replays the lane beside the true chain; from the first position where
        // both states agree, the lane's own outputs are the true ones.
        State<Recurrence> lane = lanes.entering[k];
        bool met = false;
        for (std::size_t i = layout.chunk_begin(k); i < layout.chunk_end(k) && !met; ++i) {
            if (!r.regular(truth)) {
                record(Event::left_to_plain_loop);
                state = truth;
                return i;
            }
            advance(r, truth, i, true);
            advance(r, lane, i, false);
            met = same_bits<Recurrence>(truth, lane);
        }
        if (met)
            truth = lanes.final[k];
    }
    state = truth;
    return layout.chunk_end(Lanes - 1);
}

// The value every component of a lane's state starts from when a test asks
// for absurd guesses: far from any price, and different in every lane.
inline double absurd_guess(std::size_t lane) noexcept { return -1.0e300 / static_cast<double>(lane + 1); }

// Runs Groups packs of N lanes over [begin, end); see walk_seams for the result.
template <class Recurrence, int N, int Groups>
MOLVENAR_INLINE std::size_t run_packs(const Recurrence& r, std::size_t begin, std::size_t end,
                                      State<Recurrence>& state, const CallSettings& settings) noexcept {
    constexpr std::size_t S = Recurrence::state_size;
    constexpr std::size_t M = Recurrence::output_count;
    constexpr std::size_t Lanes = N * Groups;
    using P = Pack<N>;

    // Warm-up and chunks are whole blocks of N positions. Speculation pays
    // while a lane's warm-up is at most as long as its chunk.
    const std::size_t length = end - begin;
    const std::size_t wanted = settings.forced_warm_up != no_override ? settings.forced_warm_up : r.warm_up();
    if (wanted >= length)
        return begin;
    const std::size_t warm_up = (wanted + N - 1) / N * N;
    if (warm_up >= length)
        return begin;
    const std::size_t chunk = (length - warm_up) / Lanes / N * N;
    if (chunk == 0 || chunk < warm_up)
        return begin;
    const Layout layout{begin, warm_up, chunk};
    record(Event::lanes_ran);
    record_path(N == 8 ? InstructionSet::avx512f : N == 4 ? InstructionSet::avx2 : InstructionSet::sse2);

    std::array<P, S> packs[Groups];
    for (std::size_t k = 0; k < Lanes; ++k) {
        State<Recurrence> start = state;
        if (k != 0 && settings.absurd_guesses)
            start.fill(absurd_guess(k));
        else if (k != 0)
            r.guess(start, layout.lane_start(k));
        for (std::size_t c = 0; c < S; ++c)
            packs[k / N][c].v[k % N] = start[c];
    }

    // Block by block: N positions of every lane are loaded as rows, turned
    // into packs of one position each, stepped, turned back and stored. In
    // the warm-up only lane 0 writes. A block is first stepped as if all its
    // values were finite; a value that is not makes some state component
    // non-finite, and then the block is stepped again from where it began,
    // with the handling of gaps. The recurrence is copied so that the stores
    // cannot be taken to change its pointers.
    const Recurrence local = r;
    std::array<P, S> entering[Groups];
    for (int g = 0; g < Groups; ++g)
        entering[g] = packs[g];
    const std::size_t steps = warm_up + chunk;
    for (std::size_t offset = 0; offset < steps; offset += N) {
        if (offset == warm_up)
            for (int g = 0; g < Groups; ++g)
                entering[g] = packs[g];
        P x[Groups][N];
        for (int g = 0; g < Groups; ++g) {
            for (int b = 0; b < N; ++b)
                x[g][b] = local.template feed<P>(layout.lane_start(g * N + b) + offset);
            transpose(x[g]);
        }
        std::array<P, S> before[Groups];
        for (int g = 0; g < Groups; ++g)
            before[g] = packs[g];
        std::array<P, M> y[Groups][N];
        for (int s = 0; s < N; ++s)
            for (int g = 0; g < Groups; ++g)
                local.template step<true>(packs[g], x[g][s], y[g][s]);
        if (!all_finite(packs)) [[unlikely]] {
            for (int g = 0; g < Groups; ++g)
                packs[g] = before[g];
            for (int s = 0; s < N; ++s)
                for (int g = 0; g < Groups; ++g)
                    local.template step<false>(packs[g], x[g][s], y[g][s]);
        }
        const bool warming = offset < warm_up;
        for (std::size_t k = 0; k < M; ++k) {
            unaligned_double* output = local.output(k) + offset;
            for (int g = 0; g < Groups; ++g) {
                P rows[N];
                for (int s = 0; s < N; ++s)
                    rows[s] = y[g][s][k];
                transpose(rows);
                const int written = !warming ? N : g == 0 ? 1 : 0;
                for (int b = 0; b < written; ++b)
                    store(output + layout.lane_start(g * N + b), rows[b]);
            }
        }
    }

    LaneStates<Recurrence, Lanes> lanes;
    for (std::size_t k = 0; k < Lanes; ++k) {
        for (std::size_t c = 0; c < S; ++c) {
            lanes.entering[k][c] = entering[k / N][c].v[k % N];
            lanes.final[k][c] = packs[k / N][c].v[k % N];
        }
    }
    // A lane whose state turned irregular has not followed the plain loop.
    for (const State<Recurrence>& final : lanes.final) {
        if (!r.regular(final)) {
            record(Event::left_to_plain_loop);
            return begin;
        }
    }
    return walk_seams(r, layout, lanes, state);
}

// Every lane reads and writes its own stretch of each series the recurrence
// touches. Past about this many such streams at once the memory system falls
// behind, and lanes wait for their data.
inline constexpr std::size_t stream_budget = 16;

constexpr int pack_width(InstructionSet set) {
    return set == InstructionSet::avx512f ? 8 : set == InstructionSet::avx2 ? 4 : 2;
}

// Doubles per pack and packs side by side on a path for a recurrence that
// touches `streams` series: two packs overlap the chains of dependent
// operations better than one, when the streams allow.
struct Shape {
    int width, groups;
    constexpr int lanes() const { return width * groups; }
};
constexpr Shape shape_of(InstructionSet set, std::size_t streams) {
    const int width = pack_width(set);
    return {width, stream_budget / (static_cast<std::size_t>(width) * streams) >= 2 ? 2 : 1};
}

// The widest path up to `set` whose lanes stay within the stream budget.
constexpr InstructionSet path_for(InstructionSet set, std::size_t streams) {
    while (set > InstructionSet::sse2 && static_cast<std::size_t>(pack_width(set)) * streams > stream_budget)
        set = static_cast<InstructionSet>(static_cast<int>(set) - 1);
    return set;
}

#define MOLVENAR_RUN_PACKS(set)                                                                   \
    run_packs<Recurrence, shape_of(set, Recurrence::streams).width,                               \
              shape_of(set, Recurrence::streams).groups>(r, begin, end, state, settings)

// One entry per instruction set; the wider ones are compiled for their
// instruction set only, so one build runs on every x86 processor.
#if defined(__x86_64__) || defined(__i386__)
template <class Recurrence>
__attribute__((target("avx512f"))) std::size_t run_avx512f(const Recurrence& r, std::size_t begin, std::size_t end,
                                                           State<Recurrence>& state,
                                                           const CallSettings& settings) noexcept {
    return MOLVENAR_RUN_PACKS(InstructionSet::avx512f);
}

template <class Recurrence>
__attribute__((target("avx2"))) std::size_t run_avx2(const Recurrence& r, std::size_t begin, std::size_t end,
                                                     State<Recurrence>& state,
                                                     const CallSettings& settings) noexcept {
    return MOLVENAR_RUN_PACKS(InstructionSet::avx2);
}
#endif

template <class Recurrence>
std::size_t run_sse2(const Recurrence& r, std::size_t begin, std::size_t end, State<Recurrence>& state,
                     const CallSettings& settings) noexcept {
    return MOLVENAR_RUN_PACKS(InstructionSet::sse2);
}

// Computes the positions [begin, p) of the recurrence from the true `state`
// at begin and returns p, with `state` set to the true state at p. The caller
// computes [p, end) with its plain loop; p is begin when speculation cannot
// pay (a short run, a slow contraction, a state that is not finite).
template <class Recurrence>
std::size_t run(const Recurrence& r, std::size_t begin, std::size_t end, State<Recurrence>& state) noexcept {
    if (begin >= end || !all_finite<Recurrence>(state))
        return begin;
    const CallSettings settings = call_settings();
    const InstructionSet path = settings.forced ? settings.path : path_for(settings.path, Recurrence::streams);
    switch (path) {
#if defined(__x86_64__) || defined(__i386__)
        case InstructionSet::avx512f: return run_avx512f(r, begin, end, state, settings);
        case InstructionSet::avx2: return run_avx2(r, begin, end, state, settings);
#endif
        case InstructionSet::sse2: return run_sse2(r, begin, end, state, settings);
        default: return begin;
    }
}

}  // namespace molvenar::lanes
