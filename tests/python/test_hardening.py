"""Calls that try to break the module from Python: arrays changed while the
call runs (by an output's __len__, another module's borrow table, another
thread), outputs that share memory with inputs, memory that is not 8-byte
aligned."""

import json
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import molvenar
import references as ref
from borrow_watch import BorrowWatcher, change
from conftest import SENTINEL_BITS, nan_bits, refused_with, sentinel_array
from references import assert_same_bits
from test_borrow_registry import open_borrows

N = 10


def untouched(array, before):
    return nan_bits(array) == nan_bits(before)


# --- arrays changed by Python code that runs inside the call -------------------


class LenHook(np.ndarray):
    """An output whose len() first runs `self.hook()`."""

    def __len__(self):
        self.hook()
        return self.size


def make_change(target, attribute, value):
    def hook(data, outs):
        array = data if target == "data" else outs[target]
        if attribute == "writeable":
            array.flags.writeable = value
        else:
            change(array, attribute, value)
    return hook


CHANGED_BY_LEN = {
    "output-reshaped": (make_change(0, "shape", (1, N)), "MACD output array changed during the call"),
    "input-reshaped": (make_change("data", "shape", (2, N // 2)), "Input array changed during the call"),
    "input-dtype": (make_change("data", "dtype", np.float32), "Input array changed during the call"),
    "signal-read-only": (make_change(1, "writeable", False), "Signal output array changed during the call"),
    "hist-strided": (make_change(2, "strides", (16,)), "Histogram output array changed during the call"),
    "hist-dtype-same-size": (make_change(2, "dtype", np.int64), "Histogram output array changed during the call"),
}


@pytest.mark.parametrize("case", list(CHANGED_BY_LEN))
def test_array_changed_by_len_is_refused_before_writing(case):
    hook, message = CHANGED_BY_LEN[case]
    memory = np.arange(float(N))
    bases = [sentinel_array(2 * N) for _ in range(3)]
    data, outs = memory[:], [base[:N] for base in bases]
    outs[0] = outs[0].view(LenHook)
    outs[0].hook = lambda: hook(data, outs)
    refused_with(molvenar.indicator_macd, RuntimeError, message, 2, 3, 2, data, *outs)
    assert nan_bits(memory) == nan_bits(np.arange(float(N)))
    for base in bases:
        assert nan_bits(base) == [SENTINEL_BITS] * (2 * N)
    open_borrows().assert_free(memory)


def test_array_changed_and_restored_by_len_is_accepted():
    data = np.arange(float(N))

    def reshape_and_back():
        change(data, "shape", (2, N // 2))
        change(data, "shape", (N,))

    outs = [np.empty(N).view(LenHook)] + [np.empty(N) for _ in range(2)]
    outs[0].hook = reshape_and_back
    molvenar.indicator_macd(2, 3, 2, data, *outs)
    for got, want in zip(outs, ref.macd(2, 3, 2, data.tolist())):
        assert_same_bits(np.asarray(got), want)


# A borrow table published by "another module" whose acquisition reshapes the
# first array it was given, on its `change_at`-th call.
FOREIGN_TABLE_SCRIPT = textwrap.dedent(
    """
    import ctypes, json, sys
    sys.path.insert(0, sys.argv[1])
    import numpy as np
    from borrow_watch import change
    from test_borrow_registry import ACQUIRE, CAPSULE_NAME, RELEASE, BorrowTable, multiarray_module

    indicator, change_at = sys.argv[2], int(sys.argv[3])
    seen, calls = [], []

    def acquire(registry, array):
        seen.append(array)
        calls.append("acquire")
        if len(seen) == change_at:
            change(seen[0], "shape", (1, seen[0].size))
        return 0

    def release(registry, array):
        calls.append("release")

    table = BorrowTable(1, 1, ACQUIRE(acquire), ACQUIRE(lambda r, a: 0),
                        RELEASE(release), RELEASE(lambda r, a: None))
    name = CAPSULE_NAME.encode()
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    setattr(multiarray_module(), CAPSULE_NAME, new_capsule(ctypes.addressof(table), name, None))

    import molvenar
    x, out = np.arange(10.0), np.full(10, 7.0)
    calls_by_name = {
        "sma": lambda: molvenar.indicator_sma(3, x, out),
        "macd": lambda: molvenar.indicator_macd(2, 3, 2, x, out, out, out),
        "atr": lambda: molvenar.indicator_atr(3, x, x.copy(), x.copy(), out),
    }
    try:
        calls_by_name[indicator]()
        error = None
    except RuntimeError as exc:
        error = str(exc)
    print(json.dumps({"error": error, "calls": calls, "untouched": bool((out == 7.0).all())}))
    """
)


@pytest.mark.parametrize(
    "indicator, change_at, message, borrows",
    [
        ("sma", 1, "Input array changed during the call", 1),
        ("macd", 1, "Input array changed during the call", 1),
        ("atr", 2, "High array changed during the call", 3),  # low's acquisition changes high
    ],
)
def test_array_changed_by_a_foreign_borrow_table_is_refused(indicator, change_at, message, borrows):
    done = subprocess.run(
        [sys.executable, "-c", FOREIGN_TABLE_SCRIPT, str(Path(__file__).parent), indicator, str(change_at)],
        capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert result == {"error": message, "untouched": True,
                      "calls": ["acquire"] * borrows + ["release"] * borrows}


# --- an input changed by another thread while the kernel runs -----------------

LARGE = 2_000_000


def run_indicator(name, data, outs):
    if name == "macd":
        molvenar.indicator_macd(12, 26, 9, data, *outs)
    else:
        getattr(molvenar, f"indicator_{name}")(20, data, outs[0])


def one_value_repeated(data):
    change(data, "strides", (0,))


@pytest.mark.parametrize("name", ["sma", "ema", "macd"])
@pytest.mark.parametrize("how", [lambda data: change(data, "dtype", np.float32), one_value_repeated],
                         ids=["dtype", "strides"])
def test_input_changed_by_another_thread_during_the_kernel(name, how):
    """The watcher makes the change at its first sight of the call's borrow,
    so the change lands while the kernel runs; the release then must still
    find what the acquisition registered."""
    memory = np.random.default_rng(3).normal(size=LARGE)
    expected = [np.empty(LARGE) for _ in range(3)]
    run_indicator(name, memory.copy(), expected)
    for _ in range(50):
        data = memory[:]
        outs = [np.empty(LARGE) for _ in range(3)]
        with BorrowWatcher(memory, on_borrowed=lambda: how(data)) as watcher:
            run_indicator(name, data, outs)
        if watcher.borrowed:
            break
    assert watcher.borrowed, "the kernel never ran while the watcher looked"
    assert data.dtype != np.float64 or data.strides == (0,)
    used = 3 if name == "macd" else 1
    for got, want in zip(outs[:used], expected[:used]):
        assert np.array_equal(got.view(np.uint64), want.view(np.uint64))
    open_borrows().assert_free(memory)


# --- memory that is not 8-byte aligned ----------------------------------------


def misaligned(values, offset):
    """A writeable float64 array of `values` starting `offset` bytes past an
    8-byte boundary."""
    values = np.asarray(values, dtype=np.float64)
    raw = np.zeros(values.size * 8 + 16, np.uint8)
    start = (-raw.ctypes.data) % 8 + offset
    array = raw[start:start + 8 * values.size].view(np.float64)
    array[:] = values
    assert array.ctypes.data % 8 == offset % 8
    return array


def all_indicators(inputs, outs):
    high, low, close = inputs
    molvenar.indicator_sma(5, close, outs[0])
    molvenar.indicator_ema(5, close, outs[1])
    molvenar.indicator_macd(3, 7, 4, close, outs[2], outs[3], outs[4])
    molvenar.indicator_atr(5, high, low, close, outs[5])


@pytest.mark.parametrize("in_offset, out_offset", [(1, 1), (3, 0), (0, 5), (7, 2)])
def test_misaligned_arrays_give_the_bits_of_aligned_copies(in_offset, out_offset):
    rng = np.random.default_rng(11)
    close = 100 + rng.normal(size=200).cumsum()
    close[[17, 90]] = np.nan
    inputs = [close + 1.5, close - 1.5, close]
    aligned = [np.empty(200) for _ in range(6)]
    all_indicators(inputs, aligned)
    moved = [misaligned(np.full(200, 9.0), out_offset) for _ in range(6)]
    all_indicators([misaligned(a, in_offset) for a in inputs], moved)
    for got, want in zip(moved, aligned):
        assert nan_bits(got) == nan_bits(want)


def test_packed_record_fields():
    """A float64 field of a packed record: 9-byte stride, so refused as not
    contiguous; a one-value field is contiguous whatever its alignment."""
    records = np.zeros(4, np.dtype([("tag", "u1"), ("price", "<f8")]))
    records["price"] = [1.0, 2.0, 4.0, 8.0]
    out = sentinel_array(4)
    refused_with(molvenar.indicator_sma, ValueError, "Input array must be C-contiguous and float64",
                 2, records["price"], out)
    assert nan_bits(out) == [SENTINEL_BITS] * 4
    single = records[1:2]
    assert single["price"].ctypes.data % 8 != 0
    molvenar.indicator_sma(1, single["price"], single["price"].copy())
    molvenar.indicator_ema(1, records["price"][:1], out[:1])
    assert out[0] == 1.0
    molvenar.indicator_sma(1, out[:1].copy(), single["price"])  # misaligned output
    assert records["price"][1] == 1.0


# --- outputs that share memory with an input ----------------------------------

OUT_OVERLAP = "Output array must not overlap the input array"


def shared_bytes_views(data_bytes, out_bytes, count=5):
    """Two float64 views of one buffer starting at the given byte offsets."""
    buffer = bytearray(200)
    data = np.frombuffer(buffer, np.float64, count=count, offset=data_bytes)
    data[:] = np.arange(1.0, count + 1)
    return data, np.frombuffer(buffer, np.float64, count=count, offset=out_bytes)


def overlap_cases():
    a = np.arange(10.0)
    c = np.arange(60.0)
    memory = bytearray(80)
    return {
        "itself": (a, a),
        "overlapping-slices": (c[:50], c[5:55]),
        "other-base-same-memory": (np.frombuffer(memory), np.frombuffer(memoryview(memory))),
        "one-shared-byte": shared_bytes_views(0, 39),
    }


@pytest.mark.parametrize("case", list(overlap_cases()))
def test_output_overlapping_the_input_is_refused(single_series, case):
    _, func = single_series
    data, out = overlap_cases()[case]
    before = data.copy(), out.copy()
    refused_with(func, ValueError, OUT_OVERLAP, 3, data, out)
    assert untouched(data, before[0]) and untouched(out, before[1])


@pytest.mark.parametrize("data_bytes, out_bytes", [(0, 40), (40, 0), (0, 41)])
def test_adjacent_memory_is_not_overlap(single_series, data_bytes, out_bytes):
    _, func = single_series
    data, out = shared_bytes_views(data_bytes, out_bytes)
    expected = np.empty(5)
    func(3, data.copy(), expected)
    func(3, data, out)
    assert nan_bits(out) == nan_bits(expected)


def test_empty_views_at_one_address_do_not_overlap(single_series):
    _, func = single_series
    memory = np.arange(4.0)
    empty = memory[2:2]
    func(3, empty, empty)
    assert memory.tolist() == [0.0, 1.0, 2.0, 3.0]


def test_overlap_is_checked_after_the_other_checks(single_series):
    _, func = single_series
    a = np.arange(10.0)
    refused_with(func, ValueError, "Output array length must match input", 3, a, a[:9])
    view = a[:]
    view.flags.writeable = False
    refused_with(func, ValueError, "Output array must be writeable", 3, a, view)


MACD_OVERLAP = (
    "MACD output array must not overlap the input array",
    "Signal output array must not overlap the input array",
    "Histogram output array must not overlap the input array",
)


@pytest.mark.parametrize("positions", [(0,), (1,), (2,), (1, 2), (0, 2)])
def test_macd_output_overlapping_the_input_names_the_first(positions):
    data = np.arange(float(N))
    outs = [sentinel_array(N) for _ in range(3)]
    for p in positions:
        outs[p] = data
    refused_with(molvenar.indicator_macd, ValueError, MACD_OVERLAP[positions[0]], 2, 3, 2, data, *outs)
    assert data.tolist() == list(range(N))
    assert all(nan_bits(o) == [SENTINEL_BITS] * N for o in outs if o is not data)


def test_macd_outputs_sharing_one_scratch_array_are_accepted():
    data = np.arange(float(N)) ** 1.5
    macd, scratch = np.empty(N), np.empty(N)
    molvenar.indicator_macd(2, 3, 2, data, macd, scratch, scratch)
    assert_same_bits(macd, ref.macd(2, 3, 2, data.tolist())[0])


ATR_OVERLAP = {
    "high": "Output array must not overlap the high array",
    "low": "Output array must not overlap the low array",
    "close": "Output array must not overlap the close array",
}


@pytest.mark.parametrize("shared, named", [
    (("high",), "high"), (("low",), "low"), (("close",), "close"),
    (("high", "close"), "high"), (("low", "close"), "low"),
])
def test_atr_output_overlapping_an_input_names_the_first(shared, named):
    inputs = {name: np.linspace(1.0, 2.0, N) + i for i, name in enumerate(ATR_OVERLAP)}
    inputs.update({name: inputs[shared[0]] for name in shared})
    before = {name: a.copy() for name, a in inputs.items()}
    refused_with(molvenar.indicator_atr, ValueError, ATR_OVERLAP[named], 3,
                 inputs["high"], inputs["low"], inputs["close"], inputs[shared[0]])
    assert all(untouched(inputs[name], before[name]) for name in inputs)


def test_atr_longer_output_overlapping_close_is_refused():
    memory = np.arange(20.0)
    close, out = memory[:N], memory[5:]
    refused_with(molvenar.indicator_atr, ValueError, ATR_OVERLAP["close"], 3, close + 1, close - 1, close, out)
    assert memory.tolist() == list(range(20))
    # A too-short output is reported first.
    refused_with(molvenar.indicator_atr, ValueError, "Output array must be at least as long as the input arrays",
                 3, close, close, close, close[:3])
