// Kernel benchmark: nanoseconds per element of each kernel and of its chain
// floor (bench/chain_floor.cpp) at n = 10^4, 10^6 and 10^7, on every
// instruction-set path this processor has, and their ratio.
//
// The machine may be shared, so every figure is thread CPU time, the
// candidates take turns round by round (a slow spell hits all of them alike),
// each figure is the median over the rounds, and the noise column gives the
// spread of the rounds: (third quartile - first quartile) / median of the
// kernel/floor ratios.
//
// Each kernel runs as a caller gets it (the path column says which lanes ran;
// plain: none); --all-paths adds a row for every path, forced.
//
//   molvenar_kernel_bench [ROUNDS] [--all-paths]     (default 15 rounds)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "atr.hpp"
#include "chain_floor.hpp"
#include "ema.hpp"
#include "lane_dispatch.hpp"
#include "macd.hpp"
#include "sma.hpp"

namespace {

using molvenar::lanes::InstructionSet;
using Values = std::vector<double>;

struct Prices {
    Values high, low, close;
};

Prices random_walk(std::size_t n) {
    std::mt19937_64 random(42);
    std::normal_distribution<double> step(0.0, 1.0);
    std::uniform_real_distribution<double> spread(0.0, 2.0);
    Prices prices{Values(n), Values(n), Values(n)};
    double price = 1000.0;
    for (std::size_t i = 0; i < n; ++i) {
        price += step(random);
        prices.close[i] = price;
        prices.high[i] = price + spread(random);
        prices.low[i] = price - spread(random);
    }
    return prices;
}

double thread_seconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t k = values.size() / 2;
    return values.size() % 2 != 0 ? values[k] : (values[k - 1] + values[k]) / 2.0;
}

double quartile_spread(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t last = values.size() - 1;
    return (values[last * 3 / 4] - values[last / 4]) / median(values);
}

// One kernel on one path (or its floor) at one size: what it runs and the
// nanoseconds per element of each round.
struct Candidate {
    std::string kernel;
    std::size_t n;
    InstructionSet path;  // plain for a floor
    bool automatic;       // the path a caller gets, not a forced one
    bool floor;
    std::function<void()> call;
    std::size_t repeats;  // calls per round, so that a round takes about 2 ms at least
    std::vector<double> nanoseconds;

    void run_round() {
        molvenar::lanes::testing::reset();
        if (!floor && !automatic)
            molvenar::lanes::testing::force_path(path);
        const double start = thread_seconds();
        for (std::size_t r = 0; r < repeats; ++r)
            call();
        const double took = thread_seconds() - start;
        if (automatic)
            path = molvenar::lanes::testing::last_path();
        nanoseconds.push_back(took * 1e9 / static_cast<double>(repeats * n));
    }
};

struct Workspace {
    Prices prices;
    Values first, second, third;
    explicit Workspace(std::size_t n)
        : prices(random_walk(n)), first(n, 0.0), second(n, 0.0), third(n, 0.0) {}
};

molvenar::InputSeries in(const Values& values) { return {values.data(), values.size()}; }
molvenar::OutputSeries out(Values& values) { return {values.data(), values.size()}; }

}  // namespace

int main(int argc, char** argv) {
    int rounds = 15;
    bool all_paths = false;
    for (int a = 1; a < argc; ++a) {
        if (std::string(argv[a]) == "--all-paths")
            all_paths = true;
        else
            rounds = std::max(3, std::atoi(argv[a]));
    }
    const std::size_t sizes[] = {10'000, 1'000'000, 10'000'000};
    std::vector<InstructionSet> paths;
    for (InstructionSet path : {InstructionSet::plain, InstructionSet::sse2, InstructionSet::avx2,
                                InstructionSet::avx512f})
        if (molvenar::lanes::available(path))
            paths.push_back(path);

    std::vector<Workspace*> spaces;
    std::vector<Candidate> candidates;
    for (std::size_t n : sizes) {
        Workspace* w = new Workspace(n);
        spaces.push_back(w);
        const std::size_t repeats = std::max<std::size_t>(1, 2'000'000 / n);
        struct Kernel {
            const char* name;
            std::function<void()> call, floor;
            bool has_lanes;
        };
        const Kernel kernels[] = {
            {"sma(20)", [w] { molvenar::compute_sma(20, in(w->prices.close), out(w->first)); },
             [w] { chain_floor_sma(w->prices.close.data(), w->first.data(), w->first.size()); }, false},
            {"ema(20)", [w] { molvenar::compute_ema(20, in(w->prices.close), out(w->first)); },
             [w] { chain_floor_ema(w->prices.close.data(), w->first.data(), w->first.size()); }, true},
            {"macd(12,26,9)",
             [w] {
                 molvenar::compute_macd(in(w->prices.close), 12, 26, 9, out(w->first), out(w->second),
                                        out(w->third));
             },
             [w] { chain_floor_macd(w->prices.close.data(), w->first.data(), w->first.size()); }, true},
            {"atr(14)",
             [w] {
                 molvenar::compute_atr(in(w->prices.high), in(w->prices.low), in(w->prices.close), 14,
                                       out(w->first));
             },
             [w] { chain_floor_atr(w->prices.close.data(), w->first.data(), w->first.size()); }, true},
        };
        for (const Kernel& k : kernels) {
            candidates.push_back({k.name, n, InstructionSet::plain, false, true, k.floor, repeats, {}});
            candidates.push_back({k.name, n, InstructionSet::plain, true, false, k.call, repeats, {}});
            if (k.has_lanes && all_paths)
                for (InstructionSet path : paths)
                    candidates.push_back({k.name, n, path, false, false, k.call, repeats, {}});
        }
    }

    std::printf("kernel benchmark: %d interleaved rounds, thread CPU time, medians; widest path here: %s\n",
                rounds, molvenar::lanes::name(molvenar::lanes::widest_available()));
    for (int round = 0; round < rounds; ++round)
        for (Candidate& c : candidates)
            c.run_round();
    molvenar::lanes::testing::reset();

    std::printf("\n%-14s %9s %-8s %11s %11s %8s %7s\n", "kernel", "n", "path", "ns/elem", "floor ns", "ratio",
                "noise");
    std::vector<double> noises;
    const Candidate* floor = nullptr;
    for (const Candidate& c : candidates) {
        if (c.floor) {
            floor = &c;
            continue;
        }
        std::vector<double> ratios;
        for (std::size_t r = 0; r < c.nanoseconds.size(); ++r)
            ratios.push_back(c.nanoseconds[r] / floor->nanoseconds[r]);
        const double noise = quartile_spread(ratios);
        noises.push_back(noise);
        const std::string path = c.kernel.rfind("sma", 0) == 0
                                     ? "-"
                                     : std::string(c.automatic ? "" : "=") + molvenar::lanes::name(c.path);
        std::printf("%-14s %9zu %-8s %11.3f %11.3f %8.3f %6.1f%%\n", c.kernel.c_str(), c.n, path.c_str(),
                    median(c.nanoseconds), median(floor->nanoseconds), median(ratios), 100.0 * noise);
    }
    std::printf("\npath: the lanes that ran (=path: forced); plain: the plain loop alone.\n"
                "ratio: median over the rounds of kernel time / floor time in the same round.\n"
                "noise: interquartile range of those ratios / their median; median over all rows %.1f%%, "
                "largest %.1f%%.\n",
                100.0 * median(noises), 100.0 * *std::max_element(noises.begin(), noises.end()));
    for (Workspace* w : spaces)
        delete w;
    return 0;
}
