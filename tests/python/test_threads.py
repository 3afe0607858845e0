"""Threads: many at once over shared inputs, a writer holding an input
through the borrow table, and which calls give up the interpreter lock."""

import re
import threading
import time

import numpy as np
import pytest

import molvenar
from borrow_watch import BorrowWatcher
from conftest import SENTINEL_BITS, sentinel_array
from test_borrow_registry import ALREADY_BORROWED, open_borrows

THREADS = 8
CALLS_PER_THREAD = 10_000
N = 48


def shared_inputs():
    """Prices with gaps and infinities, so that results hold arithmetic NaNs."""
    rng = np.random.default_rng(5)
    close = 100 + rng.normal(size=N).cumsum()
    close[[7, 30]] = np.nan
    close[20] = np.inf
    high, low = close + rng.random(N), close - rng.random(N)
    low[40] = -np.inf
    for a in (high, low, close):
        a.flags.writeable = False  # nothing may write them; NumPy agrees
    return high, low, close


def call_kinds(high, low, close):
    """name -> (run(outputs, private input), expected error or None). Every
    call writes, if at all, only outputs[0..2]."""
    sma, ema, macd, atr = (molvenar.indicator_sma, molvenar.indicator_ema,
                           molvenar.indicator_macd, molvenar.indicator_atr)
    return {
        "sma": (lambda o, p: sma(9, close, o[0]), None),
        "ema": (lambda o, p: ema(5, close, o[0]), None),
        "macd": (lambda o, p: macd(3, 8, 4, close, o[0], o[1], o[2]), None),
        "atr": (lambda o, p: atr(6, high, low, close, o[0]), None),
        "sma-private": (lambda o, p: sma(4, p, o[0]), None),
        "ema-short-output": (lambda o, p: ema(5, close, o[0][:-1]),
                             (ValueError, "Output array length must match input")),
        "sma-over-input": (lambda o, p: sma(3, p, p), (ValueError, "Output array must not overlap the input array")),
        "macd-zero": (lambda o, p: macd(0, 8, 4, close, *o), (ValueError, "Periods must be greater than 0")),
        "atr-strided": (lambda o, p: atr(6, high[::2], low, close, o[0]),
                        (ValueError, "High array must be C-contiguous and float64")),
        "sma-read-only": (lambda o, p: sma(3, close, close), (ValueError, "Output array must be writeable")),
        "ema-float-period": (lambda o, p: ema(2.0, close, o[0]), (TypeError, None)),
        "macd-list": (lambda o, p: macd(3, 8, 4, close, o[0], [], o[2]), (TypeError, None)),
    }


def serial_results(kinds, private):
    results = {}
    for name, (run, error) in kinds.items():
        if error is None:
            outs = [np.empty(N) for _ in range(3)]
            run(outs, private.copy())
            results[name] = [o.view(np.uint64).copy() for o in outs]
    return results


def test_threads_agree_with_a_serial_run_bit_for_bit():
    high, low, close = shared_inputs()
    pristine = [a.view(np.uint64).copy() for a in (high, low, close)]
    kinds = call_kinds(high, low, close)
    private_values = np.linspace(1.0, 2.0, N)
    expected = serial_results(kinds, private_values)
    names = list(kinds)
    borrows = open_borrows()
    failures, privates = [], []

    def worker(index):
        outs = [np.empty(N) for _ in range(3)]
        private = private_values.copy()
        privates.append(private)
        try:
            for i in range(CALLS_PER_THREAD):
                name = names[(i + index) % len(names)]
                run, error = kinds[name]
                if i % 97 == index:  # a writer holds the private input
                    outs[0][:] = sentinel_array(N)
                    assert borrows.acquire_mut(private) == 0
                    try:
                        with pytest.raises(RuntimeError, match=re.escape(ALREADY_BORROWED)):
                            molvenar.indicator_sma(4, private, outs[0])
                    finally:
                        borrows.release_mut(private)
                    assert (outs[0].view(np.uint64) == SENTINEL_BITS).all()
                elif error is None:
                    run(outs, private)
                    written = 3 if name == "macd" else 1
                    for got, want in zip(outs[:written], expected[name]):
                        assert np.array_equal(got.view(np.uint64), want), name
                else:
                    for o in outs:
                        o[:] = sentinel_array(N)
                    with pytest.raises(error[0]) as refused:
                        run(outs, private)
                    assert error[1] is None or refused.value.args == (error[1],)
                    assert all((o.view(np.uint64) == SENTINEL_BITS).all() for o in outs), name
                    assert np.array_equal(private, private_values)
        except BaseException as exc:  # reported on the test's thread
            failures.append((index, exc))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    for array, before in zip((high, low, close), pristine):
        assert np.array_equal(array.view(np.uint64), before)
    # The registry holds nothing: every input can be borrowed exclusively.
    for array in (high, low, close, *privates):
        array.flags.writeable = True
        borrows.assert_free(array)


# --- the interpreter lock, seen through the input's borrow ---------------------


def large_call(name, n=1_000_000):
    data = np.random.default_rng(2).normal(size=n)
    high, low = data + 1, data - 1
    outs = [np.empty(n) for _ in range(3)]
    calls = {
        "sma": lambda: molvenar.indicator_sma(20, data, outs[0]),
        "ema": lambda: molvenar.indicator_ema(20, data, outs[0]),
        "macd": lambda: molvenar.indicator_macd(12, 26, 9, data, *outs),
        "atr": lambda: molvenar.indicator_atr(14, high, low, data, outs[0]),
    }
    return data, calls[name]


@pytest.mark.parametrize("name", ["sma", "ema", "macd"])
def test_kernel_runs_without_the_interpreter_lock(name):
    """Another thread runs while the call holds its borrow: only possible if
    the call released the lock."""
    data, call = large_call(name)
    with BorrowWatcher(data) as watcher:
        for _ in range(500):
            call()
            if watcher.borrowed:
                break
    assert watcher.borrowed > 0


def test_atr_keeps_the_interpreter_lock():
    """Over many calls another thread never runs while the call holds its
    borrows, though it runs between the calls."""
    data, call = large_call("atr", n=200_000)
    with BorrowWatcher(data) as watcher:
        for _ in range(100):
            call()
            time.sleep(0.0005)  # the watcher probes here
    assert watcher.borrowed == 0
    assert watcher.free > 0
