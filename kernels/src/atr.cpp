#include "atr.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "errors/fault_report.hpp"
#include "forgetting_by_period.hpp"
#include "lane_engine.hpp"
#include "nan_fill.hpp"
#include "simd_pack.hpp"
#include "smoothing.hpp"

namespace molvenar {
namespace {

// The larger of two candidates, the first on a tie. A NaN candidate is
// passed over: a NaN second one loses the comparison, a NaN first one is
// replaced. For one double a maximum and a fix-up that is rarely taken; for
// a pack two selects (the comparison keeps the first candidate unless the
// second is larger, so its result is NaN exactly when the first one is).
template <class T>
MOLVENAR_INLINE T larger_known(T first, T second) noexcept {
    if constexpr (std::is_same_v<T, double>) {
        double larger = (second > first) ? second : first;
        if (std::isnan(first))
            larger = second;
        return larger;
    } else {
        const T larger = select(second > first, second, first);
        return select(is_nan(larger), second, larger);
    }
}

// The largest of the three ranges of one interval; NaN only when all three
// are NaN.
template <class T>
MOLVENAR_INLINE T true_range(T high, T low, T previous_close) noexcept {
    const T a = high - low;
    const T b = magnitude(high - previous_close);
    const T c = magnitude(low - previous_close);
    return larger_known(larger_known(a, b), c);
}

// The true range for a pack, with one operation per comparison: while the
// first candidate is a number, the larger known one is the larger one, the
// first on a tie or when the second is NaN, so this is `true_range` wherever
// high - low is a number. Where high - low is NaN it is NaN (and the true
// range may not be): a NaN here calls for `true_range`.
template <class T>
MOLVENAR_INLINE T true_range_of_numbers(T high, T low, T previous_close) noexcept {
    const T a = high - low;
    const T b = magnitude(high - previous_close);
    const T c = magnitude(low - previous_close);
    const T ab = select(b > a, b, a);
    return select(c > ab, c, ab);
}

// The running average moved by the true range of the next position: the
// difference first, then its product with the reciprocal, then the sum.
template <class T>
MOLVENAR_INLINE T next_average(T average, T range, double reciprocal) noexcept {
    return average + ((range - average) * reciprocal);
}

// Position i reads low[i], then close[i - 1], then writes output[i] from
// `period` on. Faults on the first of these accesses that would leave its
// series, which only a caller breaking the length guarantees can cause.
void check_reach(std::size_t n, InputSeries low, InputSeries close, Period period,
                 OutputSeries output) noexcept {
    const std::size_t low_end = std::max<std::size_t>(low.count, 1);
    const std::size_t close_end = close.count < n ? close.count + 1 : n;
    const std::size_t output_end = std::max(period, output.count);
    const std::size_t first = std::min({low_end, close_end, output_end});
    if (first >= n)
        return;
    if (first == low_end)
        index_fault(first, low.count);
    if (first == close_end)
        index_fault(first - 1, close.count);
    index_fault(first, output.count);
}

// The running average after the first one, for the lane engine. The step
// consumes the true range, which depends on the prices alone. For runs
// through the caches the ranges are computed ahead in packs
// (`prepared`) and written where the averages go: a lane reads each range
// before any lane writes the average there (a lane writes a position a
// chunk's steps after the lane after it read it, and ATR never steps a tile
// twice), and the scalar steps of the seam walk compute their own.
template <bool FromRanges>
struct AtrSteps : lanes::OutputsAsProduced {
    static constexpr std::size_t state_size = 1;
    static constexpr std::size_t produced_count = 1;
    static constexpr std::size_t output_count = 1;
    static constexpr std::size_t streams = 4;
    static constexpr lanes::Shapes shapes = lanes::atr_shapes, large_shapes = lanes::atr_large_shapes;
    // A NaN range makes the average NaN for good, in the lanes as in the
    // plain loop: no step differs for values that are not finite.
    static constexpr bool has_gaps = false;

    const unaligned_double *high, *low, *close;
    unaligned_double* out;
    double reciprocal;
    Period period;

    template <class T>
    MOLVENAR_INLINE T feed(std::size_t i) const noexcept {
        if constexpr (FromRanges && !std::is_same_v<T, double>)
            return load<T>(out + i);
        else
            return true_range(load<T>(high + i), load<T>(low + i), load<T>(close + (i - 1)));
    }

    // The true ranges of [from, to) in the output, in packs of N: first
    // taking every high - low for a number, and again the full way unless
    // the sum of the ranges is finite, which it is not when one of them is
    // NaN (nor when one is infinite, which only costs the second pass).
    template <int N>
    MOLVENAR_INLINE AtrSteps<true> prepared(std::size_t from, std::size_t to) const noexcept {
        using P = Pack<N>;
        const unaligned_double *h = high, *l = low, *c = close;
        unaligned_double* o = out;
        P sum = broadcast<P>(0.0);
        std::size_t i = from;
        for (; i + N <= to; i += N) {
            const P range = true_range_of_numbers(in_register(load<P>(h + i)), in_register(load<P>(l + i)),
                                                  in_register(load<P>(c + (i - 1))));
            sum = sum + range;
            store(o + i, range);
        }
        if (!all_finite<N, 1, 1>({{sum}})) [[unlikely]]
            for (i = from; i + N <= to; i += N)
                store(o + i, true_range(load<P>(h + i), load<P>(l + i), load<P>(c + (i - 1))));
        for (; i < to; ++i)
            o[i] = feed<double>(i);
        return AtrSteps<true>{{}, high, low, close, out, reciprocal, period};
    }

    template <bool, class T>
    MOLVENAR_INLINE void step(std::array<T, 1>& state, T range, std::array<T, 1>& produced) const noexcept {
        state[0] = next_average(state[0], range, reciprocal);
        produced[0] = state[0];
    }

    // The average follows the ranges: the mean of the last few finite ones
    // up to position i is a fair guess, closer than one range alone.
    double plain_guess(std::size_t i) const noexcept {
        constexpr std::size_t ranges = 16;
        double sum = 0.0;
        std::size_t count = 0;
        for (std::size_t j = i; j >= 1 && j + ranges > i; --j) {
            const double range = feed<double>(j);
            if (is_finite(range)) {
                sum += range;
                ++count;
            }
        }
        return count != 0 ? sum / static_cast<double>(count) : 0.0;
    }

    // A guess's sum weighs the ranges by powers of 1 - 1/period.
    template <int N>
    MOLVENAR_INLINE lanes::TailPowers<N> tail_powers() const noexcept {
        return lanes::TailPowers<N>(1.0 - reciprocal);
    }

    // The average where the anchor is (where the lanes begin, or the lane
    // before starts), or the plain guess far enough back, carried forward by
    // the ranges since in one geometric sum: a step keeps 1 - 1/period of the
    // average. A NaN range among them leaves the plain guess. True when the
    // sum made the guess.
    template <int N, class Anchor>
    MOLVENAR_INLINE bool guess(lanes::State<AtrSteps>& state, std::size_t i, const Anchor& anchor) const noexcept {
        const std::size_t from = anchor.from(i);
        const double before = anchor.reaches(from) ? anchor.state[0] : plain_guess(from);
        const lanes::Tail tail = lanes::geometric_tail<N>(*this, from, i, anchor.powers);
        const double average = tail.decay * before + reciprocal * tail.sum;
        const bool summed = is_finite(average);
        state[0] = summed ? average : plain_guess(i);
        return summed;
    }

    bool regular(const lanes::State<AtrSteps>&) const noexcept { return true; }
    // The warm-up: from the sum, two chains agreed bit for bit after 2 to 4
    // bits' worth of contraction on average, on calm to volatile walks
    // (bench/warm_up_study.cpp). A warm-up of 4 leaves a seam or two of a
    // run of lanes to recompute, some 20 steps each: cheaper than the steps
    // a longer warm-up would add to every lane. The reach: from the plain
    // guess, two chains agreed bit for bit after 48 to 50 bits' worth of
    // contraction on average, so a sum reaching back that far has forgotten
    // it.
    lanes::Forgetting forgetting() const noexcept {
        const double per_bit = lanes::wilder_per_bit.of(period);
        return {lanes::steps_for(per_bit, 4.0), lanes::steps_for(per_bit, 50.0)};
    }
    unaligned_double* output(std::size_t) const noexcept { return out; }
    // Through the caches the lanes read the ranges prepared in the output.
    const unaligned_double* lanes_read() const noexcept { return out; }
};

}  // namespace

void compute_atr(InputSeries high, InputSeries low, InputSeries close, Period period,
                 OutputSeries output) noexcept {
    const std::size_t n = high.count;
    if (period == 0 || period >= n) {
        fill_missing(output);
        return;
    }
    check_reach(n, low, close, period, output);

    const unaligned_double* h = high.values;
    const unaligned_double* l = low.values;
    const unaligned_double* c = close.values;
    unaligned_double* out = output.values;
    // No average before position `period`, nor beyond the input.
    fill_missing(output, 0, period);
    fill_missing(output, n, output.count);

    const double reciprocal = wilder_factor(period);
    // Position 0 has no previous close, so the first average covers the
    // ranges of positions 1 to period and lands at position period.
    double sum = +0.0;
    for (std::size_t i = 1; i <= period; ++i)
        sum += true_range<double>(h[i], l[i], c[i - 1]);
    double average = sum / static_cast<double>(period);
    out[period] = average;

    lanes::State<AtrSteps<false>> state{average};
    std::size_t i = lanes::run(AtrSteps<false>{{}, h, l, c, out, reciprocal, period}, period + 1, n, state);
    average = state[0];
    for (; i < n; ++i) {
        average = next_average(average, true_range<double>(h[i], l[i], c[i - 1]), reciprocal);
        out[i] = average;
    }
}

}  // namespace molvenar
