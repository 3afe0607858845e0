"""Nanoseconds per element of the four molvenar callables, with NumPy and
pure-Python formulations alongside for context.

    python bench/bench_indicators.py [--repeats N] [--max-exponent E]

Each figure is the best of N repeats (time.perf_counter_ns); small inputs are
called in batches so that one timing covers at least about a million elements.
The reference rows compute the same averages without the module's exact
numeric rules; they are there for scale, not for comparison of results.
"""

import argparse
import math
import platform
import time

import numpy as np

import molvenar

PERIOD = 20
MACD_PERIODS = (12, 26, 9)
ATR_PERIOD = 14
ELEMENTS_PER_TIMING = 1_000_000
PURE_PYTHON_LIMIT = 100_000  # pure-Python loops are skipped above this size


def price_series(n, seed=7):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    spread = close * np.abs(rng.normal(0.0, 0.01, n))
    return close + spread, close - spread, close


def best_ns_per_element(run, n, repeats):
    batch = max(1, ELEMENTS_PER_TIMING // n)
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(batch):
            run()
        best = min(best, time.perf_counter_ns() - start)
    return best / (batch * n)


def cases(high, low, close):
    n = close.size
    out = [np.empty(n) for _ in range(3)]
    window = np.full(PERIOD, 1.0 / PERIOD)

    def sma_cumsum():
        sums = np.cumsum(close)
        return (sums[PERIOD - 1:] - np.concatenate(([0.0], sums[:-PERIOD]))) / PERIOD

    def ema_pure_python():
        values = close.tolist()
        alpha = 2.0 / (PERIOD + 1.0)
        average = sum(values[:PERIOD]) / PERIOD
        result = [average]
        for x in values[PERIOD:]:
            average = average * (1.0 - alpha) + x * alpha
            result.append(average)
        return result

    return [
        ("indicator_sma(20)", lambda: molvenar.indicator_sma(PERIOD, close, out[0]), True),
        ("indicator_ema(20)", lambda: molvenar.indicator_ema(PERIOD, close, out[0]), True),
        ("indicator_macd(12, 26, 9)",
         lambda: molvenar.indicator_macd(*MACD_PERIODS, close, out[0], out[1], out[2]), True),
        ("indicator_atr(14)", lambda: molvenar.indicator_atr(ATR_PERIOD, high, low, close, out[0]), True),
        ("numpy np.convolve SMA(20)", lambda: np.convolve(close, window, mode="valid"), True),
        ("numpy cumsum SMA(20)", sma_cumsum, True),
        ("pure Python EMA(20)", ema_pure_python, n <= PURE_PYTHON_LIMIT),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5, help="timings per figure, best kept (default 5)")
    parser.add_argument("--max-exponent", type=int, default=7, choices=(3, 5, 7),
                        help="largest n as a power of ten (default 7)")
    args = parser.parse_args()

    sizes = [10 ** e for e in (3, 5, 7) if e <= args.max_exponent]
    table = {}
    for n in sizes:
        for name, run, enabled in cases(*price_series(n)):
            table.setdefault(name, {})[n] = best_ns_per_element(run, n, args.repeats) if enabled else None

    print(f"CPython {platform.python_version()}, NumPy {np.__version__}, {platform.machine()}; "
          f"ns per element, best of {args.repeats}")
    name_width = max(len(name) for name in table)
    print(f"{'':<{name_width}}" + "".join(f"{'n = 1e%d' % round(math.log10(n)):>12}" for n in sizes))
    for name, row in table.items():
        cells = "".join(f"{'-':>12}" if row[n] is None else f"{row[n]:12.2f}" for n in sizes)
        print(f"{name:<{name_width}}{cells}")


if __name__ == "__main__":
    main()
