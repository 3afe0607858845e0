// Whether the processor overlaps independent sums with a chain of dependent
// steps, and at what distance: the question behind starting lanes while
// their guesses are still being summed.
//
// Two interleaved chains of a product and a sum per step (as two packs of
// lanes take them) run over `steps` positions; a geometric-guess-like sum
// reads two packs per step from another array, in four chains of sums. Each
// is timed alone, one after the other in separate loops, and interleaved in
// one loop, two packs of the sum per step. In separate loops the steps fill
// the processor's window of instructions and the sum waits behind them (or
// the other way round); interleaved, each step's sum issues while the chains
// wait on their last operation. The three are timed again after reads of
// other data that leave the sum's values in the second-level cache only.
//
// Thread CPU time; every candidate takes its turn in each round, so that a
// busier spell of the machine hits them alike; medians of the rounds and
// their spread (interquartile range / median).
//
//   molvenar_overlap_study [ROUNDS [STEPS]]   (default 15 rounds of 340 steps)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

typedef double Pair __attribute__((vector_size(16)));

double thread_ns() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

constexpr Pair factor = {0.9, 0.9};
constexpr Pair weight = {0.5, 0.5};

[[gnu::noinline]] double chains(const Pair* in, Pair* out, int steps) {
    Pair a = {1, 2}, b = {3, 4};
    for (int i = 0; i < steps; ++i) {
        a = a * factor + in[i];
        b = b * factor + in[i + 1];
        out[i] = a + b;
    }
    return a[0] + b[1];
}

[[gnu::noinline]] double sum(const Pair* values, int packs) {
    Pair s0 = {}, s1 = {}, s2 = {}, s3 = {};
    int j = 0;
    for (; j + 3 < packs; j += 4) {
        s0 = s0 + values[j] * weight;
        s1 = s1 + values[j + 1] * weight;
        s2 = s2 + values[j + 2] * weight;
        s3 = s3 + values[j + 3] * weight;
    }
    for (; j < packs; ++j)
        s0 = s0 + values[j] * weight;
    const Pair total = (s0 + s1) + (s2 + s3);
    return total[0] + total[1];
}

[[gnu::noinline]] double interleaved(const Pair* in, Pair* out, int steps, const Pair* values) {
    Pair a = {1, 2}, b = {3, 4}, s0 = {}, s1 = {};
    for (int i = 0; i < steps; ++i) {
        a = a * factor + in[i];
        b = b * factor + in[i + 1];
        out[i] = a + b;
        s0 = s0 + values[2 * i] * weight;
        s1 = s1 + values[2 * i + 1] * weight;
    }
    const Pair total = s0 + s1;
    return a[0] + b[1] + total[0] + total[1];
}

// Reads a buffer larger than the first-level cache, so that the next call
// finds the sum's values in the second level, as the lanes' guesses do
// between two calls of the same length.
[[gnu::noinline]] double evict(const std::vector<double>& buffer) {
    double total = 0.0;
    for (std::size_t i = 0; i < buffer.size(); i += 8)
        total += buffer[i];
    return total;
}

struct Figure {
    double median, spread;
};

Figure summary(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    const double median = samples[n / 2];
    return {median, (samples[3 * n / 4] - samples[n / 4]) / median};
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
    const int steps = argc > 2 ? std::max(8, std::atoi(argv[2])) : 340;
    const int packs = 2 * steps;
    std::vector<Pair> in(static_cast<std::size_t>(steps) + 1), out(static_cast<std::size_t>(steps)),
        values(static_cast<std::size_t>(packs));
    for (int i = 0; i <= steps; ++i)
        in[static_cast<std::size_t>(i)] = Pair{1e-3 * i, 1.0};
    for (int i = 0; i < packs; ++i)
        values[static_cast<std::size_t>(i)] = Pair{1e-3 * i, 2.0};

    const int calls = std::max(1, 4'000'000 / steps);
    volatile double sink = 0;
    const std::vector<double> other(96 * 1024 / sizeof(double), 1.0);
    std::vector<double> alone, summed, separate, together, evicted_sum, evicted_chains, evicted_together;
    for (int round = 0; round < rounds; ++round) {
        double start = thread_ns();
        for (int c = 0; c < calls; ++c)
            sink = sink + chains(in.data(), out.data(), steps);
        alone.push_back((thread_ns() - start) / calls);
        start = thread_ns();
        for (int c = 0; c < calls; ++c)
            sink = sink + sum(values.data(), packs);
        summed.push_back((thread_ns() - start) / calls);
        start = thread_ns();
        for (int c = 0; c < calls; ++c) {
            sink = sink + sum(values.data(), packs);
            sink = sink + chains(in.data(), out.data(), steps);
        }
        separate.push_back((thread_ns() - start) / calls);
        start = thread_ns();
        for (int c = 0; c < calls; ++c)
            sink = sink + interleaved(in.data(), out.data(), steps, values.data());
        together.push_back((thread_ns() - start) / calls);
        start = thread_ns();
        for (int c = 0; c < calls; ++c)
            sink = sink + evict(other);
        const double eviction = (thread_ns() - start) / calls;
        start = thread_ns();
        for (int c = 0; c < calls; ++c) {
            sink = sink + evict(other);
            sink = sink + sum(values.data(), packs);
        }
        evicted_sum.push_back((thread_ns() - start) / calls - eviction);
        start = thread_ns();
        for (int c = 0; c < calls; ++c) {
            sink = sink + evict(other);
            sink = sink + chains(in.data(), out.data(), steps);
        }
        evicted_chains.push_back((thread_ns() - start) / calls - eviction);
        start = thread_ns();
        for (int c = 0; c < calls; ++c) {
            sink = sink + evict(other);
            sink = sink + interleaved(in.data(), out.data(), steps, values.data());
        }
        evicted_together.push_back((thread_ns() - start) / calls - eviction);
    }
    std::printf("overlap study: %d steps of two chains, a sum of %d packs of 2; %d rounds, thread CPU time\n\n", steps,
                packs, rounds);
    std::printf("%-34s %10s %8s\n", "", "ns/call", "spread");
    const struct {
        const char* name;
        Figure figure;
    } rows[] = {{"chains alone", summary(alone)},
                {"sum alone", summary(summed)},
                {"sum, then chains (separate loops)", summary(separate)},
                {"sum interleaved with the chains", summary(together)},
                {"after 96 KB of other reads (less their time):", {0.0, 0.0}},
                {"  chains alone", summary(evicted_chains)},
                {"  sum alone", summary(evicted_sum)},
                {"  sum interleaved with the chains", summary(evicted_together)}};
    for (const auto& row : rows) {
        if (row.figure.median == 0.0)
            std::printf("%s\n", row.name);
        else
            std::printf("%-34s %10.0f %7.1f%%\n", row.name, row.figure.median, 100.0 * row.figure.spread);
    }
    return 0;
}
