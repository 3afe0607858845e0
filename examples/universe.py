"""The four indicators for a universe of instruments: a thread pool or a Dask cluster.

Computes SMA(20), EMA(20), MACD(12, 26, 9) and ATR(14) for every instrument of
a universe held as 2-D float64 arrays, one row per instrument and one column
per day. Each row of a C-contiguous 2-D array is a contiguous 1-D array, which
is what molvenar takes, so rows are passed without a copy and the results are
written straight into rows of the output arrays.

    python examples/universe.py [--instruments N] [--days N] [--threads 1,2]
    python examples/universe.py --dask [--scheduler ADDRESS] [--workers N]

Threads: indicator_sma, indicator_ema and indicator_macd release the
interpreter lock while they compute, so their work on different blocks runs
on several cores at once; indicator_atr holds the lock, so its share runs one
thread at a time. With short series each call is brief and handing the lock
between threads limits the gain; processes (the Dask cluster) avoid both. Dask: one task per block of instruments on a Dask distributed cluster, a
LocalCluster of --workers processes unless --scheduler gives the address of a
running scheduler (for example tcp://10.0.0.5:8786). The workers need numpy
and molvenar; this file is sent to them with the tasks. Dask is optional:
pip install dask distributed.
"""

import argparse
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import molvenar

MA_PERIOD = 20
MACD_PERIODS = (12, 26, 9)
ATR_PERIOD = 14
INDICATORS = ("sma", "ema", "macd", "atr")
OUTPUTS = ("sma", "ema", "macd", "signal", "hist", "atr")
DEFAULT_BLOCK = 50  # instruments per task


def synthetic_universe(instruments, days, seed=2024):
    """High, low and close of `instruments` random walks over `days` days."""
    rng = np.random.default_rng(seed)
    close = rng.normal(0.0002, 0.017, (instruments, days))
    np.cumsum(close, axis=1, out=close)
    np.exp(close, out=close)
    close *= rng.uniform(10.0, 500.0, (instruments, 1))
    spread = close * np.abs(rng.normal(0.0, 0.008, (instruments, days)))
    return {"high": close + spread, "low": close - spread, "close": close}


def allocate_outputs(instruments, days):
    """One array per output; np.empty suffices since every position is written."""
    return {name: np.empty((instruments, days)) for name in OUTPUTS}


def compute_rows(prices, outputs, rows, indicators=INDICATORS):
    """Fills rows `rows` of `outputs` from the same rows of `prices`."""
    high, low, close = prices["high"], prices["low"], prices["close"]
    for i in rows:
        if "sma" in indicators:
            molvenar.indicator_sma(MA_PERIOD, close[i], outputs["sma"][i])
        if "ema" in indicators:
            molvenar.indicator_ema(MA_PERIOD, close[i], outputs["ema"][i])
        if "macd" in indicators:
            molvenar.indicator_macd(*MACD_PERIODS, close[i],
                                    outputs["macd"][i], outputs["signal"][i], outputs["hist"][i])
        if "atr" in indicators:
            molvenar.indicator_atr(ATR_PERIOD, high[i], low[i], close[i], outputs["atr"][i])


def blocks(instruments, block_size):
    return [range(start, min(start + block_size, instruments))
            for start in range(0, instruments, block_size)]


def run_threads(prices, threads, block_size=DEFAULT_BLOCK, indicators=INDICATORS, outputs=None):
    """All instruments on a pool of `threads` threads, one task per block.

    Pass `outputs` (from allocate_outputs) to reuse them from run to run: the
    first writes into fresh memory cost the kernel's page faults, several
    times the computation itself.
    """
    instruments, days = prices["close"].shape
    if outputs is None:
        outputs = allocate_outputs(instruments, days)
    with ThreadPoolExecutor(max_workers=threads) as pool:
        tasks = [pool.submit(compute_rows, prices, outputs, rows, indicators)
                 for rows in blocks(instruments, block_size)]
        for task in tasks:
            task.result()  # passes on an exception of any block
    return outputs


def compute_block(prices):
    """A Dask task: the outputs of one block of instruments."""
    outputs = allocate_outputs(*prices["close"].shape)
    compute_rows(prices, outputs, range(prices["close"].shape[0]))
    return outputs


def run_dask(prices, client, block_size=DEFAULT_BLOCK):
    """All instruments on a Dask cluster, one task per block; the results are
    joined in instrument order."""
    import cloudpickle

    # Send this file's functions by value, so that workers need only numpy
    # and molvenar installed, not this example.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    instruments = prices["close"].shape[0]
    parts = [{name: series[rows.start:rows.stop] for name, series in prices.items()}
             for rows in blocks(instruments, block_size)]
    tasks = client.map(compute_block, client.scatter(parts), pure=False)
    results = client.gather(tasks)
    return {name: np.concatenate([part[name] for part in results]) for name in OUTPUTS}


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--instruments", type=int, default=2000)
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--block", type=int, default=DEFAULT_BLOCK, help="instruments per task")
    parser.add_argument("--threads", default=f"1,{os.cpu_count() or 1}",
                        help="comma-separated thread counts to run (default 1 and the core count)")
    parser.add_argument("--dask", action="store_true", help="also run on a Dask distributed cluster")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a LocalCluster)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="processes of the LocalCluster (default: the core count)")
    args = parser.parse_args()

    prices = synthetic_universe(args.instruments, args.days)
    print(f"{args.instruments} instruments x {args.days} days, blocks of {args.block}; "
          f"SMA({MA_PERIOD}), EMA({MA_PERIOD}), MACD{MACD_PERIODS}, ATR({ATR_PERIOD})")
    print("times are wall-clock seconds of one run (bench/bench_universe.py measures properly)\n")

    # An untimed first run writes the outputs once (page faults of fresh
    # memory cost more than the computation); the timed runs reuse them.
    reference = run_threads(prices, 1, args.block)
    outputs = allocate_outputs(args.instruments, args.days)
    run_threads(prices, 1, args.block, outputs=outputs)
    single = None
    for threads in (int(t) for t in args.threads.split(",")):
        start = time.perf_counter()
        run_threads(prices, threads, args.block, outputs=outputs)
        seconds = time.perf_counter() - start
        single = single or seconds
        identical = all(same_bits(outputs[name], reference[name]) for name in OUTPUTS)
        print(f"threads {threads:2d}: {seconds:7.3f} s   speed-up {single / seconds:4.2f}   "
              f"same bits as one thread: {identical}")

    if args.dask:
        from dask.distributed import Client, LocalCluster

        cluster = None if args.scheduler else LocalCluster(
            n_workers=args.workers, threads_per_worker=1, dashboard_address=None)
        with Client(args.scheduler or cluster) as client:
            start = time.perf_counter()
            outputs = run_dask(prices, client, args.block)
            seconds = time.perf_counter() - start
        if cluster is not None:
            cluster.close()
        identical = all(same_bits(outputs[name], reference[name]) for name in OUTPUTS)
        where = args.scheduler or f"LocalCluster of {args.workers} processes"
        print(f"dask ({where}): {seconds:7.3f} s (data transfer included)   "
              f"same bits as the threads: {identical}")


if __name__ == "__main__":
    main()
