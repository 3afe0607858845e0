"""Every refusal keeps its exception exactly (type, args, cause) and carries
one note (PEP 678) that names what was given and how to fix it. Nothing is
written, and the note holds no reference to the refused objects. Masked
arrays are refused, as inputs and as outputs."""

import sys

import numpy as np
import pytest

import molvenar
from conftest import MAX_PERIOD, SENTINEL_BITS, nan_bits, sentinel_array
from test_borrow_registry import ALREADY_BORROWED, open_borrows
from test_hardening import LenHook, make_change

N = 10
SMA, EMA = molvenar.indicator_sma, molvenar.indicator_ema
MACD, ATR = molvenar.indicator_macd, molvenar.indicator_atr
CONVERSION = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"


class Frame:
    """Stands in for a pandas Series or DataFrame: it offers to_numpy()."""

    def to_numpy(self, dtype=None):
        return np.zeros(N, dtype)


class Series(Frame):
    pass


class DataFrame(Frame):
    pass


class TypeErrorIndex:
    def __index__(self):
        raise TypeError("no index here")


def data():
    return np.arange(1.0, N + 1.0)


def outs(count=1, n=N):
    return [sentinel_array(n) for _ in range(count)]


def masked(values, **kwargs):
    return np.ma.masked_array(values, mask=np.zeros(len(values), bool), **kwargs)


def read_only(array):
    array.flags.writeable = False
    return array


# id: () -> (callable, args, exception type, message, fragments of the note).
# Outputs are sentinel arrays; every argument is checked to be unwritten.
CASES = {
    # argument sorting: the signature
    "sma-missing": lambda: (SMA, (3, data()), TypeError,
                            "indicator_sma() missing 1 required positional argument: 'output'",
                            ["indicator_sma(period, data, output)"]),
    "ema-too-many": lambda: (EMA, (3, data(), *outs(2)), TypeError,
                             "indicator_ema() takes 3 positional arguments but 4 were given",
                             ["indicator_ema(period, data, output)"]),
    "atr-missing": lambda: (ATR, (3, data()), TypeError,
                            "indicator_atr() missing 3 required positional arguments: 'low', 'close', and 'output'",
                            ["indicator_atr(period, high, low, close, output)"]),
    # periods: the argument, the accepted range, what was given
    "sma-negative-period": lambda: (SMA, (-3, data(), *outs()), OverflowError,
                                    "can't convert negative int to unsigned",
                                    [f"period must be an int from 0 to {MAX_PERIOD}", "got -3"]),
    "ema-huge-period": lambda: (EMA, (2 ** 64, data(), *outs()), OverflowError, "int too big to convert",
                                ["period must be an int", "2**64 or more"]),
    "atr-float-period": lambda: (ATR, (2.5, data(), data(), data(), *outs()), TypeError,
                                 "argument 'period': 'float' object cannot be interpreted as an integer",
                                 ["'float' object", "round(period)"]),
    "macd-negative-signal": lambda: (MACD, (2, 3, -1, data(), *outs(3)), OverflowError,
                                     "can't convert negative int to unsigned",
                                     [f"signal_period must be an int from 1 to {MAX_PERIOD}", "got -1"]),
    "sma-index-raises-typeerror": lambda: (SMA, (TypeErrorIndex(), data(), *outs()), TypeError,
                                           "argument 'period': no index here", ["'TypeErrorIndex' object"]),
    # array conversion: what was given, what to pass
    "sma-float32-2d": lambda: (SMA, (3, data().astype(np.float32).reshape(2, 5), *outs()), TypeError,
                               CONVERSION.format("data", "ndarray"),
                               ["float32 array with 2 dimensions", "data[:, j]", "dtype=np.float64"]),
    "ema-int64": lambda: (EMA, (3, np.arange(N, dtype=np.int64), *outs()), TypeError, CONVERSION.format("data", "ndarray"),
                          ["int64 array with 1 dimension", "np.ascontiguousarray(data, dtype=np.float64)"]),
    "macd-list": lambda: (MACD, (2, 3, 2, list(data()), *outs(3)), TypeError, CONVERSION.format("data", "list"),
                          ["'list' object", "np.asarray(data, dtype=np.float64)"]),
    "atr-series": lambda: (ATR, (3, data(), Series(), data(), *outs()), TypeError,
                           CONVERSION.format("low", "Series"), ["'Series' object", "low.to_numpy(dtype=np.float64)"]),
    "sma-dataframe": lambda: (SMA, (3, DataFrame(), *outs()), TypeError, CONVERSION.format("data", "DataFrame"),
                              ["'DataFrame' object", "data[column].to_numpy(dtype=np.float64)"]),
    "sma-output-none": lambda: (SMA, (3, data(), None), TypeError, CONVERSION.format("output", "NoneType"),
                                ["got None", "np.empty_like(data)"]),
    "macd-output-float32": lambda: (MACD, (2, 3, 2, data(), *outs(2), np.zeros(N, np.float32)), TypeError,
                                    CONVERSION.format("hist_output", "ndarray"),
                                    ["float32 array with 1 dimension", "np.empty_like(data)"]),
    "atr-output-list": lambda: (ATR, (3, data(), data(), data(), [0.0] * N), TypeError,
                                CONVERSION.format("output", "list"), ["'list' object", "np.empty_like(close)"]),
    # masked arrays
    "sma-masked-input": lambda: (SMA, (3, masked(data()), *outs()), TypeError,
                                 CONVERSION.format("data", "MaskedArray"), ["NaN marks a gap", "data.filled(np.nan)"]),
    "atr-masked-int-input": lambda: (ATR, (3, data(), data(), masked(np.arange(N)), *outs()), TypeError,
                                     CONVERSION.format("close", "MaskedArray"),
                                     ["close.astype(np.float64).filled(np.nan)"]),
    # layout, lengths, periods, memory
    "sma-strided-input": lambda: (SMA, (3, data()[::2], *outs(n=N // 2)), ValueError,
                                  "Input array must be C-contiguous and float64",
                                  ["data holds 5 values 16 bytes apart", "np.ascontiguousarray(data)"]),
    "ema-reversed-output": lambda: (EMA, (3, data(), sentinel_array(N)[::-1]), ValueError,
                                    "Output array must be C-contiguous and float64",
                                    ["output holds 10 values -8 bytes apart (a reversed view)", "np.empty_like(data)"]),
    "macd-broadcast-input": lambda: (MACD, (2, 3, 2, np.broadcast_to(1.0, N), *outs(3)), ValueError,
                                     "Input array must be C-contiguous", ["0 bytes apart (a broadcast view)"]),
    "macd-strided-signal": lambda: (MACD, (2, 3, 2, data(), outs()[0], sentinel_array(2 * N)[::2], outs()[0]),
                                    ValueError, "Signal output array must be C-contiguous",
                                    ["signal_output holds 10 values 16 bytes apart"]),
    "atr-strided-low": lambda: (ATR, (3, data(), np.arange(2.0 * N)[::2], data(), *outs()), ValueError,
                                "Low array must be C-contiguous and float64", ["low holds 10 values 16 bytes apart"]),
    "sma-length": lambda: (SMA, (3, data(), *outs(n=N - 1)), ValueError, "Output array length must match input",
                           ["data has 10 values, output has 9"]),
    "macd-length": lambda: (MACD, (2, 3, 2, data(), *outs(2), *outs(n=N + 1)), ValueError,
                            "All output arrays must have the same length as input data",
                            ["data has 10 values, macd_output has 10, signal_output has 10, hist_output has 11"]),
    "atr-length": lambda: (ATR, (3, data(), data()[:-1], data(), *outs()), ValueError,
                           "All arrays must have the same length", ["high has 10 values, low has 9, close has 10"]),
    "atr-short-output": lambda: (ATR, (3, data(), data(), data(), *outs(n=5)), ValueError,
                                 "Output array must be at least as long as the input arrays",
                                 ["each input has 10 values, output has 5", "np.empty_like(close)"]),
    "macd-zero-period": lambda: (MACD, (0, 26, 9, data(), *outs(3)), ValueError, "Periods must be greater than 0",
                                 ["fast_period=0, slow_period=26, signal_period=9", "1 or more"]),
    "macd-fast-not-below-slow": lambda: (MACD, (26, 12, 9, data(), *outs(3)), ValueError,
                                         "Fast period must be less than slow period",
                                         ["fast_period=26, slow_period=12", "swap"]),
    "sma-read-only-output": lambda: (SMA, (3, data(), read_only(sentinel_array(N))), ValueError,
                                     "Output array must be writeable", ["output is read-only", "np.empty_like(data)"]),
    "macd-read-only-hist": lambda: (MACD, (2, 3, 2, data(), *outs(2), read_only(sentinel_array(N))), ValueError,
                                    "Histogram output array must be writeable", ["hist_output is read-only"]),
    "atr-output-is-close": lambda: (ATR, (3, data(), data(), *[sentinel_array(N)] * 2), ValueError,
                                    "Output array must not overlap the close array",
                                    ["output shares memory with close", "np.empty_like(close)", "close.copy()"]),
    "macd-output-is-data": lambda: (MACD, (2, 3, 2, *[sentinel_array(N)] * 2, *outs(2)), ValueError,
                                    "MACD output array must not overlap the input array",
                                    ["macd_output shares memory with data", "np.empty_like(data)"]),
}


def call_refused(case):
    func, args, exc_type, message, fragments = CASES[case]()
    before = {id(a): nan_bits(a) for a in args if isinstance(a, np.ndarray) and a.dtype == np.float64}
    with pytest.raises(BaseException) as info:
        func(*args)
    for a in args:
        if id(a) in before:
            assert nan_bits(a) == before[id(a)], "a refused call wrote into an argument"
    return info.value, exc_type, message, fragments


@pytest.mark.parametrize("case", list(CASES))
def test_refusal_keeps_its_exception_and_gains_a_note(case):
    exc, exc_type, message, fragments = call_refused(case)
    assert type(exc) is exc_type
    assert exc.args == (message,)
    assert exc.__cause__ is None
    assert len(exc.__notes__) == 1
    note = exc.__notes__[0]
    assert type(note) is str
    for fragment in fragments:
        assert fragment in note


@pytest.mark.parametrize("case", list(CASES))
def test_refusals_and_their_notes_keep_no_reference(case):
    func, args, exc_type, _, _ = CASES[case]()
    watched = [a for a in args if not isinstance(a, (int, float))]
    kept = []

    def refuse():
        try:
            func(*args)
        except exc_type as exc:
            exc.__traceback__ = None  # its frames would hold the arguments
            kept.append(exc)

    refuse()  # first-use caches settle here
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(100):
        refuse()
    assert [sys.getrefcount(o) for o in watched] == before
    assert len(kept) == 101


def test_an_input_borrowed_elsewhere_is_noted():
    borrows, x, out = open_borrows(), data(), sentinel_array(N)
    assert borrows.acquire_mut(x) == 0
    try:
        with pytest.raises(RuntimeError) as info:
            SMA(3, x, out)
    finally:
        borrows.release_mut(x)
    assert info.value.args == (ALREADY_BORROWED,)
    assert "data is held for writing" in info.value.__notes__[0]
    assert nan_bits(out) == [SENTINEL_BITS] * N


def test_an_array_changed_during_the_call_is_noted():
    x, bases = data(), [sentinel_array(N) for _ in range(3)]
    hooked = bases[0].view(LenHook)
    hooked.hook = lambda: make_change(1, "writeable", False)(x, bases)
    with pytest.raises(RuntimeError) as info:
        MACD(2, 3, 2, x, hooked, bases[1], bases[2])
    assert info.value.args == ("Signal output array changed during the call",)
    assert "signal_output was changed" in info.value.__notes__[0]


# --- the caller's own exceptions pass unchanged, without a note --------------


class ValueErrorIndex:
    error = ValueError("bad index")

    def __index__(self):
        raise self.error


class RaisingLen(np.ndarray):
    error = KeyError("no len")

    def __len__(self):
        raise RaisingLen.error


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: SMA(ValueErrorIndex(), data(), sentinel_array(N)), ValueErrorIndex.error),
        (lambda: MACD(2, 3, 2, data(), *outs(2), sentinel_array(N).view(RaisingLen)), RaisingLen.error),
    ],
    ids=["index", "len"],
)
def test_callers_exception_passes_without_a_note(call, error):
    with pytest.raises(type(error)) as info:
        call()
    assert info.value is error
    assert not hasattr(info.value, "__notes__")


# --- masked arrays -----------------------------------------------------------


class MyMasked(np.ma.MaskedArray):
    pass


class Plain(np.ndarray):
    pass


def array_positions():
    """(callable, parameter names, args): every array argument in turn."""
    return [
        (SMA, ["data", "output"], lambda: [3, data(), sentinel_array(N)]),
        (EMA, ["data", "output"], lambda: [3, data(), sentinel_array(N)]),
        (MACD, ["data", "macd_output", "signal_output", "hist_output"], lambda: [2, 3, 2, data(), *outs(3)]),
        (ATR, ["high", "low", "close", "output"], lambda: [3, data(), data(), data(), sentinel_array(N)]),
    ]


@pytest.mark.parametrize("kind", [np.ma.MaskedArray, MyMasked], ids=["MaskedArray", "subclass"])
@pytest.mark.parametrize("func, names, make", array_positions(), ids=lambda v: getattr(v, "__name__", ""))
def test_masked_array_refused_in_every_position(func, names, make, kind):
    first = len(make()) - len(names)
    for position, name in enumerate(names):
        args = make()
        originals = list(args)
        index = first + position
        # Nothing masked: even an all-valid masked array is refused.
        args[index] = args[index].view(kind)
        with pytest.raises(TypeError) as info:
            func(*args)
        assert info.value.args == (CONVERSION.format(name, kind.__qualname__),)
        assert len(info.value.__notes__) == 1
        for array, name_ in zip(originals[first:], names):
            if "output" in name_:
                assert nan_bits(array) == [SENTINEL_BITS] * N


def test_masked_output_is_not_written():
    out = np.ma.masked_array(sentinel_array(N), mask=[True] * N)
    with pytest.raises(TypeError):
        SMA(3, data(), out)
    assert nan_bits(out.data) == [SENTINEL_BITS] * N


def test_plain_subclass_still_accepted():
    out = np.empty(N)
    SMA(3, data().view(Plain), out.view(Plain))
    assert out[2] == 2.0


def test_subclass_acceptance_does_not_import_numpy_ma(tmp_path):
    from conftest import run_python

    done = run_python(
        """
        import sys
        import numpy as np
        import molvenar
        class Plain(np.ndarray):
            pass
        before = "numpy.ma" in sys.modules
        out = np.empty(5)
        molvenar.indicator_sma(2, np.arange(5.0).view(Plain), out)
        print(before, "numpy.ma" in sys.modules)
        """
    )
    assert done.returncode == 0, done.stderr
    before, after = done.stdout.split()
    assert after == before
