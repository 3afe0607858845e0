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

// What a lane's guess may use besides the series: the true state entering
// position `begin`, where the lanes begin, and how far back a guess reaches
// when that state is further.
template <class Recurrence>
struct Anchor {
    std::size_t begin;
    State<Recurrence> state;
    std::size_t reach;

    // The first position a guess for a lane starting at i sums from.
    std::size_t from(std::size_t i) const noexcept { return i - std::min(i - begin, reach); }
    bool reaches_begin(std::size_t from) const noexcept { return from == begin; }
};

// A geometric sum over the positions [from, to) and the weight of what came
// before them.
struct Tail {
    double sum;    // Σ c^(to - 1 - t) × feed(t)
    double decay;  // c^(to - from)
};

// The tail of the values a recurrence feeds its steps, in packs of N
// positions, four packs at a time (four chains of dependent sums, each a
// quarter as long). The fewer than N positions the packs leave at the
// oldest end are summed one by one first; the first group of four may lack
// its oldest packs.
template <int N, class Recurrence>
MOLVENAR_INLINE Tail geometric_tail(const Recurrence& r, std::size_t from, std::size_t to, double c) noexcept {
    constexpr std::size_t packs = 4;
    const std::size_t count = (to - from) / N;  // whole packs
    const std::size_t head_end = to - count * N;
    const std::size_t groups = (count + packs - 1) / packs;
    const std::size_t missing = groups * packs - count;  // in the first group

    double head = 0.0, head_decay = 1.0;
    for (std::size_t t = from; t < head_end; ++t) {
        head = head * c + r.template feed<double>(t);
        head_decay = head_decay * c;
    }
    // weight[a] = c^(N - 1 - a): the age of lane a within its pack.
    double power[N];
    power[0] = 1.0;
    for (int a = 1; a < N; ++a)
        power[a] = power[a - 1] * c;
    Pack<N> weight;
    for (int a = 0; a < N; ++a)
        weight.v[a] = power[N - 1 - a];
    const double pack_decay = power[N - 1] * c;  // c^N
    static_assert(packs == 4, "block_decay is pack_decay to the fourth");
    const double block_decay = (pack_decay * pack_decay) * (pack_decay * pack_decay);  // c^(4N)

    Pack<N> sums[packs];
    double packs_decay = 1.0;  // c^(to - head_end)
    std::size_t t = head_end;
    for (std::size_t k = 0; k < packs; ++k) {
        sums[k] = broadcast<Pack<N>>(0.0);
        if (groups != 0 && k >= missing) {
            sums[k] = r.template feed<Pack<N>>(t);
            t += N;
            packs_decay = packs_decay * pack_decay;
        }
    }
    for (; t < to; t += packs * N) {
        MOLVENAR_UNROLL
        for (std::size_t k = 0; k < packs; ++k)
            sums[k] = sums[k] * block_decay + r.template feed<Pack<N>>(t + k * N);
        packs_decay = packs_decay * block_decay;
    }
    // The last group's packs are 3, 2, 1 and 0 packs from the end.
    Pack<N> total = sums[0];
    for (std::size_t k = 1; k < packs; ++k)
        total = total * pack_decay + sums[k];
    total = total * weight;
    double sum = head * packs_decay;
    for (int a = 0; a < N; ++a)
        sum = sum + total.v[a];
    return Tail{sum, head_decay * packs_decay};
}

}  // namespace molvenar::lanes
