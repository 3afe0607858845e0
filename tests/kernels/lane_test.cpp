// The lane engine against the plain reference loops, bit for bit, on every
// instruction-set path this processor has: price walks with gaps and
// infinities of every density, lengths around the engine's thresholds, and
// lanes that are made to start wrong so that the seams are recomputed.
#include <algorithm>
#include <cmath>
#include <optional>
#include <cstdint>
#include <random>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "atr.hpp"
#include "ema.hpp"
#include "forgetting_by_period.hpp"
#include "lane_controls.hpp"
#include "lane_engine.hpp"
#include "macd.hpp"
#include "reference_kernels.hpp"
#include "test_support.hpp"

namespace molvenar::test {
namespace {

using lanes::Event;
using lanes::InstructionSet;

// How the lanes start: the engine's own warm-up and guesses, or forced ones.
struct Speculation {
    const char* name;
    std::size_t warm_up;  // lanes::no_override: the engine's own
    bool absurd;
};
constexpr Speculation speculations[] = {
    {"own warm-up", lanes::no_override, false},
    {"own warm-up, absurd guesses", lanes::no_override, true},
    {"no warm-up", 0, false},
    {"no warm-up, absurd guesses", 0, true},
    {"warm-up of 3, absurd guesses", 3, true},
};

// Forces a path and a speculation for one scope.
class Forced {
public:
    Forced(InstructionSet path, const Speculation& speculation) {
        lanes::testing::reset();
        EXPECT_TRUE(lanes::testing::force_path(path));
        lanes::testing::force_warm_up(speculation.warm_up);
        lanes::testing::force_absurd_guesses(speculation.absurd);
    }
    ~Forced() { lanes::testing::reset(); }
};

struct Bars {
    Values high, low, close;
};

// Price walks; at the chosen density a value is replaced by a NaN (payloads
// other than the fill pattern), an infinity or a zero.
class Walk {
public:
    explicit Walk(std::uint64_t seed) : random_(seed) {}

    std::size_t below(std::size_t bound) { return bound == 0 ? 0 : random_() % bound; }

    Values prices(std::size_t n) {
        std::normal_distribution<double> step(0.0, 1.0);
        Values values(n);
        double price = 100.0 + static_cast<double>(below(1000));
        for (double& value : values)
            value = price += step(random_);
        return values;
    }

    Values spoiled(Values values, double density) {
        static const double specials[] = {std::bit_cast<double>(std::uint64_t{0x7FF800000000BEEF}),
                                          std::bit_cast<double>(std::uint64_t{0xFFF80000000000CD}),
                                          inf, -inf, 0.0};
        std::bernoulli_distribution special(density);
        for (double& value : values)
            if (special(random_))
                value = specials[below(std::size(specials))];
        return values;
    }

    Values prices(std::size_t n, double density) { return spoiled(prices(n), density); }

    // High, low and close of a walk, each spoiled at the density.
    Bars bars(std::size_t n, double density) {
        const Values close = prices(n);
        Values high(n), low(n);
        for (std::size_t i = 0; i < n; ++i) {
            high[i] = close[i] + static_cast<double>(below(1000)) / 500.0;
            low[i] = close[i] - static_cast<double>(below(1000)) / 500.0;
        }
        return {spoiled(high, density), spoiled(low, density), spoiled(close, density)};
    }

    // NaN at every other position, from the first or the second: every seam
    // (chunks are whole blocks of an even count) falls on a gap, or none does.
    Values alternating_gaps(std::size_t n) {
        Values values = prices(n);
        const std::size_t phase = below(2);
        for (std::size_t i = phase; i < n; i += 2)
            values[i] = reference_nan;
        return values;
    }

    // Gaps from none to most; a long walk gets few, so that seeds are found.
    double density(std::size_t n) {
        static const double densities[] = {0.0, 0.0, 0.001, 0.02, 0.2, 0.6, 0.95};
        return densities[below(n > 10'000 ? 4 : std::size(densities))];
    }

    static constexpr double reference_nan = std::bit_cast<double>(std::uint64_t{0x7FF8000000000123});

private:
    std::mt19937_64 random_;
};

// Lengths that reach the engine under a forced warm-up: short ones, and those
// around the least length at which the lanes run (a chunk of one tile), in
// the shape of a run through the caches or of a large run.
std::size_t forced_length(Walk& walk, InstructionSet path, const lanes::Shapes& shapes,
                          const lanes::Shapes& large_shapes, std::size_t warm_up, std::size_t begin) {
    const bool large = walk.below(2) == 0;
    const std::size_t least = begin + lanes::least_length(path, large ? large_shapes : shapes, warm_up, large);
    switch (walk.below(4)) {
        case 0: return least - 1 + walk.below(3);
        case 1: return walk.below(4);
        default: return walk.below(12 * least);
    }
}

class LanePath : public ::testing::TestWithParam<InstructionSet> {
protected:
    void SetUp() override {
        if (!lanes::available(GetParam()))
            GTEST_SKIP() << lanes::name(GetParam()) << " is not available on this processor";
    }

    // Runs `trial` under each speculation: under the engine's own warm-up
    // long walks and walks of daily-bar lengths (given as the length), where
    // the lanes' chunks are shorter than their warm-up and the cost of the
    // lanes decides whether they run; short ones under forced warm-ups.
    // Every other trial is taken for a large run (streaming), whatever its
    // size. Checks that the lanes ran and that absurd guesses made seams
    // recompute.
    template <typename Trial>
    void each_speculation(Trial trial) {
        Walk lengths(0x1E5);
        for (const Speculation& speculation : speculations) {
            SCOPED_TRACE(speculation.name);
            Forced scope(GetParam(), speculation);
            const bool own = speculation.warm_up == lanes::no_override;
            for (int k = 0; k < (own ? 60 : 300); ++k) {
                SCOPED_TRACE(k % 2 == 0 ? "as a short run" : "as a large run");
                lanes::testing::force_large_runs(k % 2 == 0 ? lanes::LargeRuns::never : lanes::LargeRuns::always);
                const std::size_t daily = 200 + lengths.below(6'000);
                trial(speculation, !own ? 0 : k < 10 ? 20'000 + 3'000 * k : daily);
            }
            EXPECT_GT(lanes::testing::count(Event::lanes_ran), 0u);
            if (speculation.absurd) {
                EXPECT_GT(lanes::testing::count(Event::seam_recomputed), 0u);
            }
        }
    }
};

Period ema_period(Walk& walk, std::size_t n) {
    switch (walk.below(10)) {
        case 0: return 1;
        case 1: return 2;
        case 2: return n;
        case 3: return max_period;
        default: return 1 + walk.below(40);
    }
}

TEST_P(LanePath, EmaMatchesPlainLoop) {
    Walk walk(0xE3A1);
    each_speculation([&](const Speculation& speculation, std::size_t long_length) {
        const Period period = ema_period(walk, 40);
        const std::size_t begin = period == max_period ? 0 : period;
        const std::size_t n = long_length != 0 ? long_length
                                               : forced_length(walk, GetParam(), lanes::ema_shapes,
                                                               lanes::ema_large_shapes, speculation.warm_up, begin);
        const Values input = walk.below(5) == 0 ? walk.alternating_gaps(n) : walk.prices(n, walk.density(n));
        SCOPED_TRACE(::testing::Message() << "n=" << n << " period=" << period);
        Values output(n, untouched);
        compute_ema(period, view(input), view(output));
        ASSERT_TRUE(same_bits(reference::ema(period, input, n), output));
    });
}

TEST_P(LanePath, MacdMatchesPlainLoop) {
    Walk walk(0x3ACD1);
    each_speculation([&](const Speculation& speculation, std::size_t long_length) {
        const Period fast = 1 + walk.below(walk.below(2) == 0 ? 3 : 15);
        const Period slow = fast + 1 + walk.below(30);
        const Period signal = walk.below(12) == 0 ? max_period - walk.below(2) : 1 + walk.below(12);
        const std::size_t begin = slow + std::min<Period>(signal, 50);
        const std::size_t n = long_length != 0 ? long_length
                                               : forced_length(walk, GetParam(), lanes::macd_shapes,
                                                               lanes::macd_large_shapes, speculation.warm_up, begin);
        const Values input = walk.below(5) == 0 ? walk.alternating_gaps(n) : walk.prices(n, walk.density(n));
        SCOPED_TRACE(::testing::Message() << "n=" << n << " periods=" << fast << "," << slow << "," << signal);
        ASSERT_TRUE(reference::macd_matches(input, fast, slow, signal));
    });
}

TEST_P(LanePath, AtrMatchesPlainLoop) {
    Walk walk(0xA71);
    each_speculation([&](const Speculation& speculation, std::size_t long_length) {
        const Period period = walk.below(8) == 0 ? max_period : 1 + walk.below(30);
        const std::size_t begin = period == max_period ? 0 : period + 1;
        const std::size_t n = long_length != 0 ? long_length
                                               : forced_length(walk, GetParam(), lanes::atr_shapes,
                                                               lanes::atr_large_shapes, speculation.warm_up, begin);
        // Gaps are rarer here: one range that is NaN makes the rest NaN.
        const Bars bars = walk.bars(n, walk.density(n) / 50.0);
        const std::size_t m = n + walk.below(2) * 3;
        SCOPED_TRACE(::testing::Message() << "n=" << n << " m=" << m << " period=" << period);
        Values output(m, untouched);
        compute_atr(view(bars.high), view(bars.low), view(bars.close), period, view(output));
        ASSERT_TRUE(same_bits(reference::atr(bars.high, bars.low, bars.close, period, m), output));
    });
}

// ATR's lanes take the true ranges ahead, first as if every high - low were
// a number. One value that breaks that (a high or low that is NaN, with a
// range that still is one; an infinite one) must send them the full way:
// the bits stay the plain loop's wherever it falls, before, in or after the
// lanes.
TEST_P(LanePath, AtrRangesAroundOneOddValue) {
    Walk walk(0x0DD);
    constexpr double odd_values[] = {Walk::reference_nan, HUGE_VAL, -HUGE_VAL};
    Forced scope(GetParam(), speculations[0]);
    lanes::testing::force_large_runs(lanes::LargeRuns::never);
    for (std::size_t n : {300u, 2'500u}) {
        const Bars bars = walk.bars(n, 0.0);
        for (std::size_t at : {std::size_t{5}, n / 3, n - 2}) {
            for (double odd : odd_values) {
                for (bool in_high : {true, false}) {
                    Bars copy = bars;
                    (in_high ? copy.high : copy.low)[at] = odd;
                    const Bars& spoiled = copy;
                    SCOPED_TRACE(::testing::Message() << "n=" << n << " at " << at << " value " << odd
                                                      << (in_high ? " in high" : " in low"));
                    Values output(n, untouched);
                    compute_atr(view(spoiled.high), view(spoiled.low), view(spoiled.close), 14, view(output));
                    ASSERT_TRUE(same_bits(reference::atr(spoiled.high, spoiled.low, spoiled.close, 14, n), output));
                }
            }
        }
    }
    EXPECT_GT(lanes::testing::count(Event::lanes_ran), 0u);
}

// Every length of daily bars, from a year to twenty, under the engine's own
// warm-up: the cost of the lanes against the plain loop decides whether
// they run, with one pack or all, and in how long chunks, so every
// threshold of that choice lies in this range. The lanes must run at the
// longer of these lengths, and give the plain loop's bits at every one,
// also when their guesses are absurd and every seam is recomputed.
TEST_P(LanePath, DailyBarLengthsMatchPlainLoop) {
    Walk walk(0xDA11);
    constexpr std::size_t longest = 5'200;
    const Values prices = walk.prices(longest, 0.0005);
    const Values gapped = walk.prices(longest, 0.01);
    const Bars bars = walk.bars(longest, 0.0);
    for (const Speculation& speculation : {speculations[0], speculations[1]}) {
        SCOPED_TRACE(speculation.name);
        Forced scope(GetParam(), speculation);
        lanes::testing::force_large_runs(lanes::LargeRuns::never);
        for (std::size_t n = 200; n <= longest; n += n < 3'000 ? 1 : 13) {
            SCOPED_TRACE(::testing::Message() << "n=" << n);
            const std::size_t ran = lanes::testing::count(Event::lanes_ran);
            const Values input(prices.begin(), prices.begin() + static_cast<std::ptrdiff_t>(n));
            Values output(n, untouched);
            compute_ema(20, view(input), view(output));
            ASSERT_TRUE(same_bits(reference::ema(20, input, n), output));

            const Values holes(gapped.begin(), gapped.begin() + static_cast<std::ptrdiff_t>(n));
            ASSERT_TRUE(reference::macd_matches(n % 2 == 0 ? input : holes, 12, 26, 9));

            const Values high(bars.high.begin(), bars.high.begin() + static_cast<std::ptrdiff_t>(n));
            const Values low(bars.low.begin(), bars.low.begin() + static_cast<std::ptrdiff_t>(n));
            const Values close(bars.close.begin(), bars.close.begin() + static_cast<std::ptrdiff_t>(n));
            compute_atr(view(high), view(low), view(close), 14, view(output));
            ASSERT_TRUE(same_bits(reference::atr(high, low, close, 14, n), output));
            // MACD over gaps may be left with no settled stretch long enough.
            if (n >= 2'000) {
                ASSERT_GE(lanes::testing::count(Event::lanes_ran), ran + (n % 2 == 0 ? 3 : 2));
            }
        }
        if (speculation.absurd) {
            EXPECT_GT(lanes::testing::count(Event::seam_recomputed), 0u);
        }
    }
}

// The engine's own guesses sum the series back to the true state where the
// lanes begin; from there a lane agrees with the true chain within its short
// warm-up. A guess gone wrong would cost only speed, every seam replayed, so
// the replayed steps are counted: at daily-bar lengths, on walks without
// gaps, they stay a small share of the positions.
TEST_P(LanePath, OwnGuessesAgreeWithinTheWarmUp) {
    Walk walk(0x6E55);
    constexpr std::size_t longest = 6'000;
    const Values prices = walk.prices(longest);
    const Bars bars = walk.bars(longest, 0.0);
    Forced scope(GetParam(), speculations[0]);
    lanes::testing::force_large_runs(lanes::LargeRuns::never);
    std::size_t positions = 0;
    for (std::size_t n = 1'000; n <= longest; n += 250) {
        const auto part = [n](const Values& values) {
            return Values(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n));
        };
        const Values input = part(prices), high = part(bars.high), low = part(bars.low), close = part(bars.close);
        Values a(n), b(n), c(n);
        compute_ema(20, view(input), view(a));
        compute_macd(view(input), 12, 26, 9, view(a), view(b), view(c));
        compute_atr(view(high), view(low), view(close), 14, view(a));
        positions += 3 * n;
    }
    EXPECT_EQ(lanes::testing::count(Event::lanes_ran), 3u * 21u);
    EXPECT_LT(lanes::testing::count(Event::seam_step), positions / 50);
}

#if (defined(__x86_64__) || defined(__i386__)) && !defined(__AVX__)
unsigned registers_in_use() {
    unsigned low = 0, high = 0;
    asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(1));
    return low & ((1u << 2) | (1u << 6));  // AVX's and AVX-512's upper halves
}

__attribute__((target("avx"), noinline)) void use_wide_registers() {
    asm volatile("vxorpd %%ymm0, %%ymm0, %%ymm1" ::: "xmm1");
}

// Whether the upper halves of the wide registers are in use, as the
// processor tracks them (XGETBV with ECX = 1); nullopt where it does not
// tell: no such report, or one that misses a use made on purpose (some
// virtual machines).
std::optional<bool> wide_registers_in_use() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__builtin_cpu_supports("avx") || !__get_cpuid_count(0xD, 1, &eax, &ebx, &ecx, &edx) ||
        (eax & (1u << 2)) == 0)
        return std::nullopt;
    const unsigned now = registers_in_use();
    use_wide_registers();
    const bool reported = registers_in_use() != 0;
    asm volatile("vzeroupper" ::: "xmm0", "xmm1");
    if (!reported)
        return std::nullopt;
    return now != 0;
}

// A call that ran lanes on a wide path leaves the upper halves clear: left
// in use, they slow every later SSE instruction of the process, the plain
// loops' and the caller's (3 times, on one processor). Built without AVX, so
// that nothing but the lanes uses them.
TEST_P(LanePath, LeavesTheWideRegistersClear) {
    if (!wide_registers_in_use())
        GTEST_SKIP() << "the processor does not report which registers are in use";
    Walk walk(0x2E50);
    const Values prices = walk.prices(3'000);
    const Bars bars = walk.bars(3'000, 0.0);
    Values a(3'000), b(3'000), c(3'000);
    Forced scope(GetParam(), speculations[0]);
    compute_ema(20, view(prices), view(a));
    EXPECT_FALSE(*wide_registers_in_use()) << "EMA";
    compute_macd(view(prices), 12, 26, 9, view(a), view(b), view(c));
    EXPECT_FALSE(*wide_registers_in_use()) << "MACD";
    compute_atr(view(bars.high), view(bars.low), view(bars.close), 14, view(a));
    EXPECT_FALSE(*wide_registers_in_use()) << "ATR";
    EXPECT_EQ(lanes::testing::count(Event::lanes_ran), 3u);
}
#endif

// Chunks through the caches: whole blocks of a pack, no two lanes within a
// line of the same offset in their pages, and few positions left to the
// plain loop, at every length a short run may have.
TEST(LaneLayout, ShortChunksLeaveLittleAndKeepLanesApartInTheirPages) {
    for (std::size_t lanes : {2u, 4u, 8u}) {
        for (std::size_t warm_up : {0u, 32u, 64u}) {
            std::size_t most_left = 0;
            for (std::size_t length = warm_up + lanes; ; ++length) {
                if ((length - warm_up) / lanes >= lanes::long_chunk)
                    break;
                const std::size_t chunk = lanes::chunk_for(length, warm_up, lanes, false);
                if (chunk == 0)  // too short for lanes a line apart
                    continue;
                ASSERT_EQ(chunk % lanes::block_length, 0u) << length;
                for (std::size_t k = 1; k < lanes; ++k) {
                    const std::size_t offset = k * chunk % lanes::page_length;
                    ASSERT_GE(std::min(offset, lanes::page_length - offset), lanes::line_length)
                        << "length " << length << ", lanes " << lanes << ", lane " << k;
                }
                most_left = std::max(most_left, length - warm_up - lanes * chunk);
            }
            EXPECT_LT(most_left, lanes * 4 * lanes::block_length) << lanes << " lanes, warm-up " << warm_up;
        }
    }
}

// The warm-up is worked out without the library's logarithm; it agrees
// with the logarithm's count to a step, from factors that forget at once
// to ones that hardly contract.
TEST(LaneWarmUp, StepsToForgetAsByTheLogarithm) {
    for (double bits : {8.0, 10.0, 48.0, 52.0}) {
        for (double factor = 1e-300; factor < 1.0; factor = factor < 0.5 ? factor * 7.0 : 1.0 - (1.0 - factor) / 3.0) {
            const double exact = std::ceil(bits * std::log(2.0) / -std::log(factor));
            const std::size_t steps = lanes::steps_to_forget(factor, bits);
            if (!(exact < 1e9)) {
                EXPECT_TRUE(steps == lanes::unbounded || steps + 1 >= 1e9) << factor;
                continue;
            }
            EXPECT_NEAR(static_cast<double>(steps), exact, 1.0) << "factor " << factor << ", bits " << bits;
        }
    }
    EXPECT_EQ(lanes::steps_to_forget(1.0, 48.0), lanes::unbounded);
    EXPECT_EQ(lanes::steps_to_forget(0.0, 48.0), 1u);
    EXPECT_EQ(lanes::steps_to_forget(std::nan(""), 48.0), lanes::unbounded);
}

// The steps per bit of the periods most calls use are worked out while
// compiling; they must be the ones worked out at run time from the weights
// the kernels use, and longer periods are worked out at run time.
TEST(LaneWarmUp, TabledPeriodsAsAtRunTime) {
    for (std::size_t period = 1; period < lanes::tabled_periods + 3; ++period) {
        // Through a volatile, so that the compiler cannot fold them.
        volatile std::size_t opaque = period;
        const double exponential = smoothing_of_period(opaque).complement;
        const double wilder = 1.0 - wilder_factor(opaque);
        EXPECT_EQ(lanes::exponential_per_bit.of(period), lanes::steps_per_bit(exponential)) << period;
        EXPECT_EQ(lanes::wilder_per_bit.of(period), lanes::steps_per_bit(wilder)) << period;
    }
}

// A geometric tail summed in packs of N, several at a time, against the same
// sum step by step: they differ by roundings alone, at every length that
// leaves a different head and first group.
struct Series {
    const Values* values;
    template <class T>
    T feed(std::size_t i) const noexcept {
        return load<T>(values->data() + i);
    }
};

template <int N>
void check_geometric_tail() {
    Walk walk(0x7A11 + N);
    const Values values = walk.prices(400);
    for (std::size_t from : {0u, 1u, 5u}) {
        for (std::size_t to = from; to <= 300; ++to) {
            for (double c : {0.5, 0.9, 0.99}) {
                double sum = 0.0, decay = 1.0;
                for (std::size_t t = from; t < to; ++t) {
                    sum = sum * c + values[t];
                    decay = decay * c;
                }
                const lanes::Tail tail = lanes::geometric_tail<N>(Series{&values}, from, to, lanes::TailPowers<N>(c));
                EXPECT_NEAR(tail.sum, sum, 1e-12 * std::fabs(sum)) << N << ": [" << from << ", " << to << ")";
                EXPECT_NEAR(tail.decay, decay, 1e-12 * decay) << N << ": [" << from << ", " << to << ")";
            }
        }
    }
}

TEST(LaneGuesses, GeometricTailInPacks) {
    check_geometric_tail<2>();
    check_geometric_tail<4>();
    check_geometric_tail<8>();
}

// A series `offset` bytes past the start of a cache line: an output that
// holds `untouched`, or an input that holds the values.
class PlacedSeries {
public:
    PlacedSeries(std::size_t count, std::size_t offset) : storage_(count * sizeof(double) + 128), count_(count) {
        const auto base = reinterpret_cast<std::uintptr_t>(storage_.data());
        values_ = reinterpret_cast<unaligned_double*>(storage_.data() + (64 - base % 64) % 64 + offset);
        for (std::size_t i = 0; i < count; ++i)
            values_[i] = untouched;
    }
    PlacedSeries(const Values& values, std::size_t offset) : PlacedSeries(values.size(), offset) {
        for (std::size_t i = 0; i < count_; ++i)
            values_[i] = values[i];
    }
    OutputSeries view() { return {values_, count_}; }
    InputSeries input() const { return {values_, count_}; }
    Values values() const {
        Values copy(count_);
        for (std::size_t i = 0; i < count_; ++i)
            copy[i] = values_[i];
        return copy;
    }

private:
    std::vector<unsigned char> storage_;
    std::size_t count_;
    unaligned_double* values_;
};

// Outputs at every place in a cache line, some not even at a whole double,
// and MACD's three outputs at different places: with streaming stores, the
// lanes start where the first output starts a line and stream every output
// in lines that start where its own lines start. Once with the engine's own
// warm-up, once with gaps and lanes that start wrong, so that tiles are
// stepped again and seams recomputed over what was streamed.
TEST_P(LanePath, OutputsAtAnyAddress) {
    Walk walk(0x0FF5E7);
    constexpr std::size_t n = 20'000;
    Values gapped = walk.prices(n);
    for (std::size_t i = 100; i < n; i += 37)
        gapped[i] = Walk::reference_nan;
    const Bars bars = walk.bars(n, 0.0);
    // Each call runs lanes, wherever its outputs lie, but MACD when its
    // first output is not at a whole double: its lanes could not stream.
    auto runs_lanes = [](auto call, bool expected = true) {
        const std::size_t before = lanes::testing::count(Event::lanes_ran);
        call();
        EXPECT_EQ(lanes::testing::count(Event::lanes_ran) > before, expected);
    };
    for (const Speculation& speculation : {speculations[0], speculations[3]}) {
        SCOPED_TRACE(speculation.name);
        Forced scope(GetParam(), speculation);
        lanes::testing::force_large_runs(lanes::LargeRuns::always);
        const Values input = speculation.absurd ? gapped : walk.prices(n, 0.001);
        const reference::MacdLines expected = reference::macd(input, 12, 26, 9);
        for (std::size_t offset : {0, 8, 16, 24, 32, 40, 48, 56, 3, 61}) {
            SCOPED_TRACE(::testing::Message() << "offset " << offset);
            PlacedSeries ema_output(n, offset);
            runs_lanes([&] { compute_ema(20, view(input), ema_output.view()); });
            ASSERT_TRUE(same_bits(reference::ema(20, input, n), ema_output.values()));

            PlacedSeries lines[3] = {{n, offset}, {n, (offset + 24) % 64}, {n, (offset + 8 * (offset % 3)) % 64}};
            runs_lanes([&] { compute_macd(view(input), 12, 26, 9, lines[0].view(), lines[1].view(), lines[2].view()); },
                       offset % 8 == 0);
            ASSERT_TRUE(same_bits(expected.macd, lines[0].values()));
            ASSERT_TRUE(same_bits(expected.signal, lines[1].values()));
            ASSERT_TRUE(same_bits(expected.hist, lines[2].values()));

            PlacedSeries atr_output(n, offset);
            runs_lanes([&] { compute_atr(view(bars.high), view(bars.low), view(bars.close), 14, atr_output.view()); });
            ASSERT_TRUE(same_bits(reference::atr(bars.high, bars.low, bars.close, 14, n), atr_output.values()));
        }
        EXPECT_GT(lanes::testing::count(Event::streamed), 0u);
        if (speculation.absurd) {
            EXPECT_GT(lanes::testing::count(Event::seam_recomputed), 0u);
        }
    }
}

// Inputs at every place in a cache line, some not even at a whole double, in
// runs through the caches: their lanes start on a line of the series they
// read, the positions before stepped one by one, and a value on the way that
// only the plain loop carries on from leaves the rest to it.
TEST_P(LanePath, InputsAtAnyAddress) {
    Walk walk(0x1AD5E7);
    for (const Speculation& speculation : {speculations[0], speculations[3]}) {
        SCOPED_TRACE(speculation.name);
        Forced scope(GetParam(), speculation);
        lanes::testing::force_large_runs(lanes::LargeRuns::never);
        for (std::size_t n : {300u, 2'500u}) {
            const Values values = walk.prices(n, n == 300 ? 0.0 : 0.01);
            const Bars bars = walk.bars(n, n == 300 ? 0.0 : 0.005);
            for (std::size_t offset : {0, 8, 16, 24, 32, 40, 48, 56, 3, 61}) {
                SCOPED_TRACE(::testing::Message() << n << " values at offset " << offset);
                const PlacedSeries input(values, offset);
                for (Period period : {Period{1}, Period{9}, Period{20}}) {
                    PlacedSeries ema_output(n, 0);
                    compute_ema(period, input.input(), ema_output.view());
                    ASSERT_TRUE(same_bits(reference::ema(period, values, n), ema_output.values())) << period;
                }
                const reference::MacdLines expected = reference::macd(values, 12, 26, 9);
                PlacedSeries lines[3] = {{n, 8}, {n, 16}, {n, offset}};
                compute_macd(input.input(), 12, 26, 9, lines[0].view(), lines[1].view(), lines[2].view());
                ASSERT_TRUE(same_bits(expected.macd, lines[0].values()));
                ASSERT_TRUE(same_bits(expected.signal, lines[1].values()));
                ASSERT_TRUE(same_bits(expected.hist, lines[2].values()));

                const PlacedSeries high(bars.high, offset), low(bars.low, offset), close(bars.close, 0);
                PlacedSeries atr_output(n, offset);
                compute_atr(high.input(), low.input(), close.input(), 14, atr_output.view());
                ASSERT_TRUE(same_bits(reference::atr(bars.high, bars.low, bars.close, 14, n), atr_output.values()));
            }
        }
        EXPECT_GT(lanes::testing::count(Event::lanes_ran), 0u);
    }
}

// A build capped to a narrower path (MOLVENAR_SIMD) neither offers nor runs
// a wider one, whatever the processor has; calls run the widest it offers.
TEST(LaneDispatch, PathWithinTheBuildsCap) {
    lanes::testing::reset();
    EXPECT_LE(static_cast<int>(lanes::widest_available()), static_cast<int>(lanes::widest_built));
    for (InstructionSet path : {InstructionSet::sse2, InstructionSet::avx2, InstructionSet::avx512f}) {
        if (static_cast<int>(path) > static_cast<int>(lanes::widest_built)) {
            EXPECT_FALSE(lanes::available(path)) << lanes::name(path);
            EXPECT_FALSE(lanes::testing::force_path(path)) << lanes::name(path);
        }
    }
    Walk walk(0x51D);
    const Values input = walk.prices(50'000);
    Values output(input.size(), untouched);
    compute_ema(20, view(input), view(output));
    EXPECT_EQ(lanes::testing::last_path(), lanes::widest_available());
    ASSERT_TRUE(same_bits(reference::ema(20, input, input.size()), output));
    lanes::testing::reset();
}

INSTANTIATE_TEST_SUITE_P(Paths, LanePath,
                         ::testing::Values(InstructionSet::sse2, InstructionSet::avx2, InstructionSet::avx512f),
                         [](const auto& info) { return std::string(lanes::name(info.param)); });

}  // namespace
}  // namespace molvenar::test
