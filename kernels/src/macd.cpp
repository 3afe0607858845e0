#include "macd.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "errors/fault_report.hpp"
#include "forgetting_by_period.hpp"
#include "lane_engine.hpp"
#include "nan_fill.hpp"
#include "simd_pack.hpp"
#include "smoothing.hpp"

namespace molvenar {
namespace {

// Mean of the `period` values that end at position `last`, summed from the
// newest value to the oldest, starting at -0.0.
double window_mean(const unaligned_double* in, std::size_t last, Period period) noexcept {
    double sum = -0.0;
    for (std::size_t k = 0; k < period; ++k)
        sum += in[last - k];
    return sum / static_cast<double>(period);
}

// slow_period + signal_period - 2 without wrap-around: a start beyond the
// largest word is beyond every position, so saturating keeps the comparison.
std::size_t signal_start_index(Period slow_period, Period signal_period) noexcept {
    std::size_t start;
    if (__builtin_add_overflow(slow_period - 2, signal_period, &start))
        return std::numeric_limits<std::size_t>::max();
    return start;
}

// The smoothing of each of the three averages.
struct Factors {
    Smoothing fast, slow, signal;
};

// The period of each of the three averages.
struct Periods {
    Period fast, slow, signal;
};

// The histogram: the MACD line minus the signal, and NaN (the marker) while
// the signal has no value.
template <class T>
MOLVENAR_INLINE T histogram(T line, T signal) noexcept {
    return select(is_nan(signal), broadcast<T>(missing_value), line - signal);
}

// The three averages once the fast and slow ones are seeded and the signal
// start index is behind, for the lane engine. There the plain loop's step
// reduces to this while the fast average is a number (its state is then
// regular); a NaN fast average would be seeded afresh, which only the plain
// loop does.
struct MacdRecurrence {
    static constexpr std::size_t state_size = 3;  // fast, slow, signal
    static constexpr std::size_t produced_count = 2;
    static constexpr std::size_t output_count = 3;
    static constexpr std::size_t streams = 4;
    static constexpr lanes::Shapes shapes = lanes::macd_shapes, large_shapes = lanes::macd_large_shapes;
    static constexpr bool has_gaps = true;

    const unaligned_double* in;
    unaligned_double* outputs[3];  // MACD, signal, histogram
    Factors f;
    Periods periods;

    template <class T>
    MOLVENAR_INLINE T feed(std::size_t i) const noexcept {
        return load<T>(in + i);
    }

    // A step hands out the MACD line and the signal; the histogram follows
    // from them.
    template <bool Clean, class T>
    MOLVENAR_INLINE void step(std::array<T, 3>& state, T x, std::array<T, 2>& produced) const noexcept {
        const T fast = f.fast.next(state[0], x);
        const T slow = f.slow.next(state[1], x);
        const T line = fast - slow;
        const T updated = f.signal.next(state[2], line);
        if constexpr (Clean) {
            // No gap, and the signal is a number: were it NaN, it would stay
            // so here and the engine would step the tile again.
            state = {fast, slow, updated};
            produced = {line, updated};
        } else {
            const T missing = broadcast<T>(missing_value);
            const T signal = select(is_nan(state[2]), line, updated);
            const auto gap = is_nan(x);
            state[0] = select(gap, state[0], fast);
            state[1] = select(gap, state[1], slow);
            state[2] = select(gap, state[2], signal);
            produced[0] = select(gap, missing, line);
            produced[1] = select(gap, missing, signal);
        }
    }
    // A NaN signal (a gap, or before the signal starts) leaves the histogram NaN.
    template <bool Clean, class T>
    MOLVENAR_INLINE void derive(const std::array<T, 2>& produced, std::array<T, 3>& outputs) const noexcept {
        const T line = produced[0], signal = produced[1];
        if constexpr (Clean)
            outputs = {line, signal, line - signal};
        else
            outputs = {line, signal, histogram(line, signal)};
    }

    // Both averages follow the values and the MACD line stays near zero.
    lanes::State<MacdRecurrence> plain_guess(std::size_t i) const noexcept {
        const double x = is_finite(in[i]) ? double{in[i]} : 0.0;
        return {x, x, 0.0};
    }

    // A guess's sums weigh the values by powers of each complement.
    template <int N>
    struct Powers {
        lanes::TailPowers<N> fast, slow, signal;
    };
    template <int N>
    MOLVENAR_INLINE Powers<N> tail_powers() const noexcept {
        return {lanes::TailPowers<N>(f.fast.complement), lanes::TailPowers<N>(f.slow.complement),
                lanes::TailPowers<N>(f.signal.complement)};
    }

    // The three averages where the anchor is (where the lanes begin, or the
    // lane before starts), or the plain guess far enough back, carried
    // forward by the values since. The fast and slow averages are geometric
    // sums of the values. The signal is one of the MACD line, fast - slow,
    // and a geometric sum of such sums is again one of the values
    // (weighted_by_signal), so three sums over the values give all three
    // averages. When the signal's factor is close to another's, that
    // form loses its precision, and the signal starts at the MACD line. A
    // gap among the values leaves the plain guess. True when the sums made
    // the guess.
    template <int N, class Anchor>
    MOLVENAR_INLINE bool guess(lanes::State<MacdRecurrence>& state, std::size_t i,
                               const Anchor& anchor) const noexcept {
        const std::size_t from = anchor.from(i);
        const lanes::State<MacdRecurrence> before =
            anchor.reaches(from) ? anchor.state : plain_guess(from);
        const lanes::Tail fast_tail = lanes::geometric_tail<N>(*this, from, i, anchor.powers.fast);
        const lanes::Tail slow_tail = lanes::geometric_tail<N>(*this, from, i, anchor.powers.slow);
        const lanes::Tail signal_tail = lanes::geometric_tail<N>(*this, from, i, anchor.powers.signal);
        const double fast = fast_tail.decay * before[0] + f.fast.factor * fast_tail.sum;
        const double slow = slow_tail.decay * before[1] + f.slow.factor * slow_tail.sum;
        double signal = fast - slow;
        if (separate(f.fast) && separate(f.slow))
            signal = signal_tail.decay * before[2] +
                     f.signal.factor * (weighted_by_signal(f.fast, fast, before[0], signal_tail) -
                                        weighted_by_signal(f.slow, slow, before[1], signal_tail));
        state = {fast, slow, signal};
        const bool summed = lanes::all_finite<MacdRecurrence>(state);
        if (!summed)
            state = plain_guess(i);
        return summed;
    }

    // Σ c^(i - 1 - t) × A(t) over the positions t of the tail, for an average
    // A of the values with factor `a` that is `last` at i - 1 and was `first`
    // before the tail, where c is the signal's complement: in exact
    // arithmetic (a.c × last - a.c × c^L × first - c × a.factor × T) / (a.c - c),
    // with a.c the average's complement and T the tail of the values in c.
    MOLVENAR_INLINE double weighted_by_signal(const Smoothing& a, double last, double first,
                                              const lanes::Tail& signal_tail) const noexcept {
        const double c = f.signal.complement;
        return (a.complement * last - a.complement * signal_tail.decay * first - c * a.factor * signal_tail.sum) /
               (a.complement - c);
    }
    bool separate(const Smoothing& a) const noexcept {
        return std::fabs(a.complement - f.signal.complement) >= 1.0 / 64.0;
    }

    bool regular(const lanes::State<MacdRecurrence>& state) const noexcept { return !std::isnan(state[0]); }

    // The warm-up: from the sums, all three agreed bit for bit after 4 to 6
    // bits' worth of the slowest contraction on average, on calm to volatile
    // walks (bench/warm_up_study.cpp). A warm-up of 7 leaves one seam in two
    // or three runs of lanes to recompute, some 15 steps: cheaper than the
    // steps a longer warm-up would add to every lane. The reach: from the
    // plain guess the averages are within a few percent of the truth, so a
    // sum reaching back 52 bits' worth of the slower one's contraction has
    // forgotten that.
    lanes::Forgetting forgetting() const noexcept {
        // A longer period contracts more slowly, and never faster.
        const Period slower = std::max(periods.fast, periods.slow), slowest = std::max(slower, periods.signal);
        return {lanes::steps_for(lanes::exponential_per_bit.of(slowest), 7.0),
                lanes::steps_for(lanes::exponential_per_bit.of(slower), 52.0)};
    }

    unaligned_double* output(std::size_t k) const noexcept { return outputs[k]; }
    const unaligned_double* lanes_read() const noexcept { return in; }
};

}  // namespace

void compute_macd(InputSeries input, Period fast_period, Period slow_period,
                  Period signal_period, OutputSeries macd, OutputSeries signal,
                  OutputSeries hist) noexcept {
    const Factors f{smoothing_of_period(fast_period), smoothing_of_period(slow_period),
                    smoothing_of_period(signal_period)};
    const std::size_t signal_start = signal_start_index(slow_period, signal_period);

    const std::size_t n = input.count;
    // A seed reads fast_period values back from a position of at least
    // slow_period - 1: inside the input only while the fast window is shorter.
    check(fast_period <= slow_period, "MACD fast period longer than its slow period");
    // Every position is written to each output, so the first write outside
    // one is at the smallest count, to the first output of that count.
    const std::size_t reach = std::min({macd.count, signal.count, hist.count});
    if (reach < n)
        index_fault(reach, reach);

    const unaligned_double* in = input.values;
    unaligned_double* macd_out = macd.values;
    unaligned_double* signal_out = signal.values;
    unaligned_double* hist_out = hist.values;
    auto write_missing = [&](std::size_t i) {
        macd_out[i] = missing_value;
        signal_out[i] = missing_value;
        hist_out[i] = missing_value;
    };

    // Before slow_period - 1 the slow window is incomplete.
    const std::size_t warm_up = std::min(n, slow_period - 1);
    for (std::size_t i = 0; i < warm_up; ++i)
        write_missing(i);

    double fast_average = missing_value;
    double slow_average = missing_value;
    double signal_average = missing_value;
    auto step = [&](std::size_t i) {
        const double x = in[i];
        // Only NaN is a missing value; it leaves all three averages as they are.
        if (std::isnan(x)) {
            write_missing(i);
            return;
        }
        // Seeded from the windows ending here while the fast average has no
        // number; only the fast one is tested.
        if (std::isnan(fast_average)) {
            fast_average = window_mean(in, i, fast_period);
            slow_average = window_mean(in, i, slow_period);
        } else {
            fast_average = f.fast.next(fast_average, x);
            slow_average = f.slow.next(slow_average, x);
        }
        const double line = fast_average - slow_average;
        if (!std::isnan(signal_average))
            signal_average = f.signal.next(signal_average, line);
        else if (i >= signal_start)
            signal_average = line;
        macd_out[i] = line;
        signal_out[i] = signal_average;
        hist_out[i] = histogram(line, signal_average);
    };

    // The plain loop until all three averages hold numbers from the signal
    // start index on; then the lane engine takes a stretch, and the plain loop
    // finishes from where the engine's exact outputs end.
    std::size_t i = warm_up;
    auto averages_settled = [&] {
        return i >= signal_start && std::isfinite(fast_average) && std::isfinite(slow_average) &&
               std::isfinite(signal_average);
    };
    for (; i < n && !averages_settled(); ++i)
        step(i);
    lanes::State<MacdRecurrence> state{fast_average, slow_average, signal_average};
    const Periods periods{fast_period, slow_period, signal_period};
    i = lanes::run(MacdRecurrence{in, {macd_out, signal_out, hist_out}, f, periods}, i, n, state);
    fast_average = state[0];
    slow_average = state[1];
    signal_average = state[2];
    for (; i < n; ++i)
        step(i);
}

}  // namespace molvenar
