"""Shared helpers for the molvenar Python tests."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from references import WORD
from x87_rounding import use_binary64_precision

# Pure-Python references must round like binary64 on every interpreter.
use_binary64_precision()

# The quiet NaN every kernel writes to positions without a value.
NAN_BITS = 0x7FF8000000000000

# A finite, unusual bit pattern: a refused call must leave it untouched.
SENTINEL_BITS = 0xDEADBEEFCAFEF00D

# The machine word of the build under test: periods convert to it.
WORD_BITS = WORD.bit_length() - 1
MAX_PERIOD = WORD - 1

SINGLE_SERIES_NAMES = ("indicator_sma", "indicator_ema")

ALL_NAMES = ("indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr")


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "needs_macd: needs molvenar.indicator_macd; fails until it is registered",
    )
    config.addinivalue_line(
        "markers",
        "needs_atr: needs molvenar.indicator_atr; fails until it is registered",
    )


def require_callable(name):
    """Return molvenar.<name>, failing (not skipping) when it is absent."""
    import molvenar

    func = getattr(molvenar, name, None)
    assert func is not None, f"molvenar.{name} is not registered"
    return func


class Index:
    """Not an int, but a period through its __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def nan_bits(array):
    """The raw 64-bit patterns of a float64 array, as a list of ints."""
    return [int(b) for b in np.ascontiguousarray(array).view(np.uint64)]


def assert_all_nan_marker(array):
    assert nan_bits(array) == [NAN_BITS] * len(array)


def sentinel_array(n):
    """A writeable float64 array of length n filled with the sentinel pattern."""
    raw = np.full(n, SENTINEL_BITS, dtype=np.uint64)
    return raw.view(np.float64)


def assert_sentinel(array):
    assert nan_bits(array) == [SENTINEL_BITS] * len(array)


def same_bits(a, b):
    """Bitwise equality of two float64 arrays (NaN == NaN, -0.0 != +0.0)."""
    return len(a) == len(b) and nan_bits(a) == nan_bits(b)


def conversion_message(param, obj):
    return (f"argument '{param}': '{type(obj).__qualname__}' object cannot be "
            f"converted to 'PyArray<T, D>'")


def refused_with(func, exc_type, message, *args):
    """func(*args) raises exactly exc_type whose args are (message,)."""
    with pytest.raises(exc_type) as info:
        func(*args)
    assert type(info.value) is exc_type
    assert info.value.args == (message,)


def read_only(a):
    a.flags.writeable = False
    return a


def assert_refcounts_stable(func, calls, watched, rounds=200):
    """Runs every (expected exception type or None, args) call many times;
    the reference counts of the watched objects must not move."""
    def run_all():
        for expected, args in calls:
            try:
                func(*args)
            except (ValueError, TypeError) as exc:
                assert type(exc) is expected
            else:
                assert expected is None

    run_all()  # first-use caches settle here
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(rounds):
        run_all()
    after = [sys.getrefcount(o) for o in watched]
    assert after == before


def run_python(code, timeout=120):
    """Run code in a fresh interpreter (the one running the tests).

    Returns the CompletedProcess with text stdout/stderr. The environment is
    inherited so the installed module is importable the same way; Python's
    fault handler is kept off so that an abort produces only the module's
    own output.
    """
    env = dict(os.environ)
    env.pop("PYTHONFAULTHANDLER", None)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        errors="replace",
        timeout=timeout,
        env=env,
    )


@pytest.fixture(params=SINGLE_SERIES_NAMES)
def single_series(request):
    """Each of indicator_sma and indicator_ema, with its name."""
    import molvenar

    return request.param, getattr(molvenar, request.param)
