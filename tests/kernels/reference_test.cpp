// Seeded random series, special values and edge periods included, through
// each kernel and its reference loop: the results must agree bit for bit.
#include <algorithm>
#include <array>
#include <random>

#include "atr.hpp"
#include "ema.hpp"
#include "macd.hpp"
#include "reference_kernels.hpp"
#include "sma.hpp"
#include "test_support.hpp"

namespace molvenar::test {
namespace {

constexpr int trials = 3000;

class SeriesMaker {
public:
    explicit SeriesMaker(std::uint64_t seed) : random_(seed) {}

    std::size_t below(std::size_t bound) { return bound == 0 ? 0 : random_() % bound; }

    // Mostly short series, now and then long enough for the blocked loop.
    std::size_t length() { return below(6) == 0 ? 64 + below(200) : below(40); }

    // A few more positions than n now and then.
    std::size_t output_count(std::size_t n) { return below(4) == 0 ? n + 1 + below(3) : n; }

    // The edges 0, 1, n - 1, n, n + 1 and the largest word, or anything up to n.
    Period period(std::size_t n) {
        switch (below(8)) {
            case 0: return 0;
            case 1: return 1;
            case 2: return n - 1;
            case 3: return n;
            case 4: return n + 1;
            case 5: return max_period;
            default: return 1 + below(n);
        }
    }

    // Values of mixed magnitude; at the chosen rate NaN (payloads that are
    // not the fill pattern, so a wrong fill shows), infinities and zeros.
    Values series(std::size_t n) {
        static const double specials[] = {std::bit_cast<double>(std::uint64_t{0x7FF800000000BEEF}),
                                          std::bit_cast<double>(std::uint64_t{0xFFF80000000000CD}),
                                          inf, -inf, -0.0, 0.0};
        const std::size_t rate = std::array<std::size_t, 3>{0, 50, 6}[below(3)];
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        const double scale = std::array<double, 3>{1.0, 1e3, 1e16}[below(3)];
        Values values(n);
        for (double& value : values)
            value = rate != 0 && below(rate) == 0 ? specials[below(std::size(specials))]
                                                  : unit(random_) * scale;
        return values;
    }

private:
    std::mt19937_64 random_;
};

// Runs a kernel into an output whose positions all start as `untouched`.
template <typename Kernel>
Values run(std::size_t output_count, Kernel kernel) {
    Values output(output_count, untouched);
    kernel(view(output));
    return output;
}

TEST(AgainstReference, Sma) {
    SeriesMaker make(0x5A11);
    for (int trial = 0; trial < trials; ++trial) {
        const Values input = make.series(make.length());
        const Period period = make.period(input.size());
        const std::size_t m = make.output_count(input.size());
        SCOPED_TRACE(::testing::Message() << "trial " << trial << " n=" << input.size() << " period=" << period);
        ASSERT_TRUE(same_bits(reference::sma(period, input, m),
                              run(m, [&](OutputSeries out) { compute_sma(period, view(input), out); })));
    }
}

TEST(AgainstReference, Ema) {
    SeriesMaker make(0xE3A);
    for (int trial = 0; trial < trials; ++trial) {
        const Values input = make.series(make.length());
        const Period period = make.period(input.size());
        const std::size_t m = make.output_count(input.size());
        SCOPED_TRACE(::testing::Message() << "trial " << trial << " n=" << input.size() << " period=" << period);
        ASSERT_TRUE(same_bits(reference::ema(period, input, m),
                              run(m, [&](OutputSeries out) { compute_ema(period, view(input), out); })));
    }
}

TEST(AgainstReference, Macd) {
    SeriesMaker make(0x3ACD);
    for (int trial = 0; trial < trials; ++trial) {
        const Values input = make.series(make.length());
        const std::size_t n = input.size();
        const Period slow = std::max<Period>(make.period(n), 2);
        const Period fast = 1 + make.below(std::min<Period>(slow - 1, 30));
        const Period signal = std::max<Period>(make.below(3) == 0 ? max_period - make.below(3) : make.period(n), 1);
        SCOPED_TRACE(::testing::Message() << "trial " << trial << " n=" << n << " periods=" << fast << ","
                                          << slow << "," << signal);
        ASSERT_TRUE(reference::macd_matches(input, fast, slow, signal));
    }
}

TEST(AgainstReference, Atr) {
    SeriesMaker make(0xA7);
    for (int trial = 0; trial < trials; ++trial) {
        const std::size_t n = make.length();
        const Values high = make.series(n), low = make.series(n), close = make.series(n);
        const Period period = make.period(n);
        const std::size_t m = make.output_count(n);
        SCOPED_TRACE(::testing::Message() << "trial " << trial << " n=" << n << " period=" << period);
        ASSERT_TRUE(same_bits(reference::atr(high, low, close, period, m), run(m, [&](OutputSeries out) {
                                  compute_atr(view(high), view(low), view(close), period, out);
                              })));
    }
}

}  // namespace
}  // namespace molvenar::test
