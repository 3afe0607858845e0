#include "atr.hpp"

#include "test_support.hpp"

namespace molvenar::test {
namespace {

constexpr double X = computed_nan;

// True ranges of positions 1 to 4: 1.5, 2, 1.5, 2.5.
const Values high = {10, 11, 12, 11, 13};
const Values low = {9, 9.5, 10, 10, 11};
const Values close = {9.5, 10.5, 11.5, 10.5, 12.5};

Values with(Values values, std::size_t position, double value) {
    values[position] = value;
    return values;
}

struct AtrCase {
    const char* name;
    Values high, low, close;
    Period period;
    Values expected;  // its size is the output's count
};

class AtrExample : public ::testing::TestWithParam<AtrCase> {};

TEST_P(AtrExample, GivesTheseBits) {
    const AtrCase& c = GetParam();
    Values output(c.expected.size(), untouched);
    compute_atr(view(c.high), view(c.low), view(c.close), c.period, view(output));
    EXPECT_TRUE(same_bits(c.expected, output));
}

INSTANTIATE_TEST_SUITE_P(
    Atr, AtrExample,
    ::testing::Values(
        AtrCase{"PeriodTwo", high, low, close, 2, {nan, nan, 1.75, 1.625, 2.0625}},
        AtrCase{"PeriodOne", high, low, close, 1, {nan, 1.5, 2, 1.5, 2.5}},
        AtrCase{"PeriodFour", high, low, close, 4, {nan, nan, nan, nan, 1.875}},
        AtrCase{"PeriodZero", high, low, close, 0, {nan, nan, nan, nan, nan}},
        AtrCase{"PeriodEqualsCount", high, low, close, 5, {nan, nan, nan, nan, nan}},
        AtrCase{"LargestPeriod", high, low, close, max_period, {nan, nan, nan, nan, nan}},
        AtrCase{"SmoothingMultipliesByReciprocal", {10.25, 10.25, 10.25, 10.25, 10.25, 10.25, 12},
                Values(7, 10), Values(7, 10.125), 5, {nan, nan, nan, nan, nan, 0.25, 0.6000000000000001}},
        AtrCase{"NaNHighIsPassedOver", with(high, 1, nan), low, close, 2, {nan, nan, 1, 1.25, 1.875}},
        AtrCase{"NaNRangeStaysToTheEnd", with(high, 3, nan), with(low, 3, nan), close, 2,
                {nan, nan, 1.75, X, X}},
        AtrCase{"InfiniteHigh", with(high, 2, inf), low, close, 1, {nan, 1.5, inf, X, X}},
        AtrCase{"SumStartsAtPositiveZero", {0, -0.0, -0.0}, {0, 0, 0}, {0, 0, 0}, 1, {nan, +0.0, +0.0}},
        AtrCase{"LongerOutputKeepsNaN", high, low, close, 2, {nan, nan, 1.75, 1.625, 2.0625, nan, nan}},
        AtrCase{"OnePositionPeriodZero", {1}, {1}, {1}, 0, {nan}},
        AtrCase{"OnePositionPeriodOne", {1}, {1}, {1}, 1, {nan}},
        AtrCase{"OnePositionPeriodTwo", {1}, {1}, {1}, 2, {nan}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace molvenar::test
