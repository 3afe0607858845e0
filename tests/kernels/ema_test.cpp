#include "ema.hpp"

#include "test_support.hpp"

namespace molvenar::test {
namespace {

// NaN whose payload sits in the lower word only: non-finite all the same.
const double low_payload_nan = std::bit_cast<double>(std::uint64_t{0x7FF0000000000001});

// Factor and complement of period 2, as the kernel forms them.
constexpr double factor_2 = 2.0 / 3.0;
constexpr double complement_2 = 1.0 - factor_2;

Values run_ema(Period period, const Values& input, std::size_t output_count) {
    Values output(output_count, untouched);
    compute_ema(period, view(input), view(output));
    return output;
}

struct EmaCase {
    const char* name;
    Period period;
    Values input;
    Values expected;  // its size is the output's count
};

class EmaExample : public ::testing::TestWithParam<EmaCase> {};

TEST_P(EmaExample, GivesTheseBits) {
    const EmaCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.expected, run_ema(c.period, c.input, c.expected.size())));
}

INSTANTIATE_TEST_SUITE_P(
    Ema, EmaExample,
    ::testing::Values(
        EmaCase{"PeriodZero", 0, {1, 2, 3}, {nan, nan, nan}},
        EmaCase{"PeriodAboveCount", 4, {1, 2, 3}, {nan, nan, nan}},
        EmaCase{"LargestPeriod", max_period, {1, 2, 3}, {nan, nan, nan}},
        EmaCase{"PeriodEqualsCount", 3, {1, 2, 6}, {nan, nan, 3}},
        EmaCase{"PeriodEqualsCountWithInfinity", 3, {1, inf, 6}, {nan, nan, nan}},
        EmaCase{"PeriodEqualsCountWithNaN", 3, {1, 2, nan}, {nan, nan, nan}},
        EmaCase{"NaNCarriesTheAverageOver", 3, {1, 2, 3, 4, nan, 6}, {nan, nan, 2, 3, nan, 4.5}},
        EmaCase{"SeedAfterNaN", 2, {1, nan, 3, 4, 5}, {nan, nan, nan, 3.5, 4.5}},
        EmaCase{"SeedBetweenNaNs", 3, {1, 2, nan, 4, 5, 6, nan, 8}, {nan, nan, nan, nan, nan, 5, nan, 6.5}},
        EmaCase{"InfinitiesLikeNaN", 2, {1, inf, 3, 4, inf, 5}, {nan, nan, nan, 3.5, nan, 4.5}},
        EmaCase{"OtherNonFiniteValues", 1, {1, -inf, 2, -computed_nan, low_payload_nan, 4},
                {1, nan, 2, nan, nan, 4}},
        EmaCase{"SeedIsDivision", 3, {1, 2, 2}, {nan, nan, 1.6666666666666667}},
        EmaCase{"UpdateForm", 2, {1, 1, 3}, {nan, 1, 2.3333333333333335}},
        EmaCase{"ComplementFromRoundedFactor", 2, {1, 3, 1}, {nan, 2, 1.3333333333333335}},
        EmaCase{"PeriodOneReplaces", 1, {nan, 5, 6}, {nan, 5, 6}},
        EmaCase{"PeriodOneSignedZeros", 1, {-0.0, 2, -0.0}, {-0.0, 2, +0.0}},
        EmaCase{"LongerOutputKeepsNaN", 2, {1, 2, 3},
                {nan, 1.5, (1.5 * complement_2) + (3.0 * factor_2), nan, nan}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Ema, EmptyInputWritesNothing) {
    double buffer[2] = {untouched, untouched};
    for (Period period : {Period{0}, Period{1}, max_period}) {
        compute_ema(period, {buffer, 0}, {buffer, 0});
        EXPECT_EQ(bits(buffer[0]), bits(untouched));
        EXPECT_EQ(bits(buffer[1]), bits(untouched));
    }
}

}  // namespace
}  // namespace molvenar::test
