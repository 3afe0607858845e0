"""Thread scaling of the four indicators over a universe of instruments.

    python bench/bench_universe.py [--instruments N] [--days N] [--rounds R] [--threads 1,2]

Runs the thread-pool job of examples/universe.py for each thread count and
each group of indicators, round by round (every candidate once per round, so a
busy spell of the shared machine hits them all alike), and prints medians.
Throughput needs wall-clock time (threads overlap); process CPU time is shown
beside it: about threads x wall when the threads really run at once. Groups:
SMA+EMA+MACD release the interpreter lock, ATR holds it, "all four" is the
real job.
"""

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

import universe  # noqa: E402

GROUPS = {
    "all four": ("sma", "ema", "macd", "atr"),
    "SMA+EMA+MACD": ("sma", "ema", "macd"),
    "ATR": ("atr",),
}


def timed_run(prices, outputs, threads, block, indicators):
    wall, cpu = time.perf_counter(), time.process_time()
    universe.run_threads(prices, threads, block, indicators, outputs)
    return time.perf_counter() - wall, time.process_time() - cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--instruments", type=int, default=2000)
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--block", type=int, default=universe.DEFAULT_BLOCK)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--threads", default=f"1,{os.cpu_count() or 1}")
    args = parser.parse_args()
    thread_counts = [int(t) for t in args.threads.split(",")]

    load_before = os.getloadavg()[0]
    prices = universe.synthetic_universe(args.instruments, args.days)
    # The outputs are allocated once and written first in the warm-up, so the
    # rounds time the computation, not the page faults of fresh memory.
    outputs = universe.allocate_outputs(args.instruments, args.days)
    for threads in thread_counts:
        timed_run(prices, outputs, threads, args.block, GROUPS["all four"])
    samples = {(group, threads): [] for group in GROUPS for threads in thread_counts}
    for _ in range(args.rounds):
        for group, indicators in GROUPS.items():
            for threads in thread_counts:
                samples[group, threads].append(timed_run(prices, outputs, threads, args.block, indicators))

    elements = args.instruments * args.days
    print(f"{args.instruments} instruments x {args.days} days, blocks of {args.block}, "
          f"{args.rounds} interleaved rounds, {os.cpu_count()} cores, "
          f"load average {load_before:.1f} before and {os.getloadavg()[0]:.1f} after")
    print("wall = wall-clock seconds per run (median); spread = (max - min) / median of the wall times;\n"
          "cpu = process CPU seconds per run (median): cpu / wall is the number of cores kept busy")
    print(f"{'indicators':<14}{'threads':>8}{'wall s':>9}{'spread':>8}{'cpu s':>8}"
          f"{'M values/s':>12}{'speed-up':>10}")
    for group in GROUPS:
        single = statistics.median(wall for wall, _ in samples[group, thread_counts[0]])
        for threads in thread_counts:
            walls = [wall for wall, _ in samples[group, threads]]
            wall = statistics.median(walls)
            cpu = statistics.median(cpu for _, cpu in samples[group, threads])
            spread = (max(walls) - min(walls)) / wall
            print(f"{group:<14}{threads:>8}{wall:>9.3f}{spread:>7.0%} {cpu:>8.3f}"
                  f"{elements / wall / 1e6:>12.1f}{single / wall:>10.2f}")


if __name__ == "__main__":
    main()
