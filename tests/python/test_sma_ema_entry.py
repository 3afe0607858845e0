"""indicator_sma and indicator_ema: array checks, their order, and the call."""

import gc
import math
import sys
import threading

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import molvenar
from conftest import (
    NAN_BITS,
    SENTINEL_BITS,
    assert_all_nan_marker,
    assert_sentinel,
    nan_bits,
    same_bits,
    sentinel_array,
)
from conftest import MAX_PERIOD

INPUT_MSG = "Input array must be C-contiguous and float64"
OUTPUT_MSG = "Output array must be C-contiguous and float64"
LENGTH_MSG = "Output array length must match input"
WRITEABLE_MSG = "Output array must be writeable"
CONVERT_TAIL = "' object cannot be converted to 'PyArray<T, D>'"

NAN = float("nan")


def conversion_message(param, type_name):
    return f"argument '{param}': '{type_name}{CONVERT_TAIL}"


class Holder:
    class Thing:
        pass


class Grid(np.ndarray):
    pass


class Series(np.ndarray):
    pass


def record_field(n):
    """A float64 field of a packed record array: byte stride 12."""
    rec = np.zeros(n, dtype=[("a", "<f8"), ("b", "<i4")])
    rec["b"] = 0x5A5A5A5A
    view = rec["a"]
    assert view.strides == (12,)
    return view


# ---------------------------------------------------------------------------
# End to end: the right kernel is behind each name.


@pytest.mark.parametrize(
    "name, period, data, expected",
    [
        ("indicator_sma", 2, [1, 2, 3, 4, 5], [NAN, 1.5, 2.5, 3.5, 4.5]),
        ("indicator_sma", 3, [1, 2, 2], [NAN, NAN, 1.6666666666666665]),
        ("indicator_ema", 3, [1, 2, 3, 4, NAN, 6], [NAN, NAN, 2, 3, NAN, 4.5]),
        ("indicator_ema", 3, [1, 2, 2], [NAN, NAN, 1.6666666666666667]),
    ],
)
def test_spec_examples_end_to_end(name, period, data, expected):
    func = getattr(molvenar, name)
    data = np.array(data, dtype=np.float64)
    out = sentinel_array(len(data))
    assert func(period, data, out) is None
    assert same_bits(out, np.array(expected, dtype=np.float64))


def test_empty_input_returns_none(single_series):
    _, func = single_series
    assert func(3, np.empty(0), np.empty(0)) is None
    assert func(0, np.empty(0), np.empty(0)) is None


@pytest.mark.parametrize("period", [0, 7, 1000, MAX_PERIOD])
def test_unusable_period_gives_nan_marker(single_series, period):
    _, func = single_series
    out = sentinel_array(6)
    assert func(period, np.arange(6.0), out) is None
    assert_all_nan_marker(out)
    assert nan_bits(out)[0] == NAN_BITS


def test_ndarray_subclasses_accepted(single_series):
    _, func = single_series
    data = np.array([1.0, 2.0, 3.0, 5.0])
    expected = np.empty(4)
    func(2, data, expected)
    out = sentinel_array(4).view(Series)
    func(2, data.view(Series), out)
    assert same_bits(out, expected)


def test_equivalent_but_distinct_descriptor_accepted(single_series):
    _, func = single_series
    tagged = np.dtype(np.float64, metadata={"unit": "usd"})
    assert tagged is not np.dtype(np.float64)
    data = np.array([1.0, 2.0, 3.0], dtype=tagged)
    out = np.zeros(3, dtype=tagged)
    func(1, data, out)
    assert out.tolist() == [1.0, 2.0, 3.0]


def test_readonly_input_accepted(single_series):
    _, func = single_series
    data = np.frombuffer(np.array([1.0, 2.0, 3.0]).tobytes(), dtype=np.float64)
    assert not data.flags.writeable
    out = sentinel_array(3)
    func(1, data, out)
    assert out.tolist() == [1.0, 2.0, 3.0]


# ---------------------------------------------------------------------------
# Type refusals.

BAD_ARRAYS = [
    (lambda: np.zeros(4, dtype=np.float32), "ndarray"),
    (lambda: np.zeros(4, dtype=np.int64), "ndarray"),
    (lambda: np.zeros(4, dtype=">f8"), "ndarray"),
    (lambda: np.zeros(4, dtype=np.complex128), "ndarray"),
    (lambda: np.zeros((2, 2)), "ndarray"),
    (lambda: np.zeros((4, 1)), "ndarray"),
    (lambda: np.array(0.0), "ndarray"),
    (lambda: np.zeros((2, 2)).view(Grid), "Grid"),
    (lambda: [1.0, 2.0, 3.0, 4.0], "list"),
    (lambda: (1.0, 2.0, 3.0, 4.0), "tuple"),
    (lambda: None, "NoneType"),
    (lambda: np.float64(1.0), "float64"),
    (lambda: Holder.Thing(), "Holder.Thing"),
]
BAD_IDS = [
    "float32", "int64", "big_endian", "complex", "2d", "column", "0d",
    "2d_subclass", "list", "tuple", "None", "scalar", "nested_class",
]


@pytest.mark.parametrize("make_bad, type_name", BAD_ARRAYS, ids=BAD_IDS)
def test_data_type_refused(single_series, make_bad, type_name):
    _, func = single_series
    out = sentinel_array(4)
    with pytest.raises(TypeError) as info:
        func(2, make_bad(), out)
    assert type(info.value) is TypeError
    assert info.value.args == (conversion_message("data", type_name),)
    assert info.value.__cause__ is None
    assert_sentinel(out)


@pytest.mark.parametrize("make_bad, type_name", BAD_ARRAYS, ids=BAD_IDS)
def test_output_type_refused(single_series, make_bad, type_name):
    _, func = single_series
    bad = make_bad()
    with pytest.raises(TypeError) as info:
        func(2, np.arange(4.0), bad)
    assert type(info.value) is TypeError
    assert info.value.args == (conversion_message("output", type_name),)
    if isinstance(bad, np.ndarray):
        assert not bad.any()


def test_data_type_checked_before_output_type(single_series):
    _, func = single_series
    with pytest.raises(TypeError) as info:
        func(2, [1.0], None)
    assert info.value.args == (conversion_message("data", "list"),)


def test_output_type_checked_before_data_layout(single_series):
    _, func = single_series
    with pytest.raises(TypeError) as info:
        func(2, np.arange(6.0)[::-1], np.zeros(6, dtype=np.float32))
    assert info.value.args == (conversion_message("output", "ndarray"),)


# ---------------------------------------------------------------------------
# Layout, length and writeability refusals.

NON_CONTIGUOUS = {
    "reversed": lambda n: sentinel_array(n)[::-1],
    "step_2": lambda n: sentinel_array(2 * n)[::2],
    "column": lambda n: sentinel_array(2 * n).reshape(n, 2)[:, 0],
    "record_field": record_field,
    "broadcast": lambda n: np.broadcast_to(np.float64(1.0), (n,)),
}


@pytest.mark.parametrize("kind", sorted(NON_CONTIGUOUS))
@pytest.mark.parametrize("n", [2, 5])
def test_non_contiguous_data_refused(single_series, kind, n):
    _, func = single_series
    data = NON_CONTIGUOUS[kind](n)
    assert len(data) == n and data.strides[0] != 8
    out = sentinel_array(n)
    with pytest.raises(ValueError) as info:
        func(1, data, out)
    assert type(info.value) is ValueError
    assert info.value.args == (INPUT_MSG,)
    assert_sentinel(out)


@pytest.mark.parametrize("kind", sorted(NON_CONTIGUOUS))
@pytest.mark.parametrize("n", [2, 5])
def test_non_contiguous_output_refused(single_series, kind, n):
    _, func = single_series
    out = NON_CONTIGUOUS[kind](n)
    before = out.copy()
    with pytest.raises(ValueError) as info:
        func(1, np.arange(float(n)), out)
    assert type(info.value) is ValueError
    assert info.value.args == (OUTPUT_MSG,)
    assert same_bits(out, before)


def _one_element_views():
    """(backing array, one-element view into it, flat index of the element)."""

    def reversed_():
        backing = sentinel_array(3)
        return backing, backing[1:2][::-1], 1

    def wide_step():
        backing = sentinel_array(5)
        return backing, backing[3::5], 3

    def negative_stride():
        backing = sentinel_array(3)
        return backing, as_strided(backing[2:], shape=(1,), strides=(-16,)), 2

    def column():
        backing = sentinel_array(4)
        return backing, backing.reshape(2, 2)[1:, 1], 3

    return {
        "reversed": reversed_,
        "wide_step": wide_step,
        "negative_stride": negative_stride,
        "column": column,
    }


@pytest.mark.parametrize("kind", sorted(_one_element_views()))
def test_one_element_views_of_any_stride(single_series, kind):
    _, func = single_series
    make = _one_element_views()[kind]
    backing, data, _ = make()
    assert len(data) == 1 and data.strides[0] != 8
    data[0] = 7.0
    out = sentinel_array(1)
    func(1, data, out)
    assert out.tolist() == [7.0]
    # As output the value lands on the view's own element and nowhere else.
    backing, view, index = make()
    func(1, np.array([7.0]), view)
    expected = [SENTINEL_BITS] * len(backing)
    expected[index] = nan_bits(np.array([7.0]))[0]
    assert nan_bits(backing) == expected


def test_one_element_record_field(single_series):
    _, func = single_series
    data = record_field(1)
    data[0] = 7.0
    out = sentinel_array(1)
    func(1, data, out)
    assert out.tolist() == [7.0]
    rec_out = record_field(1)
    func(1, np.array([7.0]), rec_out)
    assert rec_out.base["a"].tolist() == [7.0]
    assert rec_out.base["b"].tolist() == [0x5A5A5A5A]


def test_one_element_broadcast_input_accepted(single_series):
    _, func = single_series
    data = np.broadcast_to(np.float64(7.0), (1,))
    assert data.strides == (0,)
    out = sentinel_array(1)
    func(1, data, out)
    assert out.tolist() == [7.0]


@pytest.mark.parametrize("stride", [0, -8, 16, 12, -24])
def test_empty_views_of_any_stride(single_series, stride):
    _, func = single_series
    backing = sentinel_array(4)
    data = as_strided(backing, shape=(0,), strides=(stride,))
    out = as_strided(backing[2:], shape=(0,), strides=(stride,))
    assert func(3, data, out) is None
    assert_sentinel(backing)


def test_both_non_contiguous_reports_input(single_series):
    _, func = single_series
    with pytest.raises(ValueError) as info:
        func(1, np.arange(6.0)[::2], sentinel_array(6)[::2])
    assert info.value.args == (INPUT_MSG,)


def test_input_layout_before_length(single_series):
    _, func = single_series
    with pytest.raises(ValueError) as info:
        func(1, np.arange(6.0)[::2], sentinel_array(7))
    assert info.value.args == (INPUT_MSG,)


def test_output_layout_before_length(single_series):
    _, func = single_series
    with pytest.raises(ValueError) as info:
        func(1, np.arange(3.0), sentinel_array(8)[::2])
    assert info.value.args == (OUTPUT_MSG,)


@pytest.mark.parametrize("n_data, n_out", [(5, 6), (5, 4), (5, 0), (0, 1), (1, 2)])
def test_length_mismatch(single_series, n_data, n_out):
    _, func = single_series
    out = sentinel_array(n_out)
    with pytest.raises(ValueError) as info:
        func(1, np.arange(float(n_data)), out)
    assert type(info.value) is ValueError
    assert info.value.args == (LENGTH_MSG,)
    assert_sentinel(out)


def _flag_cleared_sentinel(n):
    arr = sentinel_array(n)
    arr.flags.writeable = False
    return arr


READONLY_OUTPUTS = {
    "frombuffer": lambda n: np.frombuffer(bytes(8 * n), dtype=np.float64),
    "flag_cleared": _flag_cleared_sentinel,
    "readonly_view": lambda n: _flag_cleared_sentinel(n + 2)[1:-1],
}


@pytest.mark.parametrize("kind", sorted(READONLY_OUTPUTS))
def test_readonly_output_refused(single_series, kind):
    _, func = single_series
    out = READONLY_OUTPUTS[kind](4)
    before = out.copy()
    with pytest.raises(ValueError) as info:
        func(2, np.arange(4.0), out)
    assert type(info.value) is ValueError
    assert info.value.args == (WRITEABLE_MSG,)
    assert same_bits(out, before)


def test_one_element_broadcast_output_is_readonly(single_series):
    _, func = single_series
    out = np.broadcast_to(np.float64(3.0), (1,))
    with pytest.raises(ValueError) as info:
        func(1, np.array([7.0]), out)
    assert info.value.args == (WRITEABLE_MSG,)
    assert out[0] == 3.0


@pytest.mark.parametrize(
    "data, out, message",
    [
        (lambda: np.arange(4.0), lambda: _flag_cleared_sentinel(5), LENGTH_MSG),
        (lambda: np.arange(4.0), lambda: _flag_cleared_sentinel(8)[::2], OUTPUT_MSG),
        (lambda: np.arange(8.0)[::2], lambda: _flag_cleared_sentinel(4), INPUT_MSG),
    ],
)
def test_writeability_checked_last(single_series, data, out, message):
    _, func = single_series
    with pytest.raises(ValueError) as info:
        func(1, data(), out())
    assert info.value.args == (message,)


def test_readonly_output_type_error_first(single_series):
    _, func = single_series
    out = np.frombuffer(bytes(16), dtype=np.float32)
    with pytest.raises(TypeError) as info:
        func(1, np.arange(4.0), out)
    assert info.value.args == (conversion_message("output", "ndarray"),)


# ---------------------------------------------------------------------------
# After a refusal; references.

REFUSALS = {
    "period": (lambda d, o: (_raise_value_error_index(), d, o), ValueError),
    "sorting": (lambda d, o: (1, d, o, o), TypeError),
    "data_type": (lambda d, o: (1, d.astype(np.float32), o), TypeError),
    "output_type": (lambda d, o: (1, d, [0.0] * len(d)), TypeError),
    "data_layout": (lambda d, o: (1, np.repeat(d, 2)[::2], o), ValueError),
    "output_layout": (lambda d, o: (1, d, np.repeat(o, 2)[::2]), ValueError),
    "length": (lambda d, o: (1, d, o[:-1]), ValueError),
    "readonly": (lambda d, o: (1, d, np.frombuffer(o.tobytes(), dtype=np.float64)), ValueError),
}


class _RaisingIndex:
    def __index__(self):
        raise ValueError("no period here")


def _raise_value_error_index():
    return _RaisingIndex()


@pytest.mark.parametrize("kind", sorted(REFUSALS))
def test_refused_call_leaves_output_and_next_call_works(single_series, kind):
    _, func = single_series
    data = np.array([1.0, 2.0, 4.0, 8.0])
    out = sentinel_array(4)
    build, exc_type = REFUSALS[kind]
    args = build(data, out)
    with pytest.raises(exc_type):
        func(*args)
    assert_sentinel(out)
    func(2, data, out)
    expected = np.empty(4)
    func(2, data.copy(), expected)
    assert same_bits(out, expected)


class IndexTwo:
    def __index__(self):
        return 2


def _refcounts(objects):
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


LEAK_SCENARIOS = [
    "success",
    "success_index",
    "success_keywords",
    "period_value_error",
    "period_type_error",
    "sorting",
    "data_foreign_object",
    "data_float32",
    "output_list",
    "data_layout",
    "output_layout",
    "length",
    "readonly_output",
]


@pytest.mark.parametrize("scenario", LEAK_SCENARIOS)
def test_no_reference_leaks(single_series, scenario):
    _, func = single_series
    data = np.arange(10.0)
    out = np.empty(10)
    period = int("1000003")  # a fresh, non-cached int object
    thing = Holder.Thing()
    f32 = data.astype(np.float32)
    strided = np.repeat(data, 2)[::2]
    readonly = np.frombuffer(bytes(80), dtype=np.float64)
    index_period = IndexTwo()
    float_period = 2.5
    calls = {
        "success": (lambda: func(period, data, out), None),
        "success_index": (lambda: func(index_period, data, out), None),
        "success_keywords": (lambda: func(output=out, data=data, period=period), None),
        "period_value_error": (lambda: func(_RaisingIndex(), data, out), ValueError),
        "period_type_error": (lambda: func(float_period, data, out), TypeError),
        "sorting": (lambda: func(period, data, out, bogus=data), TypeError),
        "data_foreign_object": (lambda: func(period, thing, out), TypeError),
        "data_float32": (lambda: func(period, f32, out), TypeError),
        "output_list": (lambda: func(period, data, [0.0]), TypeError),
        "data_layout": (lambda: func(period, strided, out), ValueError),
        "output_layout": (lambda: func(period, data, strided), ValueError),
        "length": (lambda: func(period, data, out[:5]), ValueError),
        "readonly_output": (lambda: func(period, data, readonly), ValueError),
    }
    call, exc_type = calls[scenario]
    tracked = [
        data, out, period, thing, Holder.Thing, f32, strided, readonly,
        index_period, float_period, np.dtype(np.float64), np.dtype(np.float32),
    ]

    def run_once():
        if exc_type is None:
            assert call() is None
        else:
            try:
                call()
            except exc_type:
                pass
            else:
                raise AssertionError("call was not refused")

    run_once()  # first-use caches are filled here
    before = _refcounts(tracked)
    for _ in range(200):
        run_once()
    after = _refcounts(tracked)
    assert after == before


# ---------------------------------------------------------------------------
# Threads.


def test_other_threads_run_during_the_kernel(single_series):
    """With a huge switch interval the only way for the watcher to see the
    main thread inside the call is that the call released the lock."""
    _, func = single_series
    n = 10**7
    data = np.ones(n)
    out = np.empty(n)
    func(3, data[:10], out[:10])  # warm up first-use work outside the window

    state = {"in_call": False, "stop": False, "seen": 0}
    started = threading.Event()

    def watcher():
        started.set()
        while not state["stop"]:
            if state["in_call"]:
                state["seen"] += 1
            # Sleeping hands the lock back, so the main thread never waits
            # long for it after the kernel.
            threading.Event().wait(0.0001)

    old_interval = sys.getswitchinterval()
    thread = threading.Thread(target=watcher, daemon=True)
    try:
        sys.setswitchinterval(30.0)
        thread.start()
        started.wait()
        for _ in range(20):
            state["in_call"] = True
            func(3, data, out)
            state["in_call"] = False
            if state["seen"]:
                break
    finally:
        state["in_call"] = False
        state["stop"] = True
        sys.setswitchinterval(old_interval)
        thread.join(timeout=60)
    assert state["seen"] > 0
    assert out[2] == 1.0 and math.isnan(out[1])


def test_parallel_calls_agree_with_serial_ones(single_series):
    _, func = single_series
    rng = np.random.default_rng(7)
    inputs = [rng.standard_normal(20_000) for _ in range(4)]
    expected = []
    for data in inputs:
        out = np.empty(len(data))
        func(9, data, out)
        expected.append(out)
    results = [np.empty(len(d)) for d in inputs]
    errors = []

    def worker(i):
        try:
            for _ in range(25):
                func(9, inputs[i], results[i])
                if not same_bits(results[i], expected[i]):
                    errors.append(i)
                    return
        except BaseException as exc:  # surfaced below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
