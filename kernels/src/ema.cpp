#include "ema.hpp"

#include <algorithm>

#include "errors/fault_report.hpp"
#include "forgetting_by_period.hpp"
#include "lane_engine.hpp"
#include "nan_fill.hpp"
#include "simd_pack.hpp"
#include "smoothing.hpp"

namespace molvenar {
namespace {

// Start of the first run of `period` consecutive finite values, or n when
// there is none. Counting the current run finds the same window as trying
// every start in turn: the lowest start whose values are all finite.
std::size_t find_seed_start(const unaligned_double* in, std::size_t n, Period period) noexcept {
    std::size_t run = 0;
    for (std::size_t i = 0; i < n; ++i) {
        run = is_finite(in[i]) ? run + 1 : 0;
        if (run == period)
            return i + 1 - period;
    }
    return n;
}

// The average after its seed, for the lane engine: the plain loop's update,
// where a non-finite value leaves the average as it is and marks its position.
struct EmaRecurrence : lanes::OutputsAsProduced {
    static constexpr std::size_t state_size = 1;
    static constexpr std::size_t produced_count = 1;
    static constexpr std::size_t output_count = 1;
    static constexpr std::size_t streams = 2;
    static constexpr lanes::Shapes shapes = lanes::ema_shapes, large_shapes = lanes::ema_large_shapes;
    static constexpr bool has_gaps = true;

    const unaligned_double* in;
    unaligned_double* out;
    Smoothing smoothing;
    Period period;

    template <class T>
    MOLVENAR_INLINE T feed(std::size_t i) const noexcept {
        return load<T>(in + i);
    }

    template <bool Clean, class T>
    MOLVENAR_INLINE void step(std::array<T, 1>& state, T x, std::array<T, 1>& produced) const noexcept {
        T& average = state[0];
        const T next = smoothing.next(average, x);
        if constexpr (Clean) {
            average = next;
            produced[0] = next;
        } else {
            const auto finite = is_finite(x);
            average = select(finite, next, average);
            produced[0] = select(finite, average, broadcast<T>(missing_value));
        }
    }

    // The value itself is a fair guess of the average that follows it.
    double plain_guess(std::size_t i) const noexcept { return is_finite(in[i]) ? double{in[i]} : 0.0; }

    // A guess's sum weighs the values by powers of the complement.
    template <int N>
    MOLVENAR_INLINE lanes::TailPowers<N> tail_powers() const noexcept {
        return lanes::TailPowers<N>(smoothing.complement);
    }

    // The average where the anchor is (where the lanes begin, or the lane
    // before starts), or the value far enough back, carried forward by the
    // values since in one geometric sum. A gap among them leaves the value
    // itself. True when the sum made the guess.
    template <int N, class Anchor>
    MOLVENAR_INLINE bool guess(lanes::State<EmaRecurrence>& state, std::size_t i, const Anchor& anchor) const noexcept {
        const std::size_t from = anchor.from(i);
        const double before = anchor.reaches(from) ? anchor.state[0] : plain_guess(from);
        const lanes::Tail tail = lanes::geometric_tail<N>(*this, from, i, anchor.powers);
        const double average = tail.decay * before + smoothing.factor * tail.sum;
        const bool summed = is_finite(average);
        state[0] = summed ? average : plain_guess(i);
        return summed;
    }

    bool regular(const lanes::State<EmaRecurrence>&) const noexcept { return true; }
    // The warm-up: from the sum, two chains agreed bit for bit after 1 to 2
    // bits' worth of contraction on average, on calm to volatile walks
    // (bench/warm_up_study.cpp). A warm-up of 4 leaves one seam in two or
    // three runs of lanes to recompute, some 10 to 25 steps: cheaper than
    // the steps a longer warm-up would add to every lane. The reach: a value
    // lies within a few percent of the average that follows it, so a sum
    // reaching back 48 bits' worth of contraction has forgotten that much.
    lanes::Forgetting forgetting() const noexcept {
        const double per_bit = lanes::exponential_per_bit.of(period);
        return {lanes::steps_for(per_bit, 4.0), lanes::steps_for(per_bit, 48.0)};
    }
    unaligned_double* output(std::size_t) const noexcept { return out; }
    const unaligned_double* lanes_read() const noexcept { return in; }
};

}  // namespace

void compute_ema(Period period, InputSeries input, OutputSeries output) noexcept {
    const std::size_t n = input.count;
    // period - 1 wraps for period 0: one test for every unusable period.
    if (period - 1 >= n) {
        fill_missing(output);
        return;
    }

    const unaligned_double* in = input.values;
    unaligned_double* out = output.values;
    const std::size_t m = output.count;

    const std::size_t start = find_seed_start(in, n, period);
    if (start == n) {
        fill_missing(output);
        return;
    }
    const std::size_t seed_position = start + period - 1;
    // No value goes before the seed, nor beyond the input.
    fill_missing(output, 0, seed_position);
    fill_missing(output, n, m);

    double sum = -0.0;
    for (std::size_t i = start; i <= seed_position; ++i)
        sum += in[i];
    double average = sum / static_cast<double>(period);
    if (seed_position >= m)
        index_fault(seed_position, m);
    out[seed_position] = average;
    if (seed_position + 1 == n)
        return;

    const Smoothing smoothing = smoothing_of_period(period);

    std::size_t i = seed_position + 1;
    // The lane engine computes a first stretch when every position fits.
    if (m >= n) {
        lanes::State<EmaRecurrence> state{average};
        i = lanes::run(EmaRecurrence{{}, in, out, smoothing, period}, i, n, state);
        average = state[0];
    }
    const std::size_t end = std::min(n, m);
    for (; i < end; ++i) {
        const double x = in[i];
        // Passed over: the average stays, the position keeps NaN.
        if (!is_finite(x)) {
            out[i] = missing_value;
            continue;
        }
        average = smoothing.next(average, x);
        out[i] = average;
    }
    // Only a caller that breaks output.count == n gets here: the next finite
    // value would be written outside the output.
    for (; i < n; ++i)
        if (is_finite(in[i]))
            index_fault(i, m);
}

}  // namespace molvenar
