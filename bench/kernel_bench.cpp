// Kernel benchmark: nanoseconds per element of each kernel on a random-walk
// price series of 10^3, 10^5 and 10^7 values. Each figure is the best of
// several runs, so that it shows the kernel rather than the noise.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "atr.hpp"
#include "ema.hpp"
#include "macd.hpp"
#include "sma.hpp"

namespace {

using molvenar::InputSeries;
using molvenar::OutputSeries;
using Values = std::vector<double>;

struct Prices {
    Values high, low, close;
};

Prices random_walk(std::size_t n) {
    std::mt19937_64 random(42);
    std::normal_distribution<double> step(0.0, 1.0);
    std::uniform_real_distribution<double> spread(0.0, 2.0);
    Prices prices{Values(n), Values(n), Values(n)};
    double price = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        price += step(random);
        prices.close[i] = price;
        prices.high[i] = price + spread(random);
        prices.low[i] = price - spread(random);
    }
    return prices;
}

InputSeries in(const Values& values) { return {values.data(), values.size()}; }
OutputSeries out(Values& values) { return {values.data(), values.size()}; }

// Best time of one call, in nanoseconds per element; about 2 * 10^7 elements
// are processed in all, at least five calls.
template <typename Call>
double nanoseconds_per_element(std::size_t n, Call call) {
    const std::size_t runs = std::max<std::size_t>(5, 20'000'000 / n);
    double best = 1e300;
    for (std::size_t run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        call();
        const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best / static_cast<double>(n);
}

}  // namespace

int main() {
    const std::size_t sizes[] = {1'000, 100'000, 10'000'000};
    const char* names[] = {"sma(20)", "ema(20)", "macd(12,26,9)", "atr(14)"};
    double table[4][3];

    for (std::size_t column = 0; column < 3; ++column) {
        const std::size_t n = sizes[column];
        const Prices prices = random_walk(n);
        Values first(n), second(n), third(n);
        table[0][column] = nanoseconds_per_element(
            n, [&] { molvenar::compute_sma(20, in(prices.close), out(first)); });
        table[1][column] = nanoseconds_per_element(
            n, [&] { molvenar::compute_ema(20, in(prices.close), out(first)); });
        table[2][column] = nanoseconds_per_element(n, [&] {
            molvenar::compute_macd(in(prices.close), 12, 26, 9, out(first), out(second), out(third));
        });
        table[3][column] = nanoseconds_per_element(n, [&] {
            molvenar::compute_atr(in(prices.high), in(prices.low), in(prices.close), 14, out(first));
        });
    }

    std::printf("ns per element (best run)\n");
    std::printf("%-15s %12s %12s %12s\n", "kernel", "n=10^3", "n=10^5", "n=10^7");
    for (std::size_t row = 0; row < 4; ++row)
        std::printf("%-15s %12.3f %12.3f %12.3f\n", names[row], table[row][0], table[row][1],
                    table[row][2]);
    return 0;
}
