"""indicator_atr: argument conversion, the checks and their order, output
lengths, what a refused call leaves behind, references (the interpreter lock: test_threads.py)."""

import numpy as np
import pytest

import molvenar
import references as ref
from conftest import assert_refcounts_stable, conversion_message, read_only, refused_with
from conftest import MAX_PERIOD, Index
from references import FILL, assert_same_bits

HIGH_MSG = "High array must be C-contiguous and float64"
LOW_MSG = "Low array must be C-contiguous and float64"
CLOSE_MSG = "Close array must be C-contiguous and float64"
LENGTH_MSG = "All arrays must have the same length"
OUTPUT_MSG = "Output array must be C-contiguous and float64"
SHORT_MSG = "Output array must be at least as long as the input arrays"
WRITEABLE_MSG = "Output array must be writeable"
INPUT_NAMES = ("high", "low", "close")
SENTINEL_BITS = 0xDEADBEEFCAFEF00D

HIGH = [10.0, 11.0, 12.0, 11.0, 13.0]
LOW = [9.0, 9.5, 10.0, 10.0, 11.0]
CLOSE = [9.5, 10.5, 11.5, 10.5, 12.5]
N = len(HIGH)


def refused(exc_type, message, *args):
    refused_with(molvenar.indicator_atr, exc_type, message, *args)


def sentinel(n):
    return np.full(n, SENTINEL_BITS, dtype=np.uint64).view(np.float64)


def assert_untouched(a):
    assert (np.ascontiguousarray(a).view(np.uint64) == SENTINEL_BITS).all()


def prices():
    return [np.array(HIGH), np.array(LOW), np.array(CLOSE)]








def strided(values, kind):
    if kind == "reversed":
        return np.array(values[::-1])[::-1]
    if kind == "step":
        return np.repeat(np.array(values), 2)[::2]
    raise AssertionError(kind)


# --- argument conversion -------------------------------------------------------

@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize(
    "bad",
    [[1.0] * N, np.zeros(N, dtype=np.float32), np.zeros((N, 1)), None],
    ids=["list", "float32", "2-d", "None"],
)
def test_argument_errors_name_the_parameter(position, bad):
    args = [2, *prices(), sentinel(N)]
    args[1 + position] = bad
    name = (*INPUT_NAMES, "output")[position]
    refused(TypeError, conversion_message(name, bad), *args)
    if position != 3:
        assert_untouched(args[4])


def test_float32_low_is_an_argument_error_not_a_layout_error():
    low = np.zeros(2 * N, dtype=np.float32)[::2]
    refused(TypeError, conversion_message("low", low),
            2, np.array(HIGH)[::-1], low, np.array(CLOSE), sentinel(N))


def test_argument_errors_come_in_parameter_order():
    bad = np.zeros(N, dtype=np.float32)
    refused(TypeError, conversion_message("high", [1.0]),
            2, [1.0], bad, bad, bad)
    refused(TypeError, conversion_message("close", bad),
            2, np.array(HIGH)[::-1], np.array(LOW[:2]), bad, [0.0])


def test_period_conversion():
    with pytest.raises(TypeError) as info:
        molvenar.indicator_atr(2.5, *prices(), sentinel(N))
    assert str(info.value).startswith("argument 'period': ")
    for period in (-1, 2**64):
        with pytest.raises(OverflowError) as info:
            molvenar.indicator_atr(period, *prices(), sentinel(N))
        assert not str(info.value).startswith("argument")


# --- layout and length checks ------------------------------------------------------

LAYOUT_MESSAGES = (HIGH_MSG, LOW_MSG, CLOSE_MSG)


@pytest.mark.parametrize("kind", ["reversed", "step"])
@pytest.mark.parametrize("mask", range(1, 8))
def test_first_non_contiguous_input_is_reported(mask, kind):
    arrays = prices()
    for i in range(3):
        if mask & (1 << i):
            arrays[i] = strided(arrays[i], kind)
    first = min(i for i in range(3) if mask & (1 << i))
    out = sentinel(N)
    refused(ValueError, LAYOUT_MESSAGES[first], 2, *arrays, out)
    assert_untouched(out)


def test_input_layout_before_lengths():
    out = sentinel(N)
    refused(ValueError, HIGH_MSG,
            2, np.array(HIGH)[::-1], np.array(LOW[:3]), np.array(CLOSE), out)
    refused(ValueError, CLOSE_MSG,
            2, np.array(HIGH), np.array(LOW + [1.0]), np.array(CLOSE)[::-1], out)
    assert_untouched(out)


@pytest.mark.parametrize(
    "lengths",
    [(N, N, N - 1), (N, N + 1, N), (N, 0, N), (N - 1, N, N), (1, 2, 3)],
)
def test_unequal_input_lengths(lengths):
    arrays = [np.arange(k, dtype=np.float64) + 10.0 for k in lengths]
    out = sentinel(max(lengths))
    refused(ValueError, LENGTH_MSG, 2, *arrays, out)
    assert_untouched(out)


def test_lengths_before_output_layout():
    out = sentinel(2 * N)[::2]
    refused(ValueError, LENGTH_MSG,
            2, np.array(HIGH), np.array(LOW), np.array(CLOSE[:4]), out)
    assert_untouched(out)


@pytest.mark.parametrize("kind", ["reversed", "step"])
def test_non_contiguous_output(kind):
    out = sentinel(2 * N)[::2] if kind == "step" else sentinel(N)[::-1]
    refused(ValueError, OUTPUT_MSG, 2, *prices(), out)
    assert_untouched(out)


def test_broadcast_output_is_a_layout_error():
    out = np.broadcast_to(np.float64(0.0), (N,))
    refused(ValueError, OUTPUT_MSG, 2, *prices(), out)


@pytest.mark.parametrize("n", [0, 1])
def test_short_views_with_any_stride_are_accepted(n):
    inputs = [np.array(v)[::-1][:n] for v in (HIGH, LOW, CLOSE)]
    out = sentinel(4)[::-2][:n]
    assert molvenar.indicator_atr(1, *inputs, out) is None
    assert_same_bits(out, [FILL] * n)


# --- output length -------------------------------------------------------------------

@pytest.mark.parametrize("period", [1, 2, 4])
def test_longer_output_gets_nan_tail(period):
    out = sentinel(N + 2)
    assert molvenar.indicator_atr(period, *prices(), out) is None
    assert_same_bits(out, ref.atr(period, HIGH, LOW, CLOSE, N + 2))
    assert_same_bits(out[N:], [FILL, FILL])


@pytest.mark.parametrize("period", [1, 2, N - 1])
@pytest.mark.parametrize("length", [0, 1, N - 1])
def test_short_output_refused_when_averages_are_needed(period, length):
    out = sentinel(length)
    refused(ValueError, SHORT_MSG, period, *prices(), out)
    assert_untouched(out)


@pytest.mark.parametrize("period", [0, N, N + 1, MAX_PERIOD])
@pytest.mark.parametrize("length", [0, 1, N - 1])
def test_short_output_without_averages_is_filled(period, length):
    out = sentinel(length)
    assert molvenar.indicator_atr(period, *prices(), out) is None
    assert_same_bits(out, [FILL] * length)


def test_short_output_checked_after_table_checks():
    refused(ValueError, LENGTH_MSG,
            2, np.array(HIGH), np.array(LOW[:4]), np.array(CLOSE), sentinel(1))
    refused(ValueError, HIGH_MSG,
            2, np.array(HIGH)[::-1], np.array(LOW), np.array(CLOSE), sentinel(1))
    refused(ValueError, OUTPUT_MSG, 2, *prices(), sentinel(4)[::-2][:2])


# --- writeable output ------------------------------------------------------------------

@pytest.mark.parametrize("period", [0, 2, N])
def test_read_only_output_refused(period):
    out = read_only(sentinel(N))
    refused(ValueError, WRITEABLE_MSG, period, *prices(), out)
    assert_untouched(out)


def test_writeable_checked_last():
    refused(ValueError, SHORT_MSG, 2, *prices(), read_only(sentinel(N - 1)))
    refused(ValueError, LENGTH_MSG,
            2, np.array(HIGH), np.array(LOW), np.array(CLOSE[:4]), read_only(sentinel(N)))
    refused(ValueError, LOW_MSG,
            2, np.array(HIGH), np.array(LOW)[::-1], np.array(CLOSE), read_only(sentinel(N)))


def test_read_only_inputs_are_fine():
    out = sentinel(N)
    inputs = [read_only(a) for a in prices()]
    assert molvenar.indicator_atr(2, *inputs, out) is None
    assert_same_bits(out, [FILL, FILL, 1.75, 1.625, 2.0625])


# --- successful calls ------------------------------------------------------------------------

@pytest.mark.parametrize("period", [0, N, N + 1, MAX_PERIOD])
def test_unusable_period_gives_all_nan(period):
    out = sentinel(N)
    assert molvenar.indicator_atr(period, *prices(), out) is None
    assert_same_bits(out, [FILL] * N)


def test_keywords_equal_positional_call():
    first, second = sentinel(N), sentinel(N)
    molvenar.indicator_atr(2, *prices(), first)
    high, low, close = prices()
    molvenar.indicator_atr(output=second, close=close, period=2, low=low, high=high)
    assert_same_bits(first, [FILL, FILL, 1.75, 1.625, 2.0625])
    assert (first.view(np.uint64) == second.view(np.uint64)).all()


def test_same_array_as_all_three_inputs():
    prices_once = np.array([3.0, 5.0, 4.0, 8.0, 6.0, 7.0])
    values = list(prices_once)
    want = ref.atr(2, values, values, values)
    for _ in range(2):
        out = sentinel(len(values))
        assert molvenar.indicator_atr(2, prices_once, prices_once, prices_once, out) is None
        assert_same_bits(out, want)
    # Nothing is left registered: the array can be used as an output now.
    assert molvenar.indicator_atr(2, np.array(HIGH[:1] * 6), np.array(LOW[:1] * 6),
                                  np.array(CLOSE[:1] * 6), prices_once) is None
    prices_once[0] = 1.0


def test_refused_calls_leave_inputs_reusable():
    high, low, close = prices()
    for out in (sentinel(N)[::-1], sentinel(1), read_only(sentinel(N))):
        with pytest.raises(ValueError):
            molvenar.indicator_atr(2, high, low, close, out)
    with pytest.raises(TypeError):
        molvenar.indicator_atr(2, high, low, close, [0.0] * N)
    out = sentinel(N)
    assert molvenar.indicator_atr(2, high, low, close, out) is None
    assert_same_bits(out, [FILL, FILL, 1.75, 1.625, 2.0625])


# --- references --------------------------------------------------------------------------------

def test_no_reference_leaks():
    high, low, close = prices()
    out = sentinel(N)
    short_close = np.array(CLOSE[:3])
    short_out = sentinel(2)
    reversed_low = np.array(LOW)[::-1]
    locked = read_only(sentinel(N))
    bad_list = [0.0] * N
    period, zero = Index(2), Index(0)
    calls = [
        (None, (period, high, low, close, out)),
        (None, (zero, high, low, close, short_out)),
        (None, (period, high, high, high, out)),
        (ValueError, (period, high, reversed_low, close, out)),
        (ValueError, (period, high, low, short_close, out)),
        (ValueError, (period, high, low, close, short_out)),
        (ValueError, (period, high, low, close, locked)),
        (TypeError, (period, high, low, bad_list, out)),
        (TypeError, (period, high, low, close, bad_list)),
    ]
    watched = [high, low, close, out, short_close, short_out, reversed_low,
               locked, bad_list, period, zero]

    assert_refcounts_stable(molvenar.indicator_atr, calls, watched)
