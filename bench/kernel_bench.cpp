// Kernel benchmark: nanoseconds per element of each kernel, of its chain
// floor and of its memory floors (bench/chain_floor.cpp; with streaming
// stores here) at n = 10^4, 10^6 and 10^7, on every instruction-set path this
// processor has, and their ratios.
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
// The series are allocated as NumPy allocates an array's data: from malloc,
// with the advice to back 4 MiB or more by huge pages (--small-pages: not),
// so that the kernels meet the memory a caller's arrays have.
//
//   molvenar_kernel_bench [ROUNDS] [--all-paths] [--small-pages] [--only KERNEL] [--sizes N,N,...]
//                         [--large MODE,MODE,...]
//   (default 15 rounds, every kernel, n = 10^4, 10^6 and 10^7)
//   MODE: whether runs are taken for ones larger than the caches keep (streaming
//   stores): size (by their size, as callers get them), never, always; with
//   several, each kernel row is repeated per mode.
#include <emmintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "atr.hpp"
#include "chain_floor.hpp"
#include "ema.hpp"
#include "lane_controls.hpp"
#include "macd.hpp"
#include "sma.hpp"

namespace {

using molvenar::lanes::InstructionSet;

bool huge_pages = true;
using molvenar::lanes::LargeRuns;

const char* mode_name(LargeRuns mode) {
    return mode == LargeRuns::never ? "never" : mode == LargeRuns::always ? "always" : "size";
}

// Allocates like NumPy's data allocator: malloc, then, from 4 MiB on, the
// advice to use huge pages for the whole pages inside the block.
template <class T>
struct NumpyLikeAllocator {
    using value_type = T;
    NumpyLikeAllocator() = default;
    template <class U>
    NumpyLikeAllocator(const NumpyLikeAllocator<U>&) {}
    T* allocate(std::size_t count) {
        const std::size_t bytes = count * sizeof(T);
        void* block = std::malloc(bytes);
        if (block == nullptr)
            throw std::bad_alloc();
        if (huge_pages && bytes >= (std::size_t{4} << 20)) {
            const std::size_t page = 4096;
            const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(block) + page - 1) / page * page;
            const std::uintptr_t last = (reinterpret_cast<std::uintptr_t>(block) + bytes) / page * page;
            madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
        }
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) { std::free(block); }
    bool operator==(const NumpyLikeAllocator&) const { return true; }
};
using Values = std::vector<double, NumpyLikeAllocator<double>>;

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

// What a candidate is: a kernel, or one of its floors.
enum class Role { kernel, chain_floor, memory_floor, streaming_floor };

// The memory floors again, with streaming stores (past the caches, no read
// of a line before it is written), as the lanes write long runs. The series
// come from malloc, so they are 16-byte aligned, as these stores need.
#if defined(__x86_64__) || defined(__i386__)
void streaming_floor_one(const double* in, double* out, std::size_t n) {
    const __m128d half = _mm_set1_pd(0.5);
    for (std::size_t i = 0; i + 2 <= n; i += 2)
        _mm_stream_pd(out + i, _mm_mul_pd(_mm_loadu_pd(in + i), half));
    _mm_sfence();
}

void streaming_floor_macd(const double* in, double* first, double* second, double* third, std::size_t n) {
    for (std::size_t i = 0; i + 2 <= n; i += 2) {
        const __m128d x = _mm_loadu_pd(in + i);
        _mm_stream_pd(first + i, _mm_mul_pd(x, _mm_set1_pd(0.5)));
        _mm_stream_pd(second + i, _mm_mul_pd(x, _mm_set1_pd(0.25)));
        _mm_stream_pd(third + i, _mm_mul_pd(x, _mm_set1_pd(0.125)));
    }
    _mm_sfence();
}

void streaming_floor_atr(const double* high, const double* low, const double* close, double* out, std::size_t n) {
    for (std::size_t i = 0; i + 2 <= n; i += 2)
        _mm_stream_pd(out + i, _mm_mul_pd(_mm_sub_pd(_mm_loadu_pd(high + i), _mm_loadu_pd(low + i)),
                                          _mm_loadu_pd(close + i)));
    _mm_sfence();
}
#endif

// One kernel on one path (or a floor) at one size: what it runs and the
// nanoseconds per element of each round.
struct Candidate {
    std::string kernel;
    std::size_t n;
    Role role;
    InstructionSet path;  // plain for a floor
    bool automatic;       // the path a caller gets, not a forced one
    LargeRuns large_runs;
    std::function<void()> call;
    std::size_t repeats;  // calls per round, so that a round takes about 2 ms at least
    std::vector<double> nanoseconds;

    void run_round() {
        molvenar::lanes::testing::reset();
        molvenar::lanes::testing::force_large_runs(large_runs);
        if (role == Role::kernel && !automatic)
            molvenar::lanes::testing::force_path(path);
        const double start = thread_seconds();
        for (std::size_t r = 0; r < repeats; ++r)
            call();
        const double took = thread_seconds() - start;
        if (role == Role::kernel && automatic)
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

LargeRuns parse_mode(const std::string& mode) {
    return mode == "never" ? LargeRuns::never : mode == "always" ? LargeRuns::always : LargeRuns::by_size;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 15;
    bool all_paths = false;
    std::string only;
    std::vector<std::size_t> sizes = {10'000, 1'000'000, 10'000'000};
    std::vector<LargeRuns> modes = {LargeRuns::by_size};
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "--all-paths") {
            all_paths = true;
        } else if (arg == "--small-pages") {
            huge_pages = false;
        } else if (arg == "--only" && a + 1 < argc) {
            only = argv[++a];
        } else if (arg == "--sizes" && a + 1 < argc) {
            sizes.clear();
            char* p = argv[++a];
            while (*p != '\0')
                sizes.push_back(std::strtoull(p, &p, 10)), p += *p == ',';
        } else if (arg == "--large" && a + 1 < argc) {
            modes.clear();
            std::string list = argv[++a];
            for (std::size_t from = 0; from <= list.size();) {
                const std::size_t comma = std::min(list.find(',', from), list.size());
                modes.push_back(parse_mode(list.substr(from, comma - from)));
                from = comma + 1;
            }
        } else {
            rounds = std::max(3, std::atoi(argv[a]));
        }
    }
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
        const double* close = w->prices.close.data();
        struct Kernel {
            const char* name;
            std::function<void()> call, chain_floor, memory_floor, streaming_floor;
            bool has_lanes;
        };
        const Kernel kernels[] = {
            {"sma(20)", [w] { molvenar::compute_sma(20, in(w->prices.close), out(w->first)); },
             [w, close, n] { chain_floor_sma(close, w->first.data(), n); },
             [w, close, n] { memory_floor_one(close, w->first.data(), n); },
             [w, close, n] { streaming_floor_one(close, w->first.data(), n); }, false},
            {"ema(20)", [w] { molvenar::compute_ema(20, in(w->prices.close), out(w->first)); },
             [w, close, n] { chain_floor_ema(close, w->first.data(), n); },
             [w, close, n] { memory_floor_one(close, w->first.data(), n); },
             [w, close, n] { streaming_floor_one(close, w->first.data(), n); }, true},
            {"macd(12,26,9)",
             [w] {
                 molvenar::compute_macd(in(w->prices.close), 12, 26, 9, out(w->first), out(w->second),
                                        out(w->third));
             },
             [w, close, n] { chain_floor_macd(close, w->first.data(), n); },
             [w, close, n] { memory_floor_macd(close, w->first.data(), w->second.data(), w->third.data(), n); },
             [w, close, n] {
                 streaming_floor_macd(close, w->first.data(), w->second.data(), w->third.data(), n);
             },
             true},
            {"atr(14)",
             [w] {
                 molvenar::compute_atr(in(w->prices.high), in(w->prices.low), in(w->prices.close), 14,
                                       out(w->first));
             },
             [w, close, n] { chain_floor_atr(close, w->first.data(), n); },
             [w, n] {
                 memory_floor_atr(w->prices.high.data(), w->prices.low.data(), w->prices.close.data(),
                                  w->first.data(), n);
             },
             [w, n] {
                 streaming_floor_atr(w->prices.high.data(), w->prices.low.data(), w->prices.close.data(),
                                     w->first.data(), n);
             },
             true},
        };
        for (const Kernel& k : kernels) {
            if (!only.empty() && std::string(k.name).rfind(only, 0) != 0)
                continue;
            const LargeRuns first_mode = modes[0];
            candidates.push_back({k.name, n, Role::chain_floor, InstructionSet::plain, false, first_mode,
                                  k.chain_floor, repeats, {}});
            candidates.push_back({k.name, n, Role::memory_floor, InstructionSet::plain, false, first_mode,
                                  k.memory_floor, repeats, {}});
            candidates.push_back({k.name, n, Role::streaming_floor, InstructionSet::plain, false, first_mode,
                                  k.streaming_floor, repeats, {}});
            for (LargeRuns mode : k.has_lanes ? modes : std::vector<LargeRuns>{first_mode}) {
                candidates.push_back({k.name, n, Role::kernel, InstructionSet::plain, true, mode, k.call, repeats, {}});
                if (k.has_lanes && all_paths)
                    for (InstructionSet path : paths)
                        if (path != InstructionSet::plain || mode == first_mode)
                            candidates.push_back({k.name, n, Role::kernel, path, false, mode, k.call, repeats, {}});
            }
        }
    }

    std::printf("kernel benchmark: %d interleaved rounds, thread CPU time, medians; widest path here: %s; "
                "%s pages\n",
                rounds, molvenar::lanes::name(molvenar::lanes::widest_available()),
                huge_pages ? "huge (as NumPy advises from 4 MiB)" : "small");
    for (int round = 0; round < rounds; ++round)
        for (Candidate& c : candidates)
            c.run_round();
    molvenar::lanes::testing::reset();

    const bool several_modes = modes.size() > 1;
    std::printf("\n%-14s %9s %-8s %-7s %8s %9s %7s %8s %8s %7s %7s\n", "kernel", "n", "path",
                several_modes ? "large" : "", "ns/elem", "chain ns", "ratio", "mem ns", "nt ns", "/ mem", "noise");
    std::vector<double> noises;
    const Candidate* chain_floor = nullptr;
    const Candidate* memory_floor = nullptr;
    const Candidate* streaming_floor = nullptr;
    for (const Candidate& c : candidates) {
        if (c.role == Role::chain_floor) {
            chain_floor = &c;
            continue;
        }
        if (c.role == Role::memory_floor) {
            memory_floor = &c;
            continue;
        }
        if (c.role == Role::streaming_floor) {
            streaming_floor = &c;
            continue;
        }
        std::vector<double> ratios, memory_ratios;
        for (std::size_t r = 0; r < c.nanoseconds.size(); ++r) {
            ratios.push_back(c.nanoseconds[r] / chain_floor->nanoseconds[r]);
            const double memory = std::min(memory_floor->nanoseconds[r], streaming_floor->nanoseconds[r]);
            memory_ratios.push_back(c.nanoseconds[r] / memory);
        }
        const double noise = quartile_spread(ratios);
        noises.push_back(noise);
        const std::string path = c.kernel.rfind("sma", 0) == 0
                                     ? "-"
                                     : std::string(c.automatic ? "" : "=") + molvenar::lanes::name(c.path);
        std::printf("%-14s %9zu %-8s %-7s %8.3f %9.3f %7.3f %8.3f %8.3f %7.2f %6.1f%%\n", c.kernel.c_str(), c.n,
                    path.c_str(), several_modes ? mode_name(c.large_runs) : "", median(c.nanoseconds),
                    median(chain_floor->nanoseconds), median(ratios), median(memory_floor->nanoseconds),
                    median(streaming_floor->nanoseconds), median(memory_ratios), 100.0 * noise);
    }
    std::printf("\npath: the lanes that ran (=path: forced); plain: the plain loop alone.\n"
                "ratio: median over the rounds of kernel time / chain floor time in the same round.\n"
                "mem ns, nt ns: the memory floors, the kernel's series read and written without a chain,\n"
                "with plain stores and with streaming stores; / mem: median over the rounds of kernel time\n"
                "/ the lower memory floor in the same round.\n"
                "noise: interquartile range of the chain ratios / their median; median over all rows %.1f%%, "
                "largest %.1f%%.\n",
                100.0 * median(noises), 100.0 * *std::max_element(noises.begin(), noises.end()));
    for (Workspace* w : spaces)
        delete w;
    return 0;
}
