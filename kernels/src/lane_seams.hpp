// The scalar side of the lane engine: states, the layout of the lanes'
// chunks, and the walk along the seams that makes every output exact.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>

#include "lane_controls.hpp"
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
    std::array<double, Recurrence::produced_count> produced;
    r.template step<false>(state, r.template feed<double>(i), produced);
    if (!write)
        return;
    std::array<double, Recurrence::output_count> outputs;
    r.template derive<false>(produced, outputs);
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
            record(Event::seam_step);
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

// For a recurrence whose outputs are the values its step hands out.
struct OutputsAsProduced {
    template <bool, class T, std::size_t M>
    MOLVENAR_INLINE static void derive(const std::array<T, M>& produced, std::array<T, M>& outputs) noexcept {
        outputs = produced;
    }
};

}  // namespace molvenar::lanes
