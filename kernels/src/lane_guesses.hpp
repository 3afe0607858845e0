// Guesses that start a lane a few units in the last place from the true
// state, so that its warm-up is short.
//
// An average that forgets its past by a factor c a step, s = c × s' + g(x),
// is in exact arithmetic at position i its state at an earlier position
// weighted by c^steps, plus each term since weighted by c^age. Such a sum
// needs no chain of dependent steps: summed in packs with a few
// accumulators, it takes a fraction of the time the steps would. When it
// reaches back to where the lanes begin, where the engine knows the true
// state, it misses the true state by the roundings of the two ways of
// computing it alone; otherwise it reaches back far enough that the plain
// guess it starts from is forgotten. The guess decides only how fast a lane
// agrees with the true chain, never a result.
#pragma once

#include <algorithm>
#include <cstddef>

#include "lane_seams.hpp"
#include "simd_pack.hpp"

namespace molvenar::lanes {

// What a lane's guess may use besides the series: a state entering position
// `begin` a few units in the last place from the true one (the true state
// where the lanes begin, or the summed guess of the lane before), how far
// back a guess reaches when that state is further, and what the recurrence
// weighs its sums with, worked out once for all the lanes of a run.
template <class Recurrence, class Powers>
struct Anchor {
    std::size_t begin;
    State<Recurrence> state;
    std::size_t reach;
    const Powers& powers;

    // The first position a guess for a lane starting at i sums from.
    std::size_t from(std::size_t i) const noexcept { return i - std::min(i - begin, reach); }
    // Whether a guess summing from there starts at the anchor's state.
    bool reaches(std::size_t from) const noexcept { return from == begin; }
};

// A geometric sum over the positions [from, to) and the weight of what came
// before them.
struct Tail {
    double sum;    // Σ c^(to - 1 - t) × feed(t)
    double decay;  // c^(to - from)
};

// A guess that does not reach back to its anchor sums whole groups of
// `tail_group` positions (the engine's reach is a multiple of it), whatever
// the pack.
inline constexpr std::size_t tail_group = 32;

// The powers of a factor c that a geometric sum in packs of N weighs with.
template <int N>
struct TailPowers {
    // Packs summed side by side, in as many chains of dependent sums: four
    // (eight packs of 2). Eight chains of packs of 4 kept the multipliers
    // busier, but MACD, which sums three series, then ran its large runs on
    // AVX2 a third slower: its function left fewer registers to its steps.
    static constexpr std::size_t packs = N == 2 ? 8 : 4;
    static_assert(tail_group % (packs * N) == 0, "a reach of whole tail groups is whole groups of packs");
    double c;
    Pack<N> weight;            // c^(N - 1 - a) for lane a of a pack
    double groups[packs + 1];  // c^(jN) for j packs; the last, a group's

    MOLVENAR_INLINE explicit TailPowers(double factor) noexcept : c(factor) {
        double power[N];
        power[0] = 1.0;
        for (int a = 1; a < N; ++a)
            power[a] = power[a - 1] * c;
        for (int a = 0; a < N; ++a)
            weight.v[a] = power[N - 1 - a];
        groups[0] = 1.0;
        groups[1] = power[N - 1] * c;
        for (std::size_t j = 2; j <= packs; ++j)
            groups[j] = groups[j - 1] * groups[1];
    }
};

// The sum of a pack's lanes, pairwise.
template <int N>
MOLVENAR_INLINE double sum_of(const Pack<N>& p) noexcept {
    double part[N];
    for (int a = 0; a < N; ++a)
        part[a] = p.v[a];
    for (int width = N / 2; width >= 1; width /= 2)
        for (int a = 0; a < width; ++a)
            part[a] = part[a] + part[a + width];
    return part[0];
}

// The tail of the values a recurrence feeds its steps, in packs of N
// positions, several packs at a time. The fewer than N positions the packs
// leave at the oldest end are summed one by one first, and the first group
// may lack its oldest packs; neither happens to a guess that does not reach
// back to its anchor.
template <int N, class Recurrence>
MOLVENAR_INLINE Tail geometric_tail(const Recurrence& r, std::size_t from, std::size_t to,
                                    const TailPowers<N>& p) noexcept {
    constexpr std::size_t packs = TailPowers<N>::packs;
    const std::size_t count = (to - from) / N;  // whole packs
    const std::size_t head_end = to - count * N;
    const std::size_t groups = (count + packs - 1) / packs;
    const std::size_t missing = groups * packs - count;  // in the first group

    double head = 0.0, head_decay = 1.0;
    for (std::size_t t = from; t < head_end; ++t) {
        head = head * p.c + r.template feed<double>(t);
        head_decay = head_decay * p.c;
    }

    Pack<N> sums[packs];
    std::size_t t = head_end;
    MOLVENAR_UNROLL
    for (std::size_t k = 0; k < packs; ++k) {
        sums[k] = broadcast<Pack<N>>(0.0);
        if (groups != 0 && k >= missing) {
            sums[k] = r.template feed<Pack<N>>(t);
            t += N;
        }
    }
    double packs_decay = groups != 0 ? p.groups[packs - missing] : 1.0;  // c^(to - head_end)
    const double block_decay = p.groups[packs];
    for (; t < to; t += packs * N) {
        MOLVENAR_UNROLL
        for (std::size_t k = 0; k < packs; ++k)
            sums[k] = sums[k] * block_decay + r.template feed<Pack<N>>(t + k * N);
        packs_decay = packs_decay * block_decay;
    }
    // The last group's packs are packs - 1, ..., 1, 0 packs from the end;
    // they are joined pairwise, so that the joins too take a few products
    // and sums one after the other rather than one per pack.
    MOLVENAR_UNROLL
    for (std::size_t apart = 1; apart < packs; apart *= 2)
        MOLVENAR_UNROLL
        for (std::size_t k = 0; k + apart < packs; k += 2 * apart)
            sums[k] = sums[k] * p.groups[apart] + sums[k + apart];
    const Pack<N> total = sums[0] * p.weight;
    return Tail{head * packs_decay + sum_of(total), head_decay * packs_decay};
}

}  // namespace molvenar::lanes
