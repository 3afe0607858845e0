// How long a lane's warm-up must be: how many steps a lane started from the
// engine's guess takes to agree bit for bit with the true chain, measured by
// the engine itself on realistic and adversarial series.
//
// With no warm-up, every lane but the first enters its chunk in its guessed
// state, and the seam walk replays it beside the true chain until the two
// agree: the replayed steps per seam are the steps to agreement from the
// guess. With the engine's own warm-up, the share of seams still replayed
// and their steps say what the warm-up leaves to the seam walk. The bits
// column turns steps into bits of contraction: steps × -log2(slowest factor).
//
//   molvenar_warm_up_study [RUNS [LENGTH]]   (default 20 series of 25,000 bars per row)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "atr.hpp"
#include "ema.hpp"
#include "lane_controls.hpp"
#include "macd.hpp"

namespace {

using molvenar::lanes::Event;
namespace testing = molvenar::lanes::testing;

std::size_t length = 25'000;  // bars per series

struct Bars {
    std::vector<double> high, low, close;
};

// Daily bars of a random walk in the logarithm, rounded to cents. `kind`:
// calm (0.2 % a day), volatile (3 %), jumps (1 %, and one day in a hundred
// ten times that), spikes (1 %, and a bar of ten times the price every 250
// days, so that some lanes start on one), shifts (1 %, and the level halved
// or doubled every 500 days); additive: the kernel benchmark's walk, steps
// of 1 from 1000, unrounded, ranges of 0 to 2 either side.
Bars walk(const std::string& kind, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const double volatility = kind == "calm" ? 0.002 : kind == "volatile" ? 0.03 : 0.01;
    Bars bars{std::vector<double>(length), std::vector<double>(length), std::vector<double>(length)};
    double price = 100.0;
    if (kind == "additive") {
        std::uniform_real_distribution<double> spread(0.0, 2.0);
        price = 1000.0;
        for (std::size_t i = 0; i < length; ++i) {
            price += normal(random);
            bars.close[i] = price;
            bars.high[i] = price + spread(random);
            bars.low[i] = price - spread(random);
        }
        return bars;
    }
    for (std::size_t i = 0; i < length; ++i) {
        double move = volatility * normal(random);
        if (kind == "jumps" && uniform(random) < 0.01)
            move *= 10.0;
        if (kind == "shifts" && i % 500 == 499)
            move += uniform(random) < 0.5 ? -std::log(2.0) : std::log(2.0);
        price *= std::exp(move);
        const double scale = kind == "spikes" && i % 250 == 249 ? 10.0 : 1.0;
        const double high = price * scale * std::exp(std::fabs(volatility * normal(random)));
        const double low = price * scale * std::exp(-std::fabs(volatility * normal(random)));
        bars.high[i] = std::round(high * 100.0) / 100.0;
        bars.low[i] = std::round(low * 100.0) / 100.0;
        bars.close[i] = std::round((low + (high - low) * uniform(random)) * 100.0) / 100.0;
    }
    return bars;
}

struct Kernel {
    std::string name;
    double slowest_factor;  // the slowest contraction of its state per step
    void (*run)(const Bars&, std::vector<double>&, std::vector<double>&, std::vector<double>&);
};

molvenar::InputSeries in(const std::vector<double>& v) { return {v.data(), v.size()}; }
molvenar::OutputSeries out(std::vector<double>& v) { return {v.data(), v.size()}; }

template <std::size_t Period>
void ema(const Bars& bars, std::vector<double>& a, std::vector<double>&, std::vector<double>&) {
    molvenar::compute_ema(Period, in(bars.close), out(a));
}

void macd(const Bars& bars, std::vector<double>& a, std::vector<double>& b, std::vector<double>& c) {
    molvenar::compute_macd(in(bars.close), 12, 26, 9, out(a), out(b), out(c));
}

template <std::size_t Period>
void atr(const Bars& bars, std::vector<double>& a, std::vector<double>&, std::vector<double>&) {
    molvenar::compute_atr(in(bars.high), in(bars.low), in(bars.close), Period, out(a));
}

struct Tally {
    std::size_t lanes = 0, seams = 0, steps = 0;
};

// Runs the kernel over `runs` series of the kind with the warm-up `warm_up`
// (no_override: the engine's own) and counts lanes, replayed seams and steps.
Tally measure(const Kernel& kernel, const std::string& kind, std::size_t warm_up, int runs) {
    std::vector<double> a(length), b(length), c(length);
    Tally tally;
    for (int run = 0; run < runs; ++run) {
        const Bars bars = walk(kind, 1000 + static_cast<std::uint64_t>(run));
        testing::reset();
        testing::force_warm_up(warm_up);
        kernel.run(bars, a, b, c);
        tally.lanes += testing::count(Event::lanes_ran);
        tally.seams += testing::count(Event::seam_recomputed);
        tally.steps += testing::count(Event::seam_step);
    }
    testing::reset();
    return tally;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    if (argc > 2)
        length = std::max<std::size_t>(2, std::strtoull(argv[2], nullptr, 10));
    const Kernel kernels[] = {
        {"ema(10)", 9.0 / 11.0, ema<10>},
        {"ema(20)", 19.0 / 21.0, ema<20>},
        {"ema(50)", 49.0 / 51.0, ema<50>},
        {"macd(12,26,9)", 25.0 / 27.0, macd},
        {"atr(14)", 13.0 / 14.0, atr<14>},
        {"atr(20)", 19.0 / 20.0, atr<20>},
    };
    const char* kinds[] = {"calm", "volatile", "jumps", "spikes", "shifts", "additive"};
    std::printf("warm-up study: %d series of %zu bars per row, path %s\n", runs, length,
                molvenar::lanes::name(molvenar::lanes::widest_available()));
    std::printf("\n%-14s %-9s | %-28s | %-30s\n", "", "", "from the guess (no warm-up)", "with the engine's own warm-up");
    std::printf("%-14s %-9s | %7s %9s %9s | %7s %10s %10s\n", "kernel", "series", "seams", "steps", "bits",
                "runs", "seams/run", "steps");
    for (const Kernel& kernel : kernels) {
        const double bits_per_step = -std::log2(kernel.slowest_factor);
        for (const char* kind : kinds) {
            const Tally guess = measure(kernel, kind, 0, runs);
            const Tally own = measure(kernel, kind, molvenar::lanes::no_override, runs);
            const double steps = guess.seams ? static_cast<double>(guess.steps) / static_cast<double>(guess.seams) : 0;
            std::printf("%-14s %-9s | %7zu %9.1f %9.1f | %7zu %10.2f %10.1f\n", kernel.name.c_str(), kind,
                        guess.seams, steps, steps * bits_per_step, own.lanes,
                        own.lanes ? static_cast<double>(own.seams) / static_cast<double>(own.lanes) : 0.0,
                        own.seams ? static_cast<double>(own.steps) / static_cast<double>(own.seams) : 0.0);
        }
    }
    std::printf("\nseams: seams replayed; steps: mean steps replayed per seam, the steps to agreement from\n"
                "the guess; bits: those steps in bits of the slowest contraction. runs: runs of lanes;\n"
                "seams/run: seams replayed per run (a run has 3 or 7 seams); steps: mean steps replayed\n"
                "per replayed seam, beyond the warm-up.\n");
    return 0;
}
