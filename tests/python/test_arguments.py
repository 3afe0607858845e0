"""Sorting of call arguments and conversion of periods."""

import itertools
import operator

import numpy as np
import pytest

import molvenar
from conftest import (
    Index,
    assert_all_nan_marker,
    assert_sentinel,
    require_callable,
    same_bits,
    sentinel_array,
)
from conftest import MAX_PERIOD, WORD_BITS

DATA = np.array([1.0, 2.0, 4.0, 8.0, 16.0, 32.0])


def reference_result(func, period, data=DATA):
    out = np.empty(len(data))
    func(period, data, out)
    return out


def raises_exactly(exc_type, message, call):
    """Run call, expect exc_type (not a subclass) with args == (message,)."""
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type, repr(info.value)
    assert info.value.args == (message,)
    return info.value


# ---------------------------------------------------------------------------
# Keyword and positional forms.


@pytest.mark.parametrize("order", list(itertools.permutations(["period", "data", "output"])))
def test_all_keywords_in_any_order_equal_positional(single_series, order):
    _, func = single_series
    expected = reference_result(func, 3)
    out = sentinel_array(len(DATA))
    values = {"period": 3, "data": DATA, "output": out}
    assert func(**{name: values[name] for name in order}) is None
    assert same_bits(out, expected)


@pytest.mark.parametrize(
    "call",
    [
        lambda f, out: f(3, DATA, output=out),
        lambda f, out: f(3, output=out, data=DATA),
        lambda f, out: f(3, DATA, **{"output": out}),
    ],
)
def test_mixed_positional_and_keyword(single_series, call):
    _, func = single_series
    out = sentinel_array(len(DATA))
    call(func, out)
    assert same_bits(out, reference_result(func, 3))


# ---------------------------------------------------------------------------
# Sorting messages.


def _sorting_cases():
    out = np.empty(len(DATA))
    a = DATA
    return [
        # too many positional arguments, checked before any keyword
        (lambda f: f(3, a, out, out), "{f}() takes 3 positional arguments but 4 were given"),
        (lambda f: f(3, a, out, out, out), "{f}() takes 3 positional arguments but 5 were given"),
        (lambda f: f(3, a, out, out, bogus=1), "{f}() takes 3 positional arguments but 4 were given"),
        # unexpected keywords: the first in call order is named
        (lambda f: f(3, a, out, bogus=1), "{f}() got an unexpected keyword argument 'bogus'"),
        (lambda f: f(3, a, out, zz=1, aa=2), "{f}() got an unexpected keyword argument 'zz'"),
        (lambda f: f(3, a, out, Period=1), "{f}() got an unexpected keyword argument 'Period'"),
        (lambda f: f(3, a, out, **{"périod": 1}), "{f}() got an unexpected keyword argument 'périod'"),
        # keywords are handled before the requirement check
        (lambda f: f(3, a, bogus=1), "{f}() got an unexpected keyword argument 'bogus'"),
        (lambda f: f(bogus=1), "{f}() got an unexpected keyword argument 'bogus'"),
        # a keyword for a filled slot
        (lambda f: f(3, a, out, period=3), "{f}() got multiple values for argument 'period'"),
        (lambda f: f(3, a, output=out, data=a), "{f}() got multiple values for argument 'data'"),
        (lambda f: f(3, period=2), "{f}() got multiple values for argument 'period'"),
        # keyword-tuple order decides between the two keyword failures
        (lambda f: f(3, a, out, period=1, bogus=2), "{f}() got multiple values for argument 'period'"),
        (lambda f: f(3, a, out, bogus=2, period=1), "{f}() got an unexpected keyword argument 'bogus'"),
        # missing required parameters, with the name-list punctuation
        (lambda f: f(), "{f}() missing 3 required positional arguments: 'period', 'data', and 'output'"),
        (lambda f: f(3), "{f}() missing 2 required positional arguments: 'data' and 'output'"),
        (lambda f: f(3, a), "{f}() missing 1 required positional argument: 'output'"),
        (lambda f: f(data=a), "{f}() missing 2 required positional arguments: 'period' and 'output'"),
        (lambda f: f(3, output=out), "{f}() missing 1 required positional argument: 'data'"),
        (lambda f: f(output=out), "{f}() missing 2 required positional arguments: 'period' and 'data'"),
    ]


@pytest.mark.parametrize("case", range(len(_sorting_cases())))
def test_sorting_messages(single_series, case):
    name, func = single_series
    call, pattern = _sorting_cases()[case]
    raises_exactly(TypeError, pattern.format(f=name), lambda: call(func))


class CountingIndex:
    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __index__(self):
        self.calls += 1
        return self.value


def test_sorting_failure_converts_nothing(single_series):
    _, func = single_series
    period = CountingIndex(2)
    out = sentinel_array(len(DATA))
    with pytest.raises(TypeError, match="unexpected keyword"):
        func(period, DATA, out, bogus=1)
    with pytest.raises(TypeError, match="missing"):
        func(period, DATA)
    assert period.calls == 0
    assert_sentinel(out)
    func(period, DATA, out)
    assert period.calls == 1


@pytest.mark.needs_macd
def test_macd_missing_seven():
    macd = require_callable("indicator_macd")
    raises_exactly(
        TypeError,
        "indicator_macd() missing 7 required positional arguments: 'fast_period', "
        "'slow_period', 'signal_period', 'data', 'macd_output', 'signal_output', "
        "and 'hist_output'",
        lambda: macd(),
    )


@pytest.mark.needs_atr
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f(3, None), "indicator_atr() missing 3 required positional arguments: 'low', 'close', and 'output'"),
        (lambda f: f(3), "indicator_atr() missing 4 required positional arguments: 'high', 'low', 'close', and 'output'"),
        (lambda f: f(3, None, None, None, None, open=1), "indicator_atr() got an unexpected keyword argument 'open'"),
        (lambda f: f(3, None, None, None, None, None), "indicator_atr() takes 5 positional arguments but 6 were given"),
    ],
)
def test_atr_sorting_messages(call, message):
    atr = require_callable("indicator_atr")
    raises_exactly(TypeError, message, lambda: call(atr))


# ---------------------------------------------------------------------------
# Keyword names that are not plain text.


class UnprintableName(str):
    def __str__(self):
        raise RuntimeError("no text for this name")


def test_unprintable_unexpected_keyword_goes_to_unraisable_hook(single_series, monkeypatch):
    name, func = single_series
    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)
    key = UnprintableName("bogus")
    out = sentinel_array(len(DATA))
    raises_exactly(
        TypeError,
        f"{name}() got an unexpected keyword argument '<unprintable UnprintableName object>'",
        lambda: func(3, DATA, out, **{key: 1}),
    )
    assert len(reports) == 1
    assert type(reports[0].exc_value) is RuntimeError
    assert reports[0].exc_value.args == ("no text for this name",)
    assert reports[0].object is key
    assert_sentinel(out)


def test_unprintable_names_match_parameters_by_text(single_series, monkeypatch):
    _, func = single_series
    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)
    out = sentinel_array(len(DATA))
    # The lookup and the "multiple values" message use the UTF-8 text, not str().
    func(3, DATA, **{UnprintableName("output"): out})
    assert same_bits(out, reference_result(func, 3))
    name = func.__name__
    raises_exactly(
        TypeError,
        f"{name}() got multiple values for argument 'period'",
        lambda: func(3, DATA, out, **{UnprintableName("period"): 1}),
    )
    assert reports == []


@pytest.mark.parametrize("key, before, after", [("\udc80", "", ""), ("ab\udc80cd", "ab", "cd")])
def test_keyword_without_utf8_form(single_series, monkeypatch, key, before, after):
    name, func = single_series
    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)
    with pytest.raises(TypeError) as info:
        func(3, DATA, np.empty(len(DATA)), **{key: 1})
    assert type(info.value) is TypeError
    (message,) = info.value.args
    head = f"{name}() got an unexpected keyword argument '" + before
    tail = after + "'"
    assert message.startswith(head) and message.endswith(tail), ascii(message)
    middle = message[len(head) : len(message) - len(tail)]
    assert middle and set(middle) == {"\ufffd"}, ascii(message)
    message.encode("utf-8")  # no lone surrogate survives
    assert reports == []
    # Nothing is left pending: the next call works.
    assert func(3, DATA, np.empty(len(DATA))) is None


# ---------------------------------------------------------------------------
# Period conversion.


class PlainIntSubclass(int):
    pass


class IntWithOtherIndex(int):
    # An int subclass is read as an int; its __index__ is not consulted.
    def __index__(self):
        return 5


@pytest.mark.parametrize(
    "period, equivalent",
    [
        (True, 1),
        (Index(5), 5),
        (PlainIntSubclass(2), 2),
        (IntWithOtherIndex(2), 2),
        (np.int64(3), 3),
        (np.uint8(4), 4),
    ],
)
def test_accepted_periods(single_series, period, equivalent):
    _, func = single_series
    out = sentinel_array(len(DATA))
    assert func(period, DATA, out) is None
    assert same_bits(out, reference_result(func, equivalent))


@pytest.mark.parametrize(
    "period",
    [0, False, Index(0), MAX_PERIOD, Index(MAX_PERIOD), 2 ** (WORD_BITS - 1), len(DATA) + 1],
)
def test_periods_giving_all_nan(single_series, period):
    _, func = single_series
    out = sentinel_array(len(DATA))
    assert func(period, DATA, out) is None
    assert_all_nan_marker(out)


@pytest.mark.parametrize(
    "period", [-1, -(2**70), 2**64, 2**100, Index(-1), Index(2**64), PlainIntSubclass(-3)]
)
def test_out_of_range_periods_give_interpreter_overflow(single_series, period):
    _, func = single_series
    out = sentinel_array(len(DATA))
    with pytest.raises(OverflowError) as info:
        func(period, DATA, out)
    assert type(info.value) is OverflowError
    (message,) = info.value.args
    assert message and not message.startswith("argument ")
    assert message != "out of range integral type conversion attempted"
    assert_sentinel(out)


def _index_error_text(obj):
    try:
        operator.index(obj)
    except TypeError as exc:
        return str(exc)
    raise AssertionError("expected operator.index to fail")


@pytest.mark.parametrize("period", [2.5, 3.0, None, "3", [3], Index(2.0), np.float64(2.0)])
def test_non_integer_period_is_named(single_series, period):
    _, func = single_series
    out = sentinel_array(len(DATA))
    expected = "argument 'period': " + _index_error_text(period)
    exc = raises_exactly(TypeError, expected, lambda: func(period, DATA, out))
    assert exc.__cause__ is None
    assert_sentinel(out)


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "make",
    [
        lambda: ValueError("not today"),
        lambda: OverflowError("too wide"),
        lambda: TypeErrorSubclass("a narrower type error"),
        lambda: KeyError("k"),
        lambda: ArithmeticError(),
    ],
    ids=["ValueError", "OverflowError", "TypeErrorSubclass", "KeyError", "ArithmeticError"],
)
def test_index_failures_other_than_type_error_pass_through(single_series, make):
    _, func = single_series
    exc = make()
    out = sentinel_array(len(DATA))
    with pytest.raises(BaseException) as info:
        func(RaisingIndex(exc), DATA, out)
    assert info.value is exc
    # The traceback still reaches into __index__.
    frames = []
    tb = info.value.__traceback__
    while tb is not None:
        frames.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert frames[-1] == "__index__"
    assert_sentinel(out)


def test_index_type_error_is_named_and_keeps_its_cause(single_series):
    _, func = single_series
    root = KeyError("root cause")

    class CausedTypeError:
        def __index__(self):
            raise TypeError("bad index") from root

    inner = TypeError("plain")

    with pytest.raises(TypeError) as info:
        func(CausedTypeError(), DATA, np.empty(len(DATA)))
    assert type(info.value) is TypeError
    assert info.value.args == ("argument 'period': bad index",)
    assert info.value.__cause__ is root

    with pytest.raises(TypeError) as info:
        func(RaisingIndex(inner), DATA, np.empty(len(DATA)))
    assert info.value is not inner
    assert info.value.args == ("argument 'period': plain",)
    assert info.value.__cause__ is None


def test_period_is_converted_before_the_arrays(single_series):
    _, func = single_series
    with pytest.raises(TypeError) as info:
        func(2.5, [1.0], None)
    assert info.value.args[0].startswith("argument 'period': ")
    with pytest.raises(ValueError) as info:
        func(RaisingIndex(ValueError("first")), [1.0], None)
    assert info.value.args == ("first",)


# ---------------------------------------------------------------------------
# Periods at the machine word: 2**32 and more do not fit a 32-bit build.

WORD_OVERFLOW = "out of range integral type conversion attempted"
only_32_bit = pytest.mark.skipif(WORD_BITS != 32, reason="32-bit builds only")
only_64_bit = pytest.mark.skipif(WORD_BITS != 64, reason="64-bit builds only")


def _call_with_period(name, parameter, period, data):
    """(callable, positional args) with `period` in the named parameter and
    valid values elsewhere."""
    func = require_callable(name)
    n = len(data)
    if name == "indicator_macd":
        periods = {"fast_period": 2, "slow_period": 3, "signal_period": 2}
        periods[parameter] = period
        outs = [sentinel_array(n) for _ in range(3)]
        return func, [*periods.values(), data, *outs], outs
    out = sentinel_array(n)
    prices = [data] * 3 if name == "indicator_atr" else [data]
    return func, [period, *prices, out], [out]


PERIOD_PARAMETERS = [
    ("indicator_sma", "period"),
    ("indicator_ema", "period"),
    ("indicator_atr", "period"),
    ("indicator_macd", "fast_period"),
    ("indicator_macd", "slow_period"),
    ("indicator_macd", "signal_period"),
]


@only_32_bit
@pytest.mark.parametrize("name, parameter", PERIOD_PARAMETERS)
@pytest.mark.parametrize("period", [2**32, 2**32 + 3, Index(2**32), 2**63, 2**64 - 1])
def test_period_beyond_32_bit_word_is_refused(name, parameter, period):
    func, args, outs = _call_with_period(name, parameter, period, DATA)
    raises_exactly(OverflowError, WORD_OVERFLOW, lambda: func(*args))
    for out in outs:
        assert_sentinel(out)


@only_32_bit
@pytest.mark.parametrize("period, word_check", [(-1, False), (2**64, False), (2**32, True)])
def test_word_check_follows_interpreter_checks(period, word_check):
    # The interpreter's own range checks come first; the word check only sees
    # values that fit 64 bits. Periods convert before any array is looked at.
    with pytest.raises(OverflowError) as info:
        molvenar.indicator_sma(period, [1.0], None)
    assert type(info.value) is OverflowError
    assert (info.value.args == (WORD_OVERFLOW,)) is word_check


@only_32_bit
@pytest.mark.parametrize("name, parameter", PERIOD_PARAMETERS)
def test_largest_32_bit_period_is_usable(name, parameter):
    func, args, outs = _call_with_period(name, parameter, 2**32 - 1, DATA)
    if parameter == "fast_period":  # converted, then refused by the period checks
        raises_exactly(ValueError, "Fast period must be less than slow period", lambda: func(*args))
        return
    assert func(*args) is None
    if parameter == "signal_period":
        # slow + signal - 2 does not wrap to 1: the line has values, the
        # signal never starts.
        assert not np.isnan(outs[0][2:]).any()
        outs = outs[1:]
    for out in outs:
        assert_all_nan_marker(out)


@only_64_bit
@pytest.mark.parametrize("period", [2**32, 2**63])
def test_periods_beyond_32_bits_fit_a_64_bit_word(single_series, period):
    _, func = single_series
    out = sentinel_array(len(DATA))
    assert func(period, DATA, out) is None
    assert_all_nan_marker(out)
