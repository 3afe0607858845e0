"""Compares two builds of molvenar: thread CPU time per element of each
indicator on aligned arrays, builds interleaved round by round.

    python bench/compare_revisions.py BASELINE CANDIDATE [--rounds R] [--sizes N ...]

BASELINE and CANDIDATE are each a git revision of this repository (built
here into build/compare/<revision>, with the running interpreter's pip), "."
for the working tree, or a directory that already holds an installed module
(pip install --target DIR .). A module can be loaded once per process, so
every measurement runs in a fresh interpreter; the builds alternate within
each round (ABBA order) so that a machine that gets busier or quieter
affects both alike. Each figure is the median over the rounds of a median of
repeats; the spread of the per-round ratios tells how noisy the machine was.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPOSITORY = Path(__file__).resolve().parent.parent
INDICATORS = ("sma", "ema", "macd", "atr")


def measure(n, repeats, elements_per_timing=2_000_000):
    """{indicator: median thread-CPU ns per element} for the imported module."""
    import numpy as np

    import molvenar

    rng = np.random.default_rng(1)
    close = 100 + rng.normal(size=n).cumsum()
    high, low = close + 1.0, close - 1.0
    outs = [np.empty(n) for _ in range(3)]
    assert all(a.ctypes.data % 8 == 0 for a in (close, high, low, *outs))
    calls = {
        "sma": lambda: molvenar.indicator_sma(20, close, outs[0]),
        "ema": lambda: molvenar.indicator_ema(20, close, outs[0]),
        "macd": lambda: molvenar.indicator_macd(12, 26, 9, close, *outs),
        "atr": lambda: molvenar.indicator_atr(14, high, low, close, outs[0]),
    }
    batch = max(1, elements_per_timing // n)
    result = {}
    for name, call in calls.items():
        call()
        samples = []
        for _ in range(repeats):
            start = time.thread_time_ns()
            for _ in range(batch):
                call()
            samples.append((time.thread_time_ns() - start) / (batch * n))
        result[name] = statistics.median(samples)
    return result


def installed(build, interpreter):
    """The directory holding the module for a build named on the command line."""
    if Path(build).is_dir() and any(Path(build).glob("molvenar*.so")):
        return Path(build)
    label = "worktree" if build == "." else subprocess.run(
        ["git", "-C", REPOSITORY, "rev-parse", "--short", build], check=True, capture_output=True,
        text=True).stdout.strip()
    target = REPOSITORY / "build" / "compare" / label
    source = REPOSITORY
    with tempfile.TemporaryDirectory() as unpacked:
        if build != ".":
            archive = subprocess.run(["git", "-C", REPOSITORY, "archive", build], check=True,
                                     capture_output=True).stdout
            subprocess.run(["tar", "-x", "-C", unpacked], input=archive, check=True)
            source = Path(unpacked)
        print(f"building {build} into {target}", file=sys.stderr)
        subprocess.run([interpreter, "-m", "pip", "install", "--quiet", "--no-deps", "--upgrade",
                        "--target", target, f"--config-settings=build-dir={target}-build", source],
                       check=True)
    return target


def run_worker(directory, n, repeats):
    env = dict(os.environ, PYTHONPATH=str(directory))
    done = subprocess.run([sys.executable, __file__, "--worker", str(n), str(repeats)],
                          env=env, check=True, capture_output=True, text=True)
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("baseline")
    parser.add_argument("candidate")
    parser.add_argument("--rounds", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=7, help="timings per figure in one round")
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 100_000, 1_000_000])
    args = parser.parse_args()

    builds = [installed(args.baseline, sys.executable), installed(args.candidate, sys.executable)]
    figures = {(n, side): [] for n in args.sizes for side in range(2)}
    for round_number in range(args.rounds):
        order = (0, 1) if round_number % 2 == 0 else (1, 0)
        for n in args.sizes:
            for side in order:
                figures[n, side].append(run_worker(builds[side], n, args.repeats))

    print(f"baseline:  {args.baseline}\ncandidate: {args.candidate}")
    print(f"{args.rounds} rounds, ABBA; thread CPU ns per element, median of rounds\n")
    print(f"{'indicator':<10}{'n':>10}{'baseline':>11}{'candidate':>11}{'ratio':>8}   per-round ratios")
    for n in args.sizes:
        for name in INDICATORS:
            base = [r[name] for r in figures[n, 0]]
            cand = [r[name] for r in figures[n, 1]]
            ratios = sorted(c / b for b, c in zip(base, cand))
            print(f"{name:<10}{n:>10}{statistics.median(base):>11.3f}{statistics.median(cand):>11.3f}"
                  f"{statistics.median(ratios):>8.3f}   {ratios[0]:.3f} .. {ratios[-1]:.3f}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--worker"]:
        print(json.dumps(measure(int(sys.argv[2]), int(sys.argv[3]))))
    else:
        main()
