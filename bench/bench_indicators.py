"""molvenar against its chain floor and peer libraries, in one interleaved run.

    python bench/bench_indicators.py [--rounds N] [--sizes 4,6,7] [--takt-dir DIR]

Prints, for SMA(20), EMA(20), MACD(12, 26, 9) and ATR(14):
  0. daily-bar lengths (250, 2,500 and 25,000 values: a year, ten years, a
     hundred): nanoseconds per element of molvenar and TA-Lib, TA-Lib time /
     molvenar time, and molvenar's cost per element against its own at
     25,000, the longest length that stays in the caches;
  1. nanoseconds per element at each size for molvenar, then the chain floor
     (a C loop with exactly the kernel's loop-carried chain, built now and
     called through ctypes) and the ratio molvenar / floor, then for each peer
     (TA-Lib, ta-lib-takt, bottleneck, pandas, a numba loop) the ratio
     peer time / molvenar time: above 1 means molvenar is faster;
  2. the cost of one call at n = 16 against np.add(a, b, out=c) and TA-Lib;
  3. the throughput of two threads against one for the indicators that
     release the interpreter lock;
  4. whether each peer gives molvenar's bits, or how many ulps apart it is;
  5. the goals with a pass or miss mark.

Single-thread figures use the thread's CPU time (time.thread_time_ns), so
time the scheduler gives to other processes does not count; every round
times every candidate once, in a rotating order, and the figure is the median
over the rounds. "±" is the spread between the quartiles relative to the
median: the noise of the run. Thread scaling needs wall time; its CPU
column says how much of two cores the process actually got.
"""

import argparse
import os
import platform
import statistics
import sys
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import molvenar  # noqa: E402
from bench_peers import (  # noqa: E402
    INDICATORS, MACD_PERIODS, REPO, Candidate, RemoteCandidate, Series, bottleneck_candidate,
    floor_candidate, make_loop, molvenar_candidate, numba_candidate, output_digest, pandas_candidate,
    talib_candidate)

LABELS = {"sma": "SMA(20)", "ema": "EMA(20)", "macd": "MACD({},{},{})".format(*MACD_PERIODS), "atr": "ATR(14)"}
PEER_ORDER = ("TA-Lib", "ta-lib-takt", "bottleneck", "pandas", "numba")
GOAL_SIZE = 10**6
# (candidate, indicator, size) whose CPU time was spread over several threads.
MULTI_THREADED = set()

# Goals: (indicator, column, comparison, bound). Columns are "floor"
# (molvenar / floor) or a peer (peer / molvenar).
THROUGHPUT_GOALS = [
    ("sma", "floor", "<=", 1.05), ("sma", "TA-Lib", ">=", 1.7), ("sma", "bottleneck", ">=", 1.25),
    ("ema", "floor", "<=", 0.30), ("ema", "TA-Lib", ">=", 4.0), ("ema", "ta-lib-takt", ">=", 1.0),
    ("macd", "floor", "<=", 0.40), ("macd", "TA-Lib", ">=", 5.0),
    ("atr", "floor", "<=", 0.40), ("atr", "TA-Lib", ">=", 2.0),
]
PER_CALL_GOALS = [("sma", 0.5), ("atr", 0.7)]
DAILY_SIZES = (250, 2_500, 25_000)
# Goals at daily-bar lengths: (size, indicators, column, comparison, bound).
# "TA-Lib" is TA-Lib time / molvenar time; "own" is molvenar's time per
# element at the size / its time per element at 25,000.
DAILY_GOALS = [
    (2_500, INDICATORS, "TA-Lib", ">=", 2.0),
    (2_500, ("ema", "macd", "atr"), "own", "<=", 1.5),
    (250, INDICATORS, "TA-Lib", ">=", 3.5),
]
THREAD_GOAL = 1.8
# Below this many cores in use during two-thread runs the machine was busy.
BUSY_CORES = 1.6


def summary(samples):
    """Median and quartile spread relative to it."""
    if len(samples) < 2:
        return samples[0], 0.0
    q1, median, q3 = statistics.quantiles(samples, n=4, method="inclusive")
    return median, (q3 - q1) / median if median else 0.0


def interleaved(runners, count, rounds, per):
    """Times each runner `count` calls per round, rounds interleaved. Returns
    thread CPU time per unit, and the names of runners whose process CPU time
    was well above their thread's: they computed on other threads too, which
    the thread clock does not see."""
    names = list(runners)
    samples = {name: [] for name in names}
    process_share = {name: [] for name in names}
    for round_index in range(rounds):
        shift = round_index % len(names)
        for name in names[shift:] + names[:shift]:
            thread_ns, process_ns = runners[name].time_ns(count)
            samples[name].append(thread_ns / per(name, count))
            process_share[name].append(process_ns / thread_ns if thread_ns > 0 else 1.0)
    threaded = {name for name, shares in process_share.items() if statistics.median(shares) > 1.2}
    return samples, threaded


def fmt_ratio(value):
    return "–" if value is None else f"{value:.2f}"


# --- 0. daily bars ----------------------------------------------------------------

def print_daily(table):
    print("\n0. daily-bar lengths: ns per element (± run-to-run spread), TA-Lib time / molvenar time "
          "(above 1 = molvenar faster), and molvenar's ns per element / its own at 25,000")
    print(f"{'':<14}{'n':>8}{'molvenar ns/el':>18}{'TA-Lib ns/el':>18}{'TA-Lib / mlv':>14}{'mlv / own 25k':>15}")
    longest = max(table)
    for indicator in INDICATORS:
        for n, rows in table.items():
            ours, spread = rows[indicator]["molvenar"]
            cells = [f"{ours:8.3f} ±{spread:4.0%}"]
            if "TA-Lib" in rows[indicator]:
                theirs, their_spread = rows[indicator]["TA-Lib"]
                cells += [f"{theirs:8.3f} ±{their_spread:4.0%}", fmt_ratio(theirs / ours)]
            else:
                cells += ["–", "–"]
            cells.append(fmt_ratio(ours / table[longest][indicator]["molvenar"][0]))
            print(f"{LABELS[indicator]:<14}{n:>8}" + "".join(f"{c:>{w}}" for c, w in zip(cells, (18, 18, 14, 15))))


def daily_goal_lines(table):
    lines = []
    for n, indicators, column, comparison, bound in DAILY_GOALS:
        for indicator in indicators:
            results = table.get(n, {}).get(indicator, {})
            value = None
            if column == "TA-Lib" and "TA-Lib" in results:
                value = results["TA-Lib"][0] / results["molvenar"][0]
            elif column == "own" and max(table) in table:
                value = results["molvenar"][0] / table[max(table)][indicator]["molvenar"][0]
            what = "TA-Lib / molvenar" if column == "TA-Lib" else "molvenar / own at 25,000"
            lines.append(f"{LABELS[indicator]:<14}{f'n = {n:,}':<10}{what:<26}{fmt_ratio(value):>6}  "
                         f"goal {comparison} {bound:<5}{mark(value, comparison, bound)}")
    return lines


# --- 1. throughput ---------------------------------------------------------------

def throughput(candidates, sizes, rounds, elements_per_timing):
    """{size: {indicator: {name: (median ns/element, spread)}}}"""
    table = {}
    for n in sizes:
        series = Series(n)
        table[n] = {}
        for indicator in INDICATORS:
            runners = {c.name: c.runner(indicator, series) for c in candidates if c.supports(indicator)}
            count = max(1, elements_per_timing // n)
            samples, threaded = interleaved(runners, count, rounds, lambda name, calls: calls * n)
            table[n][indicator] = {name: summary(values) for name, values in samples.items()}
            for name in threaded:
                MULTI_THREADED.add((name, indicator, n))
        del series
    return table


def print_throughput(table, peers):
    columns = ["molvenar ns/el", "floor ns/el", "mlv / floor"] + [p for p in PEER_ORDER if p in peers]
    print("\n1. ns per element, and ratios (floor column: molvenar / floor, lower is better; "
          "peer columns: peer time / molvenar time, above 1 = molvenar faster)")
    for n, rows in table.items():
        print(f"\nn = 10^{round(np.log10(n))}")
        print(f"{'':<14}" + "".join(f"{c:>16}" for c in columns))
        for indicator, results in rows.items():
            ours, spread = results["molvenar"]
            cells = [f"{ours:8.3f} ±{spread:4.0%}"]
            if "floor" in results:
                floor, floor_spread = results["floor"]
                cells += [f"{floor:8.3f} ±{floor_spread:4.0%}", fmt_ratio(ours / floor)]
            else:
                cells += ["–", "–"]
            for peer in columns[3:]:
                cell = fmt_ratio(results[peer][0] / ours) if peer in results else "–"
                cells.append(cell + ("*" if (peer, indicator, n) in MULTI_THREADED else ""))
            print(f"{LABELS[indicator]:<14}" + "".join(f"{c:>16}" for c in cells))
    if MULTI_THREADED:
        print("* used threads of its own: its thread CPU time leaves their work out")


# --- 2. per call ---------------------------------------------------------------------

def per_call(candidates, rounds, calls=2000):
    series = Series(16)
    add = Candidate("np.add", {"add": "add(close, high, out=out0)"}, {"add": np.add})
    runners = {}
    for candidate in [add] + [c for c in candidates if c.name in ("molvenar", "TA-Lib", "ta-lib-takt")]:
        for indicator in ("add",) + INDICATORS:
            if candidate.supports(indicator):
                runners[f"{candidate.name} {indicator}"] = candidate.runner(indicator, series)
    samples, _ = interleaved(runners, calls, rounds, lambda name, count: count)
    return {name: summary(values) for name, values in samples.items()}


def print_per_call(results):
    print("\n2. one call at n = 16, ns (thread CPU time of a timeit-style loop; the loop's own "
          "cost is included for every row)")
    add, add_spread = results["np.add add"]
    print(f"{'np.add(a, b, out=c)':<22}{add:8.0f} ±{add_spread:4.0%}")
    for name in ("molvenar", "TA-Lib", "ta-lib-takt"):
        cells = []
        for indicator in INDICATORS:
            key = f"{name} {indicator}"
            if key in results:
                value, spread = results[key]
                cells.append(f"{indicator} {value:6.0f} ±{spread:3.0%} ({value / add:.2f} × add)")
        if cells:
            print(f"{name:<22}" + "   ".join(cells))


# --- 3. threads ------------------------------------------------------------------------

def run_threads(loops, calls):
    barrier = threading.Barrier(len(loops) + 1)

    def work(loop):
        barrier.wait()
        loop(calls)

    threads = [threading.Thread(target=work, args=(loop,)) for loop in loops]
    for thread in threads:
        thread.start()
    barrier.wait()
    wall, cpu = time.perf_counter(), time.process_time()
    for thread in threads:
        thread.join()
    return time.perf_counter() - wall, time.process_time() - cpu


def thread_scaling(candidate, n, rounds):
    """{indicator: (median speed-up, spread, median CPU cores used, best speed-up)}"""
    results = {}
    for indicator in ("sma", "ema", "macd"):
        loops = [make_loop(candidate.statements[indicator], dict(candidate.namespace, **Series(n).names()))
                 for _ in range(2)]
        for loop in loops:
            loop(1)
        # About 30 ms of work per thread and run for SMA at 10^5.
        calls = max(20, 40_000_000 // n)
        speedups, cores = [], []
        for round_index in range(rounds):
            order = (1, 2) if round_index % 2 == 0 else (2, 1)
            walls = {}
            for threads in order:
                wall, cpu = run_threads(loops[:threads], calls)
                walls[threads] = wall
                if threads == 2:
                    cores.append(cpu / wall)
            speedups.append(2 * walls[1] / walls[2])
        median, spread = summary(speedups)
        results[indicator] = (median, spread, statistics.median(cores), max(speedups))
    return results


def print_threads(results, n):
    print(f"\n3. two threads against one: independent calls on separate arrays of n = {n}, "
          "speed-up = throughput(2) / throughput(1), wall time")
    for indicator, (speedup, spread, cores, best) in results.items():
        print(f"{LABELS[indicator]:<14} {speedup:5.2f} ±{spread:4.0%}  (best round {best:.2f})   "
              f"CPU cores the process got during the two-thread runs: {cores:.2f} of 2")
    if any(cores < BUSY_CORES for _, _, cores, _ in results.values()):
        print("  the process got too little of two cores for this figure to mean anything: other "
              "processes were running; run again on a quiet machine")


# --- 4. bits ----------------------------------------------------------------------------

def ordered_bits(values):
    bits = values.view(np.int64)
    return np.where(bits < 0, np.int64(np.iinfo(np.int64).min) - bits, bits)


def compare_bits(ours, theirs):
    if ours.shape != theirs.shape:
        return f"length {theirs.size} against {ours.size}"
    if np.array_equal(ours.view(np.int64), theirs.view(np.int64)):
        return "identical bits"
    nan_ours, nan_theirs = np.isnan(ours), np.isnan(theirs)
    different = ours.view(np.int64) != theirs.view(np.int64)
    both = ~nan_ours & ~nan_theirs
    a, b = ordered_bits(ours[both]), ordered_bits(theirs[both])
    ulps = np.where(a >= b, a.view(np.uint64) - b.view(np.uint64), b.view(np.uint64) - a.view(np.uint64))
    parts = []
    if ulps.size:
        parts.append(f"max {int(ulps.max())} ulp, median {int(np.median(ulps))}")
    parts.append(f"{different.mean():.1%} of positions differ")
    mismatched = int((nan_ours != nan_theirs).sum())
    if mismatched:
        parts.append(f"NaN at {mismatched} different positions")
    last = int(np.flatnonzero(different)[-1])
    if last + 1 < ours.size:
        parts.append(f"identical from index {last + 1}")
    return ", ".join(parts)


def bit_checks(candidates, takt, n=100_000):
    series = Series(n)
    by_name = {c.name: c for c in candidates}
    ours = {ind: by_name["molvenar"].result(ind, series) for ind in INDICATORS}
    lines = []
    for name in ("numba", "bottleneck", "pandas", "TA-Lib"):
        candidate = by_name.get(name)
        if not candidate:
            continue
        for indicator in INDICATORS:
            if candidate.supports(indicator):
                lines.append(f"{name:<12}{LABELS[indicator]:<14}"
                             f"{compare_bits(ours[indicator], candidate.result(indicator, series))}")
    if takt and "TA-Lib" in by_name:
        for indicator in INDICATORS:
            same = takt.digest(indicator, n) == output_digest(by_name["TA-Lib"].result(indicator, series))
            lines.append(f"{'ta-lib-takt':<12}{LABELS[indicator]:<14}"
                         f"{'TA-Lib' + chr(39) + 's bits' if same else 'differs from TA-Lib'}")
    return lines


# --- 5. goals -----------------------------------------------------------------------------

def mark(value, comparison, bound):
    if value is None:
        return "not measured"
    ok = value <= bound if comparison == "<=" else value >= bound
    return "pass" if ok else "MISS"


def print_goals(table, per_call_results, thread_results, daily_table):
    print(f"\n5. goals (throughput at n = 10^{round(np.log10(GOAL_SIZE))}, then at daily-bar lengths)")
    rows = table.get(GOAL_SIZE, {})
    for indicator, column, comparison, bound in THROUGHPUT_GOALS:
        results = rows.get(indicator, {})
        value = None
        if "molvenar" in results and column in results:
            ours, theirs = results["molvenar"][0], results[column][0]
            value = ours / theirs if column == "floor" else theirs / ours
        what = "molvenar / floor" if column == "floor" else f"{column} / molvenar"
        print(f"{LABELS[indicator]:<14}{what:<26}{fmt_ratio(value):>6}  goal {comparison} {bound:<5}"
              f"{mark(value, comparison, bound)}")
    add = per_call_results.get("np.add add", (None,))[0]
    for indicator, bound in PER_CALL_GOALS:
        ours = per_call_results.get(f"molvenar {indicator}", (None,))[0]
        value = ours / add if ours and add else None
        print(f"{'per call n=16':<14}{'indicator_' + indicator + ' / np.add':<26}{fmt_ratio(value):>6}  "
              f"goal <= {bound:<5}{mark(value, '<=', bound)}")
    for indicator, (speedup, _, cores, _) in (thread_results or {}).items():
        verdict = mark(speedup, ">=", THREAD_GOAL)
        if cores < BUSY_CORES:
            verdict += f" (machine busy: {cores:.2f} of 2 cores)"
        print(f"{LABELS[indicator]:<14}{'2 threads / 1 thread':<26}{speedup:>6.2f}  goal >= {THREAD_GOAL:<5}"
              f"{verdict}")
    for line in daily_goal_lines(daily_table):
        print(line)


# --- main ---------------------------------------------------------------------------------

def processor_name():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9, help="interleaved rounds per figure (default 9)")
    parser.add_argument("--sizes", default="4,6,7", help="series sizes as powers of ten (default 4,6,7)")
    parser.add_argument("--daily-only", action="store_true",
                        help="only the daily-bar lengths against TA-Lib (section 0 and its goals)")
    parser.add_argument("--thread-n", type=int, default=100_000, help="series size of the thread runs")
    parser.add_argument("--takt-dir", default=str(REPO / ".venv-bench" / "takt"),
                        help="where ta-lib-takt is installed (pip install --target)")
    args = parser.parse_args()
    sizes = [10 ** int(e) for e in args.sizes.split(",")]

    notes = []
    candidates = [molvenar_candidate()]
    candidates += [c for c in (floor_candidate(notes), talib_candidate(notes)) if c]
    takt = RemoteCandidate.start(args.takt_dir, notes)
    candidates += [c for c in (takt, bottleneck_candidate(notes), pandas_candidate(notes), numba_candidate(notes))
                   if c]
    peers = {c.name for c in candidates}

    load_before = os.getloadavg()
    print(f"molvenar on {processor_name()}, {os.cpu_count()} logical CPUs; CPython {platform.python_version()}, "
          f"NumPy {np.__version__}")
    for note in notes:
        print(f"  {note}")
    try:
        daily = [c for c in candidates if c.name in ("molvenar", "TA-Lib")]
        daily_table = throughput(daily, DAILY_SIZES, max(11, args.rounds), elements_per_timing=1_000_000)
        print_daily(daily_table)
        if args.daily_only:
            print("\n5. goals at daily-bar lengths")
            for line in daily_goal_lines(daily_table):
                print(line)
            return
        table = throughput(candidates, sizes, args.rounds, elements_per_timing=2_000_000)
        print_throughput(table, peers)
        per_call_results = per_call(candidates, max(15, args.rounds))
        print_per_call(per_call_results)
        thread_results = thread_scaling(candidates[0], args.thread_n, max(7, args.rounds))
        print_threads(thread_results, args.thread_n)
        print("\n4. bits against molvenar (n = 10^5 random walk; peers with other conventions "
              "differ by design)")
        for line in bit_checks(candidates, takt):
            print(f"  {line}")
        print_goals(table, per_call_results, thread_results, daily_table)
    finally:
        if takt:
            takt.close()
    load_after = os.getloadavg()
    print(f"\nload average (1 min) {load_before[0]:.2f} before, {load_after[0]:.2f} after, on "
          f"{os.cpu_count()} CPUs: above the CPU count, other processes competed for the cores")


if __name__ == "__main__":
    main()
