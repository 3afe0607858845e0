"""The four indicators for a universe of instruments: threads, processes or a Dask cluster.

Computes SMA(20), EMA(20), MACD(12, 26, 9) and ATR(14) for every instrument of
a universe held as 2-D float64 arrays, one row per instrument and one column
per day. Each row of a C-contiguous 2-D array is a contiguous 1-D array, which
is what molvenar takes, so rows are passed without a copy and the results are
written straight into rows of the output arrays.

    python examples/universe.py [--instruments N] [--days N] [--threads 1,2] [--processes 1,2]
    python examples/universe.py --dask [--scheduler ADDRESS] [--workers N]

Threads: indicator_sma, indicator_ema and indicator_macd release the
interpreter lock while they compute, so their work on different blocks runs
on several cores at once; indicator_atr holds the lock, so its share runs one
thread at a time. With short series each call is brief and handing the lock
between threads limits the gain.

Processes: a pool of worker processes, each with its own interpreter lock,
and the prices and outputs in shared memory, which the workers read and
write in place: nothing is copied to or from them, and all four indicators
run on every core. Start the pool once and keep it for every run.

Dask: one task per block of instruments on a Dask distributed cluster, a
LocalCluster of --workers processes unless --scheduler gives the address of a
running scheduler (for example tcp://10.0.0.5:8786). The workers need numpy
and molvenar; this file is sent to them with the tasks, and the blocks travel
to the workers and back. Dask is optional: pip install dask distributed.
"""

import argparse
import multiprocessing
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from multiprocessing.shared_memory import SharedMemory

import numpy as np

import molvenar

MA_PERIOD = 20
MACD_PERIODS = (12, 26, 9)
ATR_PERIOD = 14
INDICATORS = ("sma", "ema", "macd", "atr")
PRICES = ("high", "low", "close")
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


class SharedUniverse:
    """Prices and outputs of a universe in shared memory, one block per array.

    `arrays` holds the 2-D arrays, prices and outputs by name; fill the prices
    in place. Worker processes attach to the blocks by name (`names`). Use it
    as a context manager, or call close(): the blocks are removed then, so
    copy what you keep (np.array(arrays[name])) and drop other views before.
    """

    def __init__(self, instruments, days):
        self.shape = (instruments, days)
        size = max(1, instruments * days) * 8
        self._blocks = {}
        try:
            for name in PRICES + OUTPUTS:
                self._blocks[name] = SharedMemory(create=True, size=size)
        except BaseException:
            self.close()
            raise
        self.arrays = attach_arrays(self._blocks, self.shape)

    @property
    def names(self):
        return {name: block.name for name, block in self._blocks.items()}

    def close(self):
        self.arrays = None  # the views must go before their memory
        for block in self._blocks.values():
            block.close()
            block.unlink()
        self._blocks = {}

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


def attach_arrays(blocks, shape):
    return {name: np.ndarray(shape, dtype=np.float64, buffer=block.buf) for name, block in blocks.items()}


# A worker process's view of the shared universe, set once when it starts.
_worker_blocks = {}
_worker_arrays = {}


def _attach_worker(names, shape):
    # The blocks belong to the process that made them: from Python 3.13 a
    # worker attaches without registering them for removal. Before, attaching
    # registers them again with the parent's tracker, which keeps one entry
    # per name, so nothing is removed twice.
    options = {"track": False} if sys.version_info >= (3, 13) else {}
    for name, block_name in names.items():
        _worker_blocks[name] = SharedMemory(name=block_name, **options)
    _worker_arrays.update(attach_arrays(_worker_blocks, shape))


def _compute_shared_rows(start, stop, indicators):
    cpu = time.process_time()
    arrays = _worker_arrays
    compute_rows({name: arrays[name] for name in PRICES}, arrays, range(start, stop), indicators)
    return time.process_time() - cpu


def start_process_pool(universe, processes):
    """A pool of `processes` workers attached to `universe`. The workers are
    started fresh ("spawn"): forking a process that runs threads (NumPy's
    BLAS has some) can deadlock the child."""
    context = multiprocessing.get_context("spawn")
    return ProcessPoolExecutor(max_workers=processes, mp_context=context, initializer=_attach_worker,
                               initargs=(universe.names, universe.shape))


def run_processes(universe, pool, block_size=DEFAULT_BLOCK, indicators=INDICATORS):
    """All instruments of `universe` on the worker pool, one task per block;
    the results are in universe.arrays when it returns. Returns the CPU
    seconds the workers spent."""
    tasks = [pool.submit(_compute_shared_rows, rows.start, rows.stop, indicators)
             for rows in blocks(universe.shape[0], block_size)]
    return sum(task.result() for task in tasks)  # passes on an exception of any block


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
    parser.add_argument("--processes", default=f"1,{os.cpu_count() or 1}",
                        help="comma-separated worker process counts to run (default 1 and the core count; "
                             "'' for none)")
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

    process_counts = [int(p) for p in args.processes.split(",") if p]
    with SharedUniverse(args.instruments, args.days) as shared:
        for name in PRICES:
            shared.arrays[name][...] = prices[name]
        single = None
        for processes in process_counts:
            with start_process_pool(shared, processes) as pool:
                run_processes(shared, pool, args.block)  # starts the workers, writes the outputs once
                start = time.perf_counter()
                run_processes(shared, pool, args.block)
                seconds = time.perf_counter() - start
            single = single or seconds
            identical = all(same_bits(shared.arrays[name], reference[name]) for name in OUTPUTS)
            print(f"processes {processes:2d}: {seconds:7.3f} s   speed-up {single / seconds:4.2f}   "
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
