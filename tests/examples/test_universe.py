"""The universe example: every block, thread count, worker process count and
Dask cluster gives exactly the bits of one call per instrument."""

from multiprocessing.shared_memory import SharedMemory

import numpy as np
import pytest

import molvenar
import universe

INSTRUMENTS, DAYS = 13, 300  # 13 leaves a short last block


@pytest.fixture(scope="module")
def prices():
    return universe.synthetic_universe(INSTRUMENTS, DAYS, seed=5)


@pytest.fixture(scope="module")
def one_call_per_instrument(prices):
    """The outputs computed row by row on copies, apart from the example's code."""
    result = {name: np.empty((INSTRUMENTS, DAYS)) for name in universe.OUTPUTS}
    for i in range(INSTRUMENTS):
        high, low, close = (prices[k][i].copy() for k in ("high", "low", "close"))
        molvenar.indicator_sma(universe.MA_PERIOD, close, result["sma"][i])
        molvenar.indicator_ema(universe.MA_PERIOD, close, result["ema"][i])
        molvenar.indicator_macd(*universe.MACD_PERIODS, close,
                                result["macd"][i], result["signal"][i], result["hist"][i])
        molvenar.indicator_atr(universe.ATR_PERIOD, high, low, close, result["atr"][i])
    return result


def assert_same_outputs(outputs, expected):
    for name in universe.OUTPUTS:
        assert universe.same_bits(outputs[name], expected[name]), name


@pytest.mark.parametrize("threads, block", [(1, 13), (2, 4), (3, 1)])
def test_threads_give_the_bits_of_single_calls(prices, one_call_per_instrument, threads, block):
    assert_same_outputs(universe.run_threads(prices, threads, block), one_call_per_instrument)


def test_an_error_in_a_block_reaches_the_caller(prices):
    broken = dict(prices, low=prices["low"][:, :-1])  # one day short: refused
    with pytest.raises(ValueError, match="All arrays must have the same length"):
        universe.run_threads(broken, 2, 4)


def test_dask_local_cluster_gives_the_same_bits(prices, one_call_per_instrument):
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("cloudpickle")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        outputs = universe.run_dask(prices, client, block_size=4)
    assert_same_outputs(outputs, one_call_per_instrument)


def test_worker_processes_on_shared_memory_give_the_same_bits(prices, one_call_per_instrument):
    with universe.SharedUniverse(INSTRUMENTS, DAYS) as shared:
        for name in universe.PRICES:
            shared.arrays[name][...] = prices[name]
        with universe.start_process_pool(shared, 2) as pool:
            cpu_seconds = universe.run_processes(shared, pool, block_size=4)
        assert cpu_seconds > 0
        assert_same_outputs(shared.arrays, one_call_per_instrument)
        names = shared.names.values()
    for name in names:  # the blocks are gone with the universe
        with pytest.raises(FileNotFoundError):
            SharedMemory(name=name)
