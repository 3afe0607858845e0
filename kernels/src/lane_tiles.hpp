// The SIMD side of the lane engine: lanes side by side in packs, stepped
// through their chunks block by block.
//
// A pack holds one position of N lanes. The series hold each lane's
// positions one after the other, so a block of positions of the N lanes of
// a pack is read as rows (N consecutive positions of one lane) and
// transposed into packs of one position each, and the values the steps
// produce are transposed back into rows before they are stored. With
// streaming stores (past the caches) a block is a line of 8 positions, and
// every lane stores each line of an output whole before the next: such
// stores combine a line only when it is written at once.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

#include "lane_seams.hpp"
#include "simd_pack.hpp"

namespace molvenar::lanes {

// Positions per cache line of 64 bytes.
inline constexpr std::size_t line_length = 8;

// Positions each lane takes per step of the lanes: a whole line for
// streaming stores, which need whole lines; otherwise a block of N, which
// asks fewer registers.
template <int N, bool Stream>
inline constexpr std::size_t line_of = Stream ? line_length : static_cast<std::size_t>(N);

// Positions every lane advances between two checks of the states for values
// that were not finite.
inline constexpr std::size_t tile_length = 32;

constexpr std::size_t round_up(std::size_t value, std::size_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

template <class Recurrence, int N>
using PackState = std::array<Pack<N>, Recurrence::state_size>;

template <class Recurrence, int N>
using Produced = std::array<Pack<N>, Recurrence::produced_count>;

// How each output is written. Streaming stores write whole lines at
// addresses that start a line; the lanes start where the first output starts
// a line, and another output whose lines start `shift` positions later (its
// address is not a multiple of 64 bytes away) is written in lines that take
// the last `shift` positions of one line of the lanes and the first ones of
// the next.
template <class Recurrence>
struct Writes {
    std::array<bool, Recurrence::output_count> stream;
    std::array<std::size_t, Recurrence::output_count> shift;
    bool shifted;  // some shift is not 0
};

// The values the steps produced over a tile, a pack per position and pack of
// lanes, after the last line of the tile before: the lines of a shifted
// output cross from one line of the lanes to the next.
template <class Recurrence, int N, int Groups>
struct Produce {
    static constexpr std::ptrdiff_t kept = line_length;
    Pack<N> y[Recurrence::produced_count][kept + tile_length][Groups];

    // Position `at` of the tile; from -kept on.
    MOLVENAR_INLINE Produced<Recurrence, N> at(std::ptrdiff_t position, int g) const noexcept {
        Produced<Recurrence, N> values;
        for (std::size_t v = 0; v < Recurrence::produced_count; ++v)
            values[v] = y[v][kept + position][g];
        return values;
    }
    MOLVENAR_INLINE void keep(std::size_t position, int g, const Produced<Recurrence, N>& values) noexcept {
        for (std::size_t v = 0; v < Recurrence::produced_count; ++v)
            y[v][kept + static_cast<std::ptrdiff_t>(position)][g] = values[v];
    }
    // The tile's last line becomes the line before the next tile.
    MOLVENAR_INLINE void next_tile() noexcept {
        for (std::size_t v = 0; v < Recurrence::produced_count; ++v)
            for (std::ptrdiff_t i = 0; i < kept; ++i)
                for (int g = 0; g < Groups; ++g)
                    y[v][i][g] = y[v][tile_length + i][g];
    }
};

// What stays the same over a run of the lanes.
template <class Recurrence, int N, int Groups>
struct Run {
    std::size_t start[N * Groups];  // each lane's first position
    std::size_t first[N * Groups];  // the offset from which each lane writes
    Writes<Recurrence> writes;
    Produce<Recurrence, N, Groups> produce;
};

// Stores one lane's line of an output: `Blocks` rows of N positions.
template <int N, int Blocks>
MOLVENAR_INLINE void store_line(unaligned_double* to, const Pack<N> (&rows)[Blocks][N], int lane, bool streaming) {
    if (streaming) {
        MOLVENAR_UNROLL
        for (int block = 0; block < Blocks; ++block)
            stream(to + block * N, rows[block][lane]);
    } else {
        MOLVENAR_UNROLL
        for (int block = 0; block < Blocks; ++block)
            store(to + block * N, rows[block][lane]);
    }
}

// Output K of one lane at the tile positions [from, to), one by one.
template <class Recurrence, int N, int Groups, std::size_t K>
MOLVENAR_INLINE void write_positions(const Recurrence& r, const Produce<Recurrence, N, Groups>& produce, int g,
                                     int b, std::ptrdiff_t from, std::ptrdiff_t to, unaligned_double* at) noexcept {
    for (std::ptrdiff_t i = from; i < to; ++i) {
        std::array<double, Recurrence::produced_count> produced;
        MOLVENAR_UNROLL
        for (std::size_t v = 0; v < Recurrence::produced_count; ++v)
            produced[v] = produce.y[v][Produce<Recurrence, N, Groups>::kept + i][g].v[b];
        std::array<double, Recurrence::output_count> outputs;
        r.template derive<false>(produced, outputs);
        at[i] = outputs[K];
    }
}

// Output K of pack g's line at tile position `line`: the outputs derived from
// the produced values are transposed back into rows, and the first `Writers`
// lanes store theirs. The index is known when compiling, so that each output
// derives only its own values. A shifted output takes its values from the
// produce kept over the tile; its first line in a lane's chunk would start
// before the chunk, and is written position by position where it is the
// lane's.
template <class Recurrence, int N, int Groups, bool Stream, bool Clean, int Writers, std::size_t K>
MOLVENAR_INLINE void write_output(const Recurrence& r, const Produced<Recurrence, N> (&y)[line_of<N, Stream>],
                                  int g, std::size_t offset, std::size_t line,
                                  const Run<Recurrence, N, Groups>& run) noexcept {
    constexpr std::size_t Line = line_of<N, Stream>;
    constexpr int blocks = static_cast<int>(Line) / N;
    const auto shift = Stream ? static_cast<std::ptrdiff_t>(run.writes.shift[K]) : 0;
    const std::ptrdiff_t from = static_cast<std::ptrdiff_t>(line) - shift;
    Pack<N> rows[blocks][N];
    MOLVENAR_UNROLL
    for (int block = 0; block < blocks; ++block) {
        MOLVENAR_UNROLL
        for (int s = 0; s < N; ++s) {
            std::array<Pack<N>, Recurrence::output_count> outputs;
            if (shift == 0)
                r.template derive<Clean>(y[block * N + s], outputs);
            else
                r.template derive<false>(run.produce.at(from + block * N + s, g), outputs);
            rows[block][s] = outputs[K];
        }
        transpose(rows[block]);
    }
    unaligned_double* output = r.output(K) + offset;
    MOLVENAR_UNROLL
    for (int b = 0; b < Writers; ++b) {
        const std::size_t lane = static_cast<std::size_t>(g * N + b);
        unaligned_double* lane_output = output + run.start[lane];
        if (shift != 0 && offset + line == run.first[lane]) [[unlikely]]
            write_positions<Recurrence, N, Groups, K>(r, run.produce, g, b, static_cast<std::ptrdiff_t>(line),
                                                      from + static_cast<std::ptrdiff_t>(Line), lane_output);
        else
            store_line(lane_output + from, rows, b, Stream && run.writes.stream[K]);
    }
}

template <class Recurrence, int N, int Groups, bool Stream, bool Clean, int Writers, std::size_t... K>
MOLVENAR_INLINE void write_outputs(std::index_sequence<K...>, const Recurrence& r,
                                   const Produced<Recurrence, N> (&y)[line_of<N, Stream>], int g, std::size_t offset,
                                   std::size_t line, const Run<Recurrence, N, Groups>& run) noexcept {
    (write_output<Recurrence, N, Groups, Stream, Clean, Writers, K>(r, y, g, offset, line, run), ...);
}

// After the lanes' last tile: the positions at the end of each lane that
// the lines of shifted output K have not reached.
template <class Recurrence, int N, int Groups, std::size_t K>
MOLVENAR_INLINE void write_end(const Recurrence& r, std::size_t offset,
                               const Run<Recurrence, N, Groups>& run) noexcept {
    const auto shift = static_cast<std::ptrdiff_t>(run.writes.shift[K]);
    MOLVENAR_UNROLL
    for (int g = 0; g < Groups; ++g)
        MOLVENAR_UNROLL
        for (int b = 0; b < N; ++b)
            write_positions<Recurrence, N, Groups, K>(r, run.produce, g, b, -shift, 0,
                                                      r.output(K) + run.start[g * N + b] + offset);
}

template <class Recurrence, int N, int Groups, std::size_t... K>
MOLVENAR_INLINE void write_ends(std::index_sequence<K...>, const Recurrence& r, std::size_t offset,
                                const Run<Recurrence, N, Groups>& run) noexcept {
    (write_end<Recurrence, N, Groups, K>(r, offset, run), ...);
}

// One block of positions of every pack, at tile position `line`. The packs
// take their steps side by side, so that their chains of dependent
// operations overlap; then the first `WritingGroups` packs write their
// outputs, the first `Writers` lanes of each.
template <class Recurrence, int N, int Groups, bool Stream, bool Clean, int WritingGroups, int Writers>
MOLVENAR_INLINE void run_line(const Recurrence& r, PackState<Recurrence, N> (&packs)[Groups], std::size_t offset,
                              std::size_t line, Run<Recurrence, N, Groups>& run) noexcept {
    constexpr std::size_t Line = line_of<N, Stream>;
    constexpr int blocks = static_cast<int>(Line) / N;
    using P = Pack<N>;
    P x[Groups][Line];
    MOLVENAR_UNROLL
    for (int g = 0; g < Groups; ++g) {
        MOLVENAR_UNROLL
        for (int block = 0; block < blocks; ++block) {
            P rows[N];
            MOLVENAR_UNROLL
            for (int b = 0; b < N; ++b) {
                const std::size_t at = run.start[g * N + b] + offset + line + block * N;
                rows[b] = r.template feed<P>(at);
            }
            transpose(rows);
            MOLVENAR_UNROLL
            for (int s = 0; s < N; ++s)
                x[g][block * N + s] = rows[s];
        }
    }
    Produced<Recurrence, N> y[Groups][Line];
    MOLVENAR_UNROLL
    for (std::size_t s = 0; s < Line; ++s)
        MOLVENAR_UNROLL
        for (int g = 0; g < Groups; ++g)
            r.template step<Clean>(packs[g], x[g][s], y[g][s]);
    if (run.writes.shifted)
        MOLVENAR_UNROLL
        for (int g = 0; g < WritingGroups; ++g)
            MOLVENAR_UNROLL
            for (std::size_t s = 0; s < Line; ++s)
                run.produce.keep(line + s, g, y[g][s]);
    MOLVENAR_UNROLL
    for (int g = 0; g < WritingGroups; ++g)
        write_outputs<Recurrence, N, Groups, Stream, Clean, Writers>(
            std::make_index_sequence<Recurrence::output_count>{}, r, y[g], g, offset, line, run);
}

// Lines [from, to) of a tile of every pack. In the warm-up only lane 0 writes.
template <class Recurrence, int N, int Groups, bool Stream, bool Clean>
MOLVENAR_INLINE void run_lines(const Recurrence& r, PackState<Recurrence, N> (&packs)[Groups], std::size_t offset,
                               std::size_t length, bool warming, Run<Recurrence, N, Groups>& run) noexcept {
    for (std::size_t line = 0; line < length; line += line_of<N, Stream>) {
        if (warming)
            run_line<Recurrence, N, Groups, Stream, Clean, 1, 1>(r, packs, offset, line, run);
        else
            run_line<Recurrence, N, Groups, Stream, Clean, Groups, N>(r, packs, offset, line, run);
    }
}

// One tile of every pack, of `length` positions: a whole tile, whose length
// the compiler knows, but perhaps the last, which may end at any line.
template <class Recurrence, int N, int Groups, bool Stream, bool Clean>
MOLVENAR_INLINE void run_tile_lines(const Recurrence& r, PackState<Recurrence, N> (&packs)[Groups],
                                    std::size_t offset, std::size_t length, bool warming,
                                    Run<Recurrence, N, Groups>& run) noexcept {
    if (length == tile_length) [[likely]]
        run_lines<Recurrence, N, Groups, Stream, Clean>(r, packs, offset, tile_length, warming, run);
    else
        run_lines<Recurrence, N, Groups, Stream, Clean>(r, packs, offset, length, warming, run);
}

// The tile, as above. A state of one double per lane is stepped in a copy
// of the tile's own: GCC otherwise keeps the lanes' packs in memory over the
// tile, and each block's chain of steps waits for a store and a load (ATR
// ran about 10 % slower). MACD's three doubles stay where they are: its
// steps need the registers more, and ran up to 20 % slower with the copy.
template <class Recurrence, int N, int Groups, bool Stream, bool Clean>
MOLVENAR_INLINE void run_tile(const Recurrence& r, PackState<Recurrence, N> (&packs)[Groups], std::size_t offset,
                              std::size_t length, bool warming, Run<Recurrence, N, Groups>& run) noexcept {
    if constexpr (Recurrence::state_size == 1) {
        PackState<Recurrence, N> states[Groups];
        for (int g = 0; g < Groups; ++g)
            states[g] = packs[g];
        run_tile_lines<Recurrence, N, Groups, Stream, Clean>(r, states, offset, length, warming, run);
        for (int g = 0; g < Groups; ++g)
            packs[g] = states[g];
    } else {
        run_tile_lines<Recurrence, N, Groups, Stream, Clean>(r, packs, offset, length, warming, run);
    }
}

// Runs Groups packs of N lanes over the layout from their starting states
// (lane 0's is the true state, the others' are guesses) on the path Set,
// and reports each lane's state entering its chunk and after its last step.
// False when a lane's state turned irregular: it has not followed the plain
// loop, and the caller discards the run.
template <class Recurrence, InstructionSet Set, int N, int Groups, bool Stream>
MOLVENAR_INLINE bool run_lanes(const Recurrence& r, const Layout& layout,
                               const std::array<State<Recurrence>, N * Groups>& starting,
                               const Writes<Recurrence>& writes, LaneStates<Recurrence, N * Groups>& lanes) noexcept {
    constexpr std::size_t S = Recurrence::state_size;
    constexpr std::size_t Lanes = N * Groups;
    record(Event::lanes_ran);
    for (bool streaming : writes.stream)
        if (streaming)
            record(Event::streamed);

    Run<Recurrence, N, Groups> run;
    run.writes = writes;
    PackState<Recurrence, N> packs[Groups];
    for (std::size_t k = 0; k < Lanes; ++k) {
        run.start[k] = layout.lane_start(k);
        run.first[k] = k == 0 ? 0 : layout.warm_up;
        for (std::size_t c = 0; c < S; ++c)
            packs[k / N][c].v[k % N] = starting[k][c];
    }

    // The recurrence is copied so that the stores cannot be taken to change
    // its pointers. Each tile is first stepped as if all its values were
    // finite; a value that is not leaves some state component non-finite,
    // and then the tile is stepped again from where it began, with the
    // handling of gaps, and its outputs written again. The fence puts the
    // second writes after the first.
    const Recurrence local = r;
    PackState<Recurrence, N> entering[Groups];
    for (int g = 0; g < Groups; ++g)
        entering[g] = packs[g];
    // Tiles end where the warm-up ends, so that the lanes' states entering
    // their chunks are taken between two tiles.
    const std::size_t steps = layout.warm_up + layout.chunk;
    for (std::size_t offset = 0, length = 0; offset < steps; offset += length) {
        if (offset == layout.warm_up && offset != 0)
            for (int g = 0; g < Groups; ++g)
                entering[g] = packs[g];
        const bool warming = offset < layout.warm_up;
        length = std::min(tile_length, (warming ? layout.warm_up : steps) - offset);
        if constexpr (Recurrence::has_gaps) {
            PackState<Recurrence, N> before[Groups];
            for (int g = 0; g < Groups; ++g)
                before[g] = packs[g];
            run_tile<Recurrence, N, Groups, Stream, true>(local, packs, offset, length, warming, run);
            if (!all_finite(packs)) [[unlikely]] {
                for (int g = 0; g < Groups; ++g)
                    packs[g] = before[g];
                stream_fence();
                run_tile<Recurrence, N, Groups, Stream, false>(local, packs, offset, length, warming, run);
            }
        } else {
            run_tile<Recurrence, N, Groups, Stream, false>(local, packs, offset, length, warming, run);
        }
        run.produce.next_tile();
    }
    if (Stream && writes.shifted)
        write_ends(std::make_index_sequence<Recurrence::output_count>{}, local, steps, run);
    // Everything the lanes wrote comes before what the seam walk writes.
    stream_fence();

    for (std::size_t k = 0; k < Lanes; ++k) {
        for (std::size_t c = 0; c < S; ++c) {
            lanes.entering[k][c] = entering[k / N][c].v[k % N];
            lanes.final[k][c] = packs[k / N][c].v[k % N];
        }
    }
    for (const State<Recurrence>& final : lanes.final) {
        if (!r.regular(final)) {
            record(Event::left_to_plain_loop);
            return false;
        }
    }
    return true;
}

}  // namespace molvenar::lanes
