"""The PanicException type, the resume path, and what exceptions escape."""

import signal

import numpy as np
import pytest

import molvenar
from conftest import run_python

PANIC_DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)

RESUME_BANNER = (
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n"
)

# Finds the module's private exception type once the module has taken a
# pending exception (here: an __index__ that raises ValueError).
FIND_PANIC_TYPE = """
import numpy as np
import molvenar

class _RaisesValueError:
    def __index__(self):
        raise ValueError("first pending exception")

try:
    molvenar.indicator_sma(_RaisesValueError(), np.zeros(3), np.zeros(3))
except ValueError:
    pass

_found = [c for c in BaseException.__subclasses__()
          if c.__qualname__ == "PanicException" and c.__module__ == "pyo3_runtime"]
assert len(_found) == 1, _found
PanicException = _found[0]
"""


class _RaisesValueError:
    def __index__(self):
        raise ValueError("take a pending exception")


def _panic_type():
    try:
        molvenar.indicator_sma(_RaisesValueError(), np.zeros(3), np.zeros(3))
    except ValueError:
        pass
    found = [
        c
        for c in BaseException.__subclasses__()
        if c.__qualname__ == "PanicException" and c.__module__ == "pyo3_runtime"
    ]
    assert len(found) == 1, found
    return found[0]


def test_panic_exception_type_properties():
    panic = _panic_type()
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__ == PANIC_DOC
    assert not hasattr(molvenar, "PanicException")
    # One type per process, however many exceptions are taken.
    assert _panic_type() is panic


def test_resume_path_aborts_with_banner_and_traceback():
    result = run_python(
        FIND_PANIC_TYPE
        + """
class _RaisesPanic:
    def __index__(self):
        raise PanicException("travelling fault")

print("BEFORE", flush=True)
molvenar.indicator_ema(_RaisesPanic(), np.zeros(3), np.zeros(3))
print("AFTER", flush=True)
"""
    )
    assert result.returncode == -signal.SIGABRT, (result.returncode, result.stderr)
    assert result.stdout.splitlines() == ["BEFORE"]
    err = result.stderr
    assert RESUME_BANNER + "Traceback (most recent call last):\n" in err, err
    after = err[err.index(RESUME_BANNER) + len(RESUME_BANNER) :]
    assert "__index__" in after
    assert "pyo3_runtime.PanicException: travelling fault" in after


def test_resume_path_with_unprintable_panic_still_aborts():
    result = run_python(
        FIND_PANIC_TYPE
        + """
class _Str:
    def __str__(self):
        raise RuntimeError("no text")

class _RaisesUnprintablePanic:
    def __index__(self):
        raise PanicException(_Str())

molvenar.indicator_sma(_RaisesUnprintablePanic(), np.zeros(3), np.zeros(3))
"""
    )
    assert result.returncode == -signal.SIGABRT, (result.returncode, result.stderr)
    assert RESUME_BANNER in result.stderr


def test_subclass_of_panic_exception_passes_through():
    panic = _panic_type()

    class Derived(panic):
        pass

    exc = Derived("only the exact type is a travelling fault")

    class RaisesDerived:
        def __index__(self):
            raise exc

    with pytest.raises(BaseException) as info:
        molvenar.indicator_sma(RaisesDerived(), np.zeros(3), np.zeros(3))
    assert info.value is exc
    # The process goes on normally.
    out = np.zeros(3)
    molvenar.indicator_sma(1, np.array([1.0, 2.0, 3.0]), out)
    assert out.tolist() == [1.0, 2.0, 3.0]


def _refused_calls():
    sma, ema = molvenar.indicator_sma, molvenar.indicator_ema
    a = np.arange(4.0)
    return {
        "takes": lambda: sma(1, a, a, a),
        "unexpected_keyword": lambda: ema(1, a, a, bogus=1),
        "multiple_values": lambda: sma(1, a, a, period=1),
        "missing": lambda: ema(),
        "period_float": lambda: sma(2.5, a, np.empty(4)),
        "period_negative": lambda: sma(-1, a, np.empty(4)),
        "period_too_big": lambda: ema(2**64, a, np.empty(4)),
        "data_type": lambda: sma(1, [1.0], np.empty(1)),
        "output_type": lambda: ema(1, a, None),
        "data_layout": lambda: sma(1, a[::2], np.empty(2)),
        "output_layout": lambda: ema(1, a, np.empty(8)[::2]),
        "length": lambda: sma(1, a, np.empty(5)),
        "readonly": lambda: ema(1, a, np.frombuffer(bytes(32), dtype=np.float64)),
    }


@pytest.mark.parametrize("kind", sorted(_refused_calls()))
def test_module_raises_only_exception_subclasses(kind):
    panic = _panic_type()
    call = _refused_calls()[kind]
    # pytest.raises(Exception) lets a bare BaseException escape and fail the test.
    with pytest.raises(Exception) as info:
        call()
    assert isinstance(info.value, Exception)
    assert not isinstance(info.value, panic)
    assert type(info.value) in (TypeError, ValueError, OverflowError)
    assert len(info.value.args) == 1 and isinstance(info.value.args[0], str)
