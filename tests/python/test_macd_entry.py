"""indicator_macd: argument conversion, the checks and their order, what a
refused call leaves behind, references (the interpreter lock: test_threads.py)."""

import numpy as np
import pytest

import molvenar
import references as ref
from conftest import assert_refcounts_stable, conversion_message, read_only, refused_with
from conftest import MAX_PERIOD
from references import FILL, assert_same_bits

PERIODS_MSG = "Periods must be greater than 0"
FAST_MSG = "Fast period must be less than slow period"
LENGTH_MSG = "All output arrays must have the same length as input data"
INPUT_MSG = "Input array must be C-contiguous"
MACD_MSG = "MACD output array must be C-contiguous"
SIGNAL_MSG = "Signal output array must be C-contiguous"
HIST_MSG = "Histogram output array must be C-contiguous"
OUTPUT_NAMES = ("macd_output", "signal_output", "hist_output")
WRITEABLE_MSGS = (
    "MACD output array must be writeable",
    "Signal output array must be writeable",
    "Histogram output array must be writeable",
)
SENTINEL_BITS = 0xDEADBEEFCAFEF00D
N = 12
DATA = [float(v) for v in (5, 3, 8, 1, 9, 2, 7, 4, 6, 10, 12, 11)]


def refused(exc_type, message, *args):
    refused_with(molvenar.indicator_macd, exc_type, message, *args)


def sentinel(n):
    return np.full(n, SENTINEL_BITS, dtype=np.uint64).view(np.float64)


def assert_untouched(*arrays):
    for a in arrays:
        assert (np.ascontiguousarray(a).view(np.uint64) == SENTINEL_BITS).all()




def data_array(n=N):
    return np.array(DATA[:n])


def outputs(n=N):
    return [sentinel(n) for _ in range(3)]


def non_contiguous(n, kind):
    """A float64 view of n values whose stride is not 8 bytes."""
    if kind == "reversed":
        return sentinel(n)[::-1]
    if kind == "step":
        return sentinel(2 * n)[::2]
    if kind == "record":
        record = np.zeros(n, dtype=[("tag", np.int32), ("value", np.float64)])
        assert record.dtype.itemsize == 12
        view = record["value"]
        view[...] = sentinel(n)
        return view
    raise AssertionError(kind)




# --- periods -----------------------------------------------------------------

@pytest.mark.parametrize(
    "periods, message",
    [
        ((0, 3, 2), PERIODS_MSG),
        ((2, 3, 0), PERIODS_MSG),
        ((2, 0, 2), PERIODS_MSG),  # also not fast < slow: zero wins
        ((0, 0, 0), PERIODS_MSG),
        ((3, 3, 2), FAST_MSG),
        ((4, 3, 2), FAST_MSG),
        ((MAX_PERIOD, 3, 2), FAST_MSG),
    ],
)
def test_period_checks(periods, message):
    outs = outputs()
    refused(ValueError, message, *periods, data_array(), *outs)
    assert_untouched(*outs)


@pytest.mark.parametrize("periods, message",
                         [((0, 3, 2), PERIODS_MSG), ((3, 2, 2), FAST_MSG)])
def test_period_checks_come_before_lengths_and_layout(periods, message):
    outs = [sentinel(N - 1), non_contiguous(N, "reversed"), sentinel(N + 1)]
    refused(ValueError, message, *periods, data_array()[::-1], *outs)
    assert_untouched(*outs)


# --- argument conversion -----------------------------------------------------

@pytest.mark.parametrize("position", range(3))
@pytest.mark.parametrize(
    "bad",
    [[0.0] * N, np.zeros(N, dtype=np.float32), np.zeros((N, 1)), None],
    ids=["list", "float32", "2-d", "None"],
)
def test_output_argument_error_beats_period_checks(position, bad):
    outs = outputs()
    outs[position] = bad
    refused(TypeError, conversion_message(OUTPUT_NAMES[position], bad),
            0, 0, 0, data_array(), *outs)


def test_macd_output_list_with_zero_period():
    outs = outputs()
    refused(TypeError,
            "argument 'macd_output': 'list' object cannot be converted to 'PyArray<T, D>'",
            0, 3, 2, data_array(), [1.0], outs[1], outs[2])
    assert_untouched(outs[1], outs[2])


def test_first_bad_argument_is_named():
    bad = np.zeros(N, dtype=np.float32)
    refused(TypeError, conversion_message("data", [1.0]),
            2, 3, 2, [1.0], bad, bad, bad)
    refused(TypeError, conversion_message("signal_output", bad),
            2, 3, 2, data_array(), sentinel(N), bad, [1.0])


def test_period_conversion_named():
    with pytest.raises(TypeError) as info:
        molvenar.indicator_macd(2, 3.5, 2, data_array(), *outputs())
    assert str(info.value).startswith("argument 'slow_period': ")
    for signal in (-1, 2**64):
        with pytest.raises(OverflowError) as info:
            molvenar.indicator_macd(2, 3, signal, data_array(), *outputs())
        assert not str(info.value).startswith("argument")


# --- lengths -----------------------------------------------------------------

@pytest.mark.parametrize("position", range(3))
@pytest.mark.parametrize("length", [0, N - 1, N + 1])
def test_output_length_must_match(position, length):
    outs = outputs()
    outs[position] = sentinel(length)
    refused(ValueError, LENGTH_MSG, 2, 3, 2, data_array(), *outs)
    assert_untouched(*outs)


def test_length_checked_before_contiguity():
    outs = [non_contiguous(N, "step"), sentinel(N), sentinel(N + 3)]
    refused(ValueError, LENGTH_MSG, 2, 3, 2, data_array()[::-1], *outs)
    assert_untouched(*outs)


class RaisingLen(np.ndarray):
    error = None

    def __len__(self):
        raise RaisingLen.error


@pytest.mark.parametrize("position", range(3))
def test_failing_len_passes_its_exception_through(position):
    RaisingLen.error = KeyError("len refused")
    outs = outputs()
    outs[position] = outs[position].view(RaisingLen)
    with pytest.raises(KeyError) as info:
        molvenar.indicator_macd(2, 3, 2, data_array(), *outs)
    assert info.value is RaisingLen.error
    assert_untouched(*outs)


def test_all_lengths_taken_before_comparing():
    RaisingLen.error = LookupError("late len")
    outs = [sentinel(N + 1), sentinel(N), sentinel(N).view(RaisingLen)]
    with pytest.raises(LookupError) as info:
        molvenar.indicator_macd(2, 3, 2, data_array(), *outs)
    assert info.value is RaisingLen.error
    assert_untouched(*outs)


def test_failing_len_comes_after_period_checks():
    RaisingLen.error = KeyError("never asked")
    outs = outputs()
    outs[0] = outs[0].view(RaisingLen)
    refused(ValueError, PERIODS_MSG, 2, 3, 0, data_array(), *outs)


class LyingLen(np.ndarray):
    def __len__(self):
        return N


@pytest.mark.parametrize("position", range(3))
@pytest.mark.parametrize("count", [0, 1, N - 2])
def test_output_element_count_is_compared(position, count):
    outs = outputs()
    outs[position] = sentinel(count).view(LyingLen)
    assert len(outs[position]) == N
    refused(ValueError, LENGTH_MSG, 2, 3, 2, data_array(), *outs)
    assert_untouched(*outs)


def test_array_subclass_with_true_len_is_accepted():
    outs = [o.view(LyingLen) for o in outputs()]
    assert molvenar.indicator_macd(2, 3, 2, data_array(), *outs) is None
    for got, want in zip(outs, ref.macd(2, 3, 2, DATA)):
        assert_same_bits(np.asarray(got), want)


# --- contiguity --------------------------------------------------------------

ORDERED_MESSAGES = (INPUT_MSG, MACD_MSG, SIGNAL_MSG, HIST_MSG)


@pytest.mark.parametrize("kind", ["reversed", "step", "record"])
@pytest.mark.parametrize("mask", range(1, 16))
def test_first_non_contiguous_array_is_reported(mask, kind):
    """Every combination of non-contiguous arguments reports the first one."""
    arrays = [data_array()] + outputs()
    for i in range(4):
        if mask & (1 << i):
            view = non_contiguous(N, kind)
            if i == 0:
                view[...] = data_array()
            arrays[i] = view
    first = min(i for i in range(4) if mask & (1 << i))
    refused(ValueError, ORDERED_MESSAGES[first], 2, 3, 2, *arrays)
    assert_untouched(*arrays[1:])


def test_broadcast_output_is_a_layout_error():
    """A zero-stride view is also read-only: the layout message comes first."""
    hist = np.broadcast_to(np.float64(1.0), (N,))
    refused(ValueError, HIST_MSG, 2, 3, 2, data_array(), sentinel(N), sentinel(N), hist)


@pytest.mark.parametrize("n", [0, 1])
def test_short_views_with_any_stride_are_accepted(n):
    base = [sentinel(4) for _ in range(3)]
    outs = [base[0][::-1][:n], base[1][::2][:n], base[2][::-3][:n]]
    data = np.array([7.0, 8.0])[::-1][:n]
    assert molvenar.indicator_macd(2, 3, 2, data, *outs) is None
    for o in outs:
        assert_same_bits(o, [FILL] * n)


# --- writeable outputs ---------------------------------------------------------



@pytest.mark.parametrize("first", range(3))
def test_read_only_output_refused_in_order(first):
    outs = outputs()
    for i in range(first, 3):
        read_only(outs[i])
    refused(ValueError, WRITEABLE_MSGS[first], 2, 3, 2, data_array(), *outs)
    assert_untouched(*outs)


@pytest.mark.parametrize(
    "make_other_fault, message",
    [
        (lambda args: args.__setitem__(0, 0), PERIODS_MSG),
        (lambda args: args.__setitem__(0, 3), FAST_MSG),
        (lambda args: args.__setitem__(4, sentinel(N - 1)), LENGTH_MSG),
        (lambda args: args.__setitem__(3, data_array()[::-1]), INPUT_MSG),
        (lambda args: args.__setitem__(5, non_contiguous(N, "step")), SIGNAL_MSG),
    ],
    ids=["zero-period", "fast-not-less", "length", "data-layout", "signal-layout"],
)
def test_writeable_checked_after_everything_else(make_other_fault, message):
    args = [2, 3, 2, data_array(), sentinel(N), sentinel(N), read_only(sentinel(N))]
    make_other_fault(args)
    refused(ValueError, message, *args)
    assert_untouched(*args[4:])


def test_read_only_data_is_fine():
    outs = outputs()
    assert molvenar.indicator_macd(2, 3, 2, read_only(data_array()), *outs) is None
    for got, want in zip(outs, ref.macd(2, 3, 2, DATA)):
        assert_same_bits(got, want)


# --- successful calls ----------------------------------------------------------

def test_empty_series():
    outs = outputs(0)
    assert molvenar.indicator_macd(2, 3, 2, np.zeros(0), *outs) is None


@pytest.mark.parametrize("n", [1, 4, 5])
def test_series_shorter_than_slow_period_is_all_nan(n):
    outs = outputs(n)
    assert molvenar.indicator_macd(2, 6, 3, data_array(n), *outs) is None
    for o in outs:
        assert_same_bits(o, [FILL] * n)


def test_keywords_equal_positional_call():
    first, second = outputs(), outputs()
    molvenar.indicator_macd(3, 5, 2, data_array(), *first)
    molvenar.indicator_macd(
        hist_output=second[2], data=data_array(), signal_period=2,
        macd_output=second[0], slow_period=5, signal_output=second[1], fast_period=3,
    )
    for a, b in zip(first, second):
        assert (a.view(np.uint64) == b.view(np.uint64)).all()
    for got, want in zip(first, ref.macd(3, 5, 2, DATA)):
        assert_same_bits(got, want)


def test_refused_call_leaves_data_reusable():
    data = data_array()
    for _ in range(3):
        refused(ValueError, LENGTH_MSG, 2, 3, 2, data, sentinel(N), sentinel(1), sentinel(N))
    outs = outputs()
    assert molvenar.indicator_macd(2, 3, 2, data, *outs) is None
    data[0] = 1.0  # nothing holds it any more
    assert molvenar.indicator_macd(2, 3, 2, data, *outs) is None


# --- references ------------------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_no_reference_leaks():
    data = data_array()
    good = outputs()
    short = sentinel(N - 1)
    reversed_out = non_contiguous(N, "reversed")
    locked = read_only(sentinel(N))
    bad_list = [0.0] * N
    fast, slow, signal, zero = Index(2), Index(3), Index(2), Index(0)
    calls = [
        (None, (fast, slow, signal, data, *good)),
        (ValueError, (zero, slow, signal, data, *good)),
        (ValueError, (slow, fast, signal, data, *good)),
        (ValueError, (fast, slow, signal, data, good[0], short, good[2])),
        (ValueError, (fast, slow, signal, data, good[0], good[1], reversed_out)),
        (ValueError, (fast, slow, signal, data, locked, good[1], good[2])),
        (TypeError, (fast, slow, signal, data, good[0], bad_list, good[2])),
        (TypeError, (fast, slow, signal, bad_list, *good)),
    ]
    watched = [data, *good, short, reversed_out, locked, bad_list,
               fast, slow, signal, zero]

    assert_refcounts_stable(molvenar.indicator_macd, calls, watched)
