#include "sma.hpp"

#include <cmath>
#include <utility>

#include "reference_kernels.hpp"
#include "test_support.hpp"

namespace molvenar::test {
namespace {

Values run_sma(Period period, const Values& input, std::size_t output_count) {
    Values output(output_count, untouched);
    compute_sma(period, view(input), view(output));
    return output;
}

struct SmaCase {
    const char* name;
    Period period;
    Values input;
    Values expected;  // its size is the output's count
};

class SmaExample : public ::testing::TestWithParam<SmaCase> {};

TEST_P(SmaExample, GivesTheseBits) {
    const SmaCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, run_sma(c.period, c.input, c.expected.size())));
}

INSTANTIATE_TEST_SUITE_P(
    Sma, SmaExample,
    ::testing::Values(
        SmaCase{"PeriodZero", 0, {1, 2, 3}, {nan, nan, nan}},
        SmaCase{"PeriodAboveCount", 4, {1, 2, 3}, {nan, nan, nan}},
        SmaCase{"LargestPeriod", max_period, {1, 2, 3}, {nan, nan, nan}},
        SmaCase{"PeriodEqualsCount", 4, {1, 2, 4, 9}, {nan, nan, nan, 4}},
        SmaCase{"PeriodTwo", 2, {1, 2, 3, 4, 5}, {nan, 1.5, 2.5, 3.5, 4.5}},
        SmaCase{"ReciprocalTimesSum", 3, {1, 2, 2}, {nan, nan, 1.6666666666666665}},
        SmaCase{"PeriodOneDoesNotCopy", 1, {1e16, 1}, {1e16, 0}},
        SmaCase{"NaNSpreadsToTheEnd", 2, {1, nan, 3, 4}, {nan, computed_nan, computed_nan, computed_nan}},
        SmaCase{"InfinityLeavingTheWindow", 2, {1, inf, 3, 4, 5}, {nan, inf, inf, computed_nan, computed_nan}},
        SmaCase{"SumStartsAtNegativeZero", 2, {-0.0, -0.0, -0.0}, {nan, -0.0, +0.0}},
        SmaCase{"LongerOutputKeepsNaN", 2, {1, 2, 3}, {nan, 1.5, 2.5, nan, nan}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Sma, EmptyInputWritesNothing) {
    double buffer[2] = {untouched, untouched};
    for (Period period : {Period{0}, Period{1}, max_period}) {
        compute_sma(period, {buffer, 0}, {buffer, 0});
        EXPECT_EQ(bits(buffer[0]), bits(untouched));
        EXPECT_EQ(bits(buffer[1]), bits(untouched));
    }
}

// Around the block threshold (more than 63 positions after the first window)
// and at the size of the example, 1,000 values with period 10.
TEST(Sma, BlockPathMatchesPlainLoop) {
    const std::pair<std::size_t, Period> shapes[] = {
        {73, 10}, {74, 10}, {75, 10}, {81, 10}, {82, 10}, {1000, 10}, {1000, 1}, {1000, 937}};
    for (auto [n, period] : shapes) {
        SCOPED_TRACE(::testing::Message() << "n=" << n << " period=" << period);
        Values input(n);
        for (std::size_t i = 0; i < n; ++i)
            input[i] = std::sin(static_cast<double>(i)) * 1e3 + static_cast<double>(i % 7) * 1e-3;
        EXPECT_TRUE(same_bits(reference::sma(period, input, n), run_sma(period, input, n)));
    }
}

}  // namespace
}  // namespace molvenar::test
