"""Scaling of the four indicators over a universe of instruments, with threads and with processes.

    python bench/bench_universe.py [--instruments N] [--days N] [--rounds R] [--threads 1,2]
                                   [--processes 1,2]

Runs the jobs of examples/universe.py (a thread pool; a pool of worker
processes on shared memory, started before the timing) for each thread or
process count and each group of indicators, round by round (every candidate
once per round, so a busy spell of the shared machine hits them all alike),
and prints medians. Throughput needs wall-clock time (the workers overlap);
CPU time is shown beside it, the workers' included: about workers x wall when
they really run at once. Groups: SMA+EMA+MACD release the interpreter lock,
ATR holds it, "all four" is the real job.

Then, apart from the universe, what two threads gain by series length: each
thread calls one indicator again and again on its own arrays (in the caches),
against one thread making both threads' calls. Threads overlap only while a
call computes without the lock: when calls are short, the thread that waits
for the lock is still waking up when the other one takes it back.
"""

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

import universe  # noqa: E402
from bench_indicators import BUSY_CORES, LABELS, thread_scaling  # noqa: E402
from bench_peers import molvenar_candidate  # noqa: E402

GROUPS = {
    "all four": ("sma", "ema", "macd", "atr"),
    "SMA+EMA+MACD": ("sma", "ema", "macd"),
    "ATR": ("atr",),
}


def timed_threads(prices, outputs, threads, block, indicators):
    wall, cpu = time.perf_counter(), time.process_time()
    universe.run_threads(prices, threads, block, indicators, outputs)
    return time.perf_counter() - wall, time.process_time() - cpu


def timed_processes(shared, pool, block, indicators):
    wall, cpu = time.perf_counter(), time.process_time()
    workers_cpu = universe.run_processes(shared, pool, block, indicators)
    return time.perf_counter() - wall, time.process_time() - cpu + workers_cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--instruments", type=int, default=2000)
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--block", type=int, default=universe.DEFAULT_BLOCK)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--threads", default=f"1,{os.cpu_count() or 1}")
    parser.add_argument("--processes", default=f"1,{os.cpu_count() or 1}", help="'' for none")
    parser.add_argument("--lengths", default="2500,25000,250000",
                        help="series lengths of the two-threads-against-one runs ('' for none)")
    args = parser.parse_args()
    counts = {"threads": [int(t) for t in args.threads.split(",") if t],
              "processes": [int(p) for p in args.processes.split(",") if p]}

    load_before = os.getloadavg()[0]
    prices = universe.synthetic_universe(args.instruments, args.days)
    # The outputs are allocated once and written first in the warm-up, so the
    # rounds time the computation, not the page faults of fresh memory.
    outputs = universe.allocate_outputs(args.instruments, args.days)
    with universe.SharedUniverse(args.instruments, args.days) as shared:
        for name in universe.PRICES:
            shared.arrays[name][...] = prices[name]
        pools = {count: universe.start_process_pool(shared, count) for count in counts["processes"]}
        try:
            runs = {("threads", count): lambda indicators, count=count: timed_threads(
                        prices, outputs, count, args.block, indicators) for count in counts["threads"]}
            runs.update({("processes", count): lambda indicators, pool=pool: timed_processes(
                             shared, pool, args.block, indicators) for count, pool in pools.items()})
            for run in runs.values():
                run(GROUPS["all four"])  # starts the workers, writes the outputs once
            samples = {(group, how): [] for group in GROUPS for how in runs}
            for _ in range(args.rounds):
                for group, indicators in GROUPS.items():
                    for how, run in runs.items():
                        samples[group, how].append(run(indicators))
        finally:
            for pool in pools.values():
                pool.shutdown()

    elements = args.instruments * args.days
    print(f"{args.instruments} instruments x {args.days} days, blocks of {args.block}, "
          f"{args.rounds} interleaved rounds, {os.cpu_count()} cores, "
          f"load average {load_before:.1f} before and {os.getloadavg()[0]:.1f} after")
    print("wall = wall-clock seconds per run (median); spread = (max - min) / median of the wall times;\n"
          "cpu = CPU seconds per run, the worker processes' included (median): cpu / wall is the number\n"
          "of cores kept busy; speed-up against one worker of the same kind")
    print(f"{'indicators':<14}{'workers':>14}{'wall s':>9}{'spread':>8}{'cpu s':>8}"
          f"{'M values/s':>12}{'speed-up':>10}")
    for group in GROUPS:
        for kind in counts:
            if not counts[kind]:
                continue
            single = statistics.median(wall for wall, _ in samples[group, (kind, counts[kind][0])])
            for count in counts[kind]:
                walls = [wall for wall, _ in samples[group, (kind, count)]]
                wall = statistics.median(walls)
                cpu = statistics.median(cpu for _, cpu in samples[group, (kind, count)])
                spread = (max(walls) - min(walls)) / wall
                print(f"{group:<14}{count:>4} {kind:<9}{wall:>9.3f}{spread:>7.0%} {cpu:>8.3f}"
                      f"{elements / wall / 1e6:>12.1f}{single / wall:>10.2f}")

    lengths = [int(n) for n in args.lengths.split(",") if n]
    if lengths:
        print_scaling_by_length(lengths, max(3, args.rounds // 2))


def print_scaling_by_length(lengths, rounds):
    candidate = molvenar_candidate()
    results = {n: thread_scaling(candidate, n, rounds) for n in lengths}
    print(f"\ntwo threads against one by series length (throughput(2) / throughput(1), wall time, "
          f"median of {rounds} rounds; in brackets the CPU cores the process got with two threads)")
    print(f"{'length':>10}" + "".join(f"{LABELS[indicator]:>22}" for indicator in ("sma", "ema", "macd")))
    for n, by_indicator in results.items():
        cells = [f"{speedup:.2f} ({cores:.2f})" for speedup, _, cores, _ in by_indicator.values()]
        print(f"{n:>10}" + "".join(f"{cell:>22}" for cell in cells))
    if any(cores < BUSY_CORES for by in results.values() for _, _, cores, _ in by.values()):
        print(f"  fewer than {BUSY_CORES} cores: the second thread slept while waiting for the lock, or "
              f"other processes had the core (load average now {os.getloadavg()[0]:.1f})")


if __name__ == "__main__":
    main()
