// A caller that breaks a length guarantee gets a fault report and an abort,
// never a write outside a series.
#include <functional>

#include "atr.hpp"
#include "ema.hpp"
#include "macd.hpp"
#include "sma.hpp"
#include "test_support.hpp"

namespace molvenar::test {
namespace {

const Values five = {1, 2, 3, 4, 5};

struct FaultCase {
    const char* name;
    std::function<void()> call;
    const char* unit;  // kernels/src/<unit>.cpp reports the fault
    std::size_t length, index;
};

class OutOfBounds : public ::testing::TestWithParam<FaultCase> {};

TEST_P(OutOfBounds, ReportsAndAborts) {
    const FaultCase& c = GetParam();
    const std::string report = std::string("thread 'main' panicked at kernels/src/") + c.unit +
                               "\\.cpp:[0-9]+:[0-9]+:\nindex out of bounds: the len is " +
                               std::to_string(c.length) + " but the index is " +
                               std::to_string(c.index) + "\n";
    EXPECT_DEATH(c.call(), report);
}

// Outputs live for the whole run of a death test.
Values three(3), four(4), five_out(5);

INSTANTIATE_TEST_SUITE_P(
    Kernels, OutOfBounds,
    ::testing::Values(
        FaultCase{"SmaOutputShort", [] { compute_sma(2, view(five), view(three)); }, "sma", 3, 3},
        FaultCase{"SmaFirstWindowBeyondOutput", [] { compute_sma(5, view(five), view(three)); }, "sma", 3, 4},
        FaultCase{"EmaOutputShort", [] { compute_ema(2, view(five), view(three)); }, "ema", 3, 3},
        FaultCase{"EmaNextFiniteBeyondOutput",
                  [] {
                      static const Values gap = {1, 2, 3, nan, 5};
                      compute_ema(2, view(gap), view(three));
                  },
                  "ema", 3, 4},
        FaultCase{"MacdSignalShort",
                  [] { compute_macd(view(five), 2, 3, 2, view(five_out), view(four), view(four)); }, "macd",
                  4, 4},
        FaultCase{"AtrOutputShort",
                  [] { compute_atr(view(five), view(five), view(five), 2, view(three)); }, "atr", 3, 3},
        FaultCase{"AtrLowShort",
                  [] {
                      static const Values low = {1, 2, 3};
                      compute_atr(view(five), view(low), view(five), 2, view(five_out));
                  },
                  "atr", 3, 3},
        FaultCase{"AtrCloseShort",
                  [] {
                      static const Values close = {1, 2};
                      compute_atr(view(five), view(five), view(close), 2, view(five_out));
                  },
                  "atr", 2, 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace molvenar::test
