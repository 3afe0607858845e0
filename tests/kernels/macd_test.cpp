#include "macd.hpp"

#include "test_support.hpp"

namespace molvenar::test {
namespace {

constexpr double X = computed_nan;

// Slow factor and complement of period 2, as the kernel forms them.
constexpr double slow_alpha_2 = 2.0 / 3.0;
constexpr double slow_beta_2 = 1.0 - slow_alpha_2;
// Slow averages of [1, 2, 4, 8] with period 2 at positions 2 and 3.
constexpr double slow_at_2 = (1.5 * slow_beta_2) + (4.0 * slow_alpha_2);
constexpr double slow_at_3 = (slow_at_2 * slow_beta_2) + (8.0 * slow_alpha_2);

const Values doubling = {1, 2, 4, 8, 16, 32, 64};
const Values doubling_macd = {nan, nan, 0.6666666666666665, 1.166666666666666,
                              2.194444444444443, 4.300925925925924, 8.551697530864196};

struct MacdCase {
    const char* name;
    Values input;
    Period fast, slow, signal;
    Values macd, signal_line, hist;
};

class MacdExample : public ::testing::TestWithParam<MacdCase> {};

TEST_P(MacdExample, GivesTheseBits) {
    const MacdCase& c = GetParam();
    const std::size_t n = c.input.size();
    Values macd(n, untouched), signal(n, untouched), hist(n, untouched);
    compute_macd(view(c.input), c.fast, c.slow, c.signal, view(macd), view(signal), view(hist));
    EXPECT_TRUE(same_bits(c.macd, macd)) << "MACD line";
    EXPECT_TRUE(same_bits(c.signal_line, signal)) << "signal line";
    EXPECT_TRUE(same_bits(c.hist, hist)) << "histogram";
}

INSTANTIATE_TEST_SUITE_P(
    Macd, MacdExample,
    ::testing::Values(
        MacdCase{"ShorterThanSlowWindow", {1, 2}, 2, 3, 2, {nan, nan}, {nan, nan}, {nan, nan}},
        MacdCase{"Doubling", doubling, 2, 3, 2, doubling_macd,
                 {nan, nan, nan, 1.166666666666666, 1.8518518518518507, 3.484567901234566, 6.8626543209876525},
                 {nan, nan, nan, 0.0, 0.3425925925925921, 0.816358024691358, 1.6890432098765435}},
        MacdCase{"NaNIsPassedOver", {1, 2, 4, 8, nan, 32, 64, 128}, 2, 3, 2,
                 {nan, nan, 0.6666666666666665, 1.166666666666666, nan, 4.861111111111111, 9.189814814814817, 17.514660493827165},
                 {nan, nan, nan, 1.166666666666666, nan, 3.6296296296296293, 7.336419753086421, 14.121913580246918},
                 {nan, nan, nan, 0.0, nan, 1.2314814814814814, 1.8533950617283956, 3.392746913580247}},
        // The fast window at position 2 is clean, the slow one holds the NaN,
        // and the slow average is never seeded again.
        MacdCase{"NaNInSlowWindowOnly", {nan, 2, 4, 8, 16, 32, 64, 128}, 2, 3, 2,
                 {nan, nan, X, X, X, X, X, X}, {nan, nan, nan, X, X, X, X, X},
                 {nan, nan, nan, nan, nan, nan, nan, nan}},
        // The seed at 3 fails for both averages, the one at 4 for the slow one.
        MacdCase{"SeedFailsTwice", {1, 2, nan, 8, 16, 32, 64, 128}, 2, 3, 2,
                 {nan, nan, nan, X, X, X, X, X}, {nan, nan, nan, X, X, X, X, X},
                 {nan, nan, nan, nan, nan, nan, nan, nan}},
        MacdCase{"SeedSumsNewestFirst", {1e16, 1, 1}, 1, 3, 1, {nan, nan, -3333333333333333.0},
                 {nan, nan, -3333333333333333.0}, {nan, nan, 0.0}},
        MacdCase{"SignalPeriodOne", doubling, 2, 3, 1, doubling_macd,
                 {nan, nan, 0.6666666666666665, 1.166666666666666, 2.194444444444443, 4.300925925925924, 8.551697530864196},
                 {nan, nan, 0.0, 0.0, 0.0, 0.0, 0.0}},
        MacdCase{"FastPeriodOneFollowsTheInput", {1, 2, 4, 8}, 1, 2, 1,
                 {nan, 0.5, 4.0 - slow_at_2, 8.0 - slow_at_3}, {nan, 0.5, 4.0 - slow_at_2, 8.0 - slow_at_3},
                 {nan, 0.0, 0.0, 0.0}},
        MacdCase{"SignalPeriodBeyondSeries", doubling, 2, 3, 8, doubling_macd,
                 {nan, nan, nan, nan, nan, nan, nan}, {nan, nan, nan, nan, nan, nan, nan}},
        // slow + signal - 2 is one past the largest word here, and the
        // largest word itself below.
        MacdCase{"SignalStartDoesNotWrap", doubling, 2, 3, max_period, doubling_macd,
                 {nan, nan, nan, nan, nan, nan, nan}, {nan, nan, nan, nan, nan, nan, nan}},
        MacdCase{"SignalStartAtLargestWord", doubling, 2, 3, max_period - 1, doubling_macd,
                 {nan, nan, nan, nan, nan, nan, nan}, {nan, nan, nan, nan, nan, nan, nan}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Macd, EmptyInputWritesNothing) {
    double buffer[3] = {untouched, untouched, untouched};
    compute_macd({buffer, 0}, 2, 3, 2, {buffer, 0}, {buffer + 1, 0}, {buffer + 2, 0});
    for (double value : buffer)
        EXPECT_EQ(bits(value), bits(untouched));
}

}  // namespace
}  // namespace molvenar::test
