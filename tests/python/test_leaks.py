"""10^5 calls, successes and every kind of refusal: nothing they take is kept."""

import ctypes
import gc
import sys

import numpy as np

import molvenar
from conftest import Index
from test_borrow_registry import open_borrows

CALLS = 100_000
N = 16


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
        "keepcost")]


def malloc_bytes_in_use():
    """Bytes the C library's malloc has handed out (glibc), or 0 where it
    cannot tell; C++ allocations of the module show up here."""
    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2 is None:
        return 0
    mallinfo2.restype = MallInfo2
    return mallinfo2().uordblks


class BadIndex:
    def __index__(self):
        raise ValueError("no index")


class FailingLen(np.ndarray):
    def __len__(self):
        raise KeyError("no length")


class TogglesInput(np.ndarray):
    """An output whose len() flips the input's writeable flag: the input has
    changed by the time the arrays are compared with their acceptance."""

    def __len__(self):
        self.input.flags.writeable = not self.input.flags.writeable
        return self.size


def mixed_calls():
    """(callable, args, kwargs, expected exception type or None), and the
    objects whose reference counts must not move."""
    sma, ema, macd, atr = (molvenar.indicator_sma, molvenar.indicator_ema,
                           molvenar.indicator_macd, molvenar.indicator_atr)
    data = np.linspace(1.0, 2.0, N)
    out, short = np.empty(N), np.empty(N - 1)
    outs = [np.empty(N) for _ in range(3)]
    locked = np.empty(N)
    locked.flags.writeable = False
    held = np.arange(float(N))  # exclusively borrowed through the table
    failing_len = np.empty(N).view(FailingLen)
    toggler = np.empty(N).view(TogglesInput)
    toggler.input = data.copy()
    index, bad_index, huge, negative = Index(3), BadIndex(), 2**70, -4
    calls = [
        (sma, (index, data, out), {}, None),
        (ema, (), dict(period=5, data=data, output=out), None),
        (macd, (2, 5, 3, data, *outs), {}, None),
        (atr, (3, data, data, data, out), {}, None),
        (sma, (index, data), {}, TypeError),  # missing argument
        (ema, (index, data, out), dict(period=3), TypeError),
        (sma, (2.5, data, out), {}, TypeError),
        (ema, (bad_index, data, out), {}, ValueError),
        (sma, (negative, data, out), {}, OverflowError),
        (ema, (huge, data, out), {}, OverflowError),
        (sma, (3, [1.0], out), {}, TypeError),
        (atr, (3, data, data, data.astype(np.float32), out), {}, TypeError),
        (macd, (2, 5, 3, data, outs[0], outs[1].reshape(2, -1), outs[2]), {}, TypeError),
        (sma, (3, data[::2], out[:8]), {}, ValueError),
        (ema, (3, data, short), {}, ValueError),
        (sma, (3, data, locked), {}, ValueError),
        (sma, (3, data, data), {}, ValueError),
        (macd, (0, 5, 3, data, *outs), {}, ValueError),
        (macd, (5, 5, 3, data, *outs), {}, ValueError),
        (macd, (2, 5, 3, data, failing_len, *outs[1:]), {}, KeyError),
        (macd, (2, 5, 3, data, outs[0], data, outs[2]), {}, ValueError),
        (macd, (2, 5, 3, toggler.input, toggler, *outs[1:]), {}, RuntimeError),
        (atr, (3, data, short, data, out), {}, ValueError),
        (atr, (3, data, data, data, data), {}, ValueError),
        (sma, (3, held, out), {}, RuntimeError),
        (atr, (3, data, data, held, out), {}, RuntimeError),
    ]
    watched = [data, out, short, *outs, locked, held, failing_len, toggler, toggler.input,
               index, bad_index, huge, negative]
    return calls, watched, held


def run(calls, count):
    for i in range(count):
        function, args, kwargs, expected = calls[i % len(calls)]
        try:
            function(*args, **kwargs)
        except Exception as exc:
            assert type(exc) is expected, (i % len(calls), exc)
        else:
            assert expected is None, i % len(calls)


def test_mixed_calls_keep_no_reference_block_or_borrow():
    calls, watched, held = mixed_calls()
    borrows = open_borrows()
    assert borrows.acquire_mut(held) == 0
    try:
        run(calls, CALLS // 10)  # first-use caches, free lists, adaptive bytecode settle
        gc.collect()
        refcounts = [sys.getrefcount(o) for o in watched]
        blocks, malloc_bytes = sys.getallocatedblocks(), malloc_bytes_in_use()
        run(calls, CALLS)
        gc.collect()
        assert [sys.getrefcount(o) for o in watched] == refcounts
        # One block or allocation kept by any one kind of call would add
        # thousands of blocks, or over 100 kB. The interpreter's own caches
        # move by a hundred blocks or so from run to run.
        assert sys.getallocatedblocks() - blocks < 1_000
        assert malloc_bytes_in_use() - malloc_bytes < 16_384
    finally:
        borrows.release_mut(held)
    for array in watched[:8]:
        if array.flags.writeable:
            borrows.assert_free(array)
