"""The module object, its callables, the one-interpreter rule and the .so."""

import importlib
import importlib.util
import inspect
import re
import shutil
import subprocess
import sys
import types

import pytest

import molvenar
from conftest import ALL_NAMES, require_callable, run_python

SIGNATURES = {
    "indicator_sma": ("period", "data", "output"),
    "indicator_ema": ("period", "data", "output"),
    "indicator_macd": (
        "fast_period",
        "slow_period",
        "signal_period",
        "data",
        "macd_output",
        "signal_output",
        "hist_output",
    ),
    "indicator_atr": ("period", "high", "low", "close", "output"),
}

SUBINTERP_PREFIX = "PyO3 modules do not yet support subinterpreters, see "

callable_params = pytest.mark.parametrize(
    "name",
    [
        "indicator_sma",
        "indicator_ema",
        pytest.param("indicator_macd", marks=pytest.mark.needs_macd),
        pytest.param("indicator_atr", marks=pytest.mark.needs_atr),
    ],
)


def test_module_doc_is_empty_string():
    assert molvenar.__doc__ == ""
    assert molvenar.__name__ == "molvenar"


@pytest.mark.needs_macd
@pytest.mark.needs_atr
def test_all_lists_the_four_callables_in_order():
    assert type(molvenar.__all__) is list
    assert molvenar.__all__ == list(ALL_NAMES)


def test_all_starts_with_the_moving_averages():
    # Holds from the first two callables on, whatever has landed after them.
    assert molvenar.__all__[:2] == ["indicator_sma", "indicator_ema"]
    assert len(set(molvenar.__all__)) == len(molvenar.__all__)


@pytest.mark.needs_macd
@pytest.mark.needs_atr
def test_nothing_else_is_published():
    public = {k for k in vars(molvenar) if not k.startswith("__")}
    assert public == set(ALL_NAMES)


def test_no_panic_exception_attribute():
    assert not hasattr(molvenar, "PanicException")


@callable_params
def test_callable_shape(name):
    func = require_callable(name)
    params = SIGNATURES[name]
    assert isinstance(func, types.BuiltinFunctionType)
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__doc__ is None
    assert func.__self__ is molvenar
    assert func.__module__ == "molvenar"
    assert func.__text_signature__ == "(" + ", ".join(params) + ")"
    sig = inspect.signature(func)
    assert tuple(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty


def test_reimport_gives_the_same_module():
    names_before = list(molvenar.__all__)
    all_before = molvenar.__all__
    sma_before = molvenar.indicator_sma
    del sys.modules["molvenar"]
    try:
        again = importlib.import_module("molvenar")
    finally:
        fresh = sys.modules.get("molvenar")
        sys.modules["molvenar"] = molvenar
    assert again is molvenar
    assert fresh is molvenar
    assert molvenar.__all__ is all_before
    assert molvenar.__all__ == names_before
    assert molvenar.indicator_sma is sma_before


def test_reimport_in_fresh_process_keeps_all_without_duplicates():
    result = run_python(
        """
        import importlib, sys
        import molvenar
        first = molvenar
        for _ in range(3):
            del sys.modules["molvenar"]
            again = importlib.import_module("molvenar")
            assert again is first
        print(repr(first.__all__))
        """
    )
    assert result.returncode == 0, result.stderr
    listed = eval(result.stdout.strip())
    assert listed == molvenar.__all__
    assert len(set(listed)) == len(listed)


# ---------------------------------------------------------------------------
# One interpreter per process.

def _import_error_line(stderr):
    """The message of the ImportError that a sub-interpreter printed."""
    found = re.findall(r"^ImportError: (.*)$", stderr, re.MULTILINE)
    assert found, f"no ImportError printed; stderr was:\n{stderr}"
    return found[-1]


def _assert_refusal_message(message):
    assert message.startswith(SUBINTERP_PREFIX), message
    assert len(message) > len(SUBINTERP_PREFIX)


def test_subinterpreter_after_main_is_refused():
    pytest.importorskip("_testcapi")
    result = run_python(
        """
        import importlib, sys
        import _testcapi
        import numpy as np
        import molvenar
        rc = _testcapi.run_in_subinterp("import molvenar")
        print("RC", rc, flush=True)
        # The main interpreter keeps its module and a working callable.
        del sys.modules["molvenar"]
        again = importlib.import_module("molvenar")
        print("SAME", again is molvenar, flush=True)
        out = np.zeros(3)
        molvenar.indicator_sma(1, np.array([1.0, 2.0, 3.0]), out)
        print("OUT", out.tolist(), flush=True)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines == ["RC -1", "SAME True", "OUT [1.0, 2.0, 3.0]"]
    _assert_refusal_message(_import_error_line(result.stderr))


_SUBINTERP_OWNS_BY_IMPORT = "import molvenar"

_SUBINTERP_OWNS_BY_INIT_CALL = """
import ctypes
init = ctypes.PyDLL({path!r}).PyInit_molvenar
init.restype = ctypes.py_object
init.argtypes = []
module = init()
assert module.__name__ == "molvenar", module
"""


@pytest.mark.parametrize(
    "how",
    [
        pytest.param(
            "import",
            marks=pytest.mark.skipif(
                sys.version_info >= (3, 13),
                reason="from 3.13 on the main interpreter runs a single-phase "
                "init before a sub-interpreter may import it",
            ),
        ),
        "init_call",
    ],
)
def test_subinterpreter_first_becomes_owner(how):
    pytest.importorskip("_testcapi")
    found = importlib.util.find_spec("molvenar")
    assert found is not None and found.origin
    if how == "import":
        sub_code = _SUBINTERP_OWNS_BY_IMPORT
    else:
        sub_code = _SUBINTERP_OWNS_BY_INIT_CALL.format(path=found.origin)
    result = run_python(
        f"""
        import sys
        import _testcapi
        assert "molvenar" not in sys.modules
        rc = _testcapi.run_in_subinterp({sub_code!r})
        print("RC", rc, flush=True)
        try:
            import molvenar
        except ImportError as exc:
            print("MAIN-REFUSED", type(exc) is ImportError, flush=True)
            print("ARGS", repr(exc.args), flush=True)
        else:
            print("MAIN-IMPORTED", flush=True)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "RC 0", result.stderr
    assert lines[1] == "MAIN-REFUSED True", result.stdout + result.stderr
    args = eval(lines[2][len("ARGS ") :])
    assert len(args) == 1
    _assert_refusal_message(args[0])


# ---------------------------------------------------------------------------
# The shared object itself.


def _shared_object_path():
    path = importlib.util.find_spec("molvenar").origin
    assert path and path.endswith(".so"), path
    return path


def _defined_dynamic_symbols(path):
    if shutil.which("nm"):
        out = subprocess.run(
            ["nm", "-D", "--defined-only", path],
            capture_output=True, text=True, check=True,
        ).stdout
        names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    elif shutil.which("readelf"):
        out = subprocess.run(
            ["readelf", "--dyn-syms", "-W", path],
            capture_output=True, text=True, check=True,
        ).stdout
        names = []
        for line in out.splitlines():
            fields = line.split()
            # Num: Value Size Type Bind Vis Ndx Name
            if len(fields) >= 8 and fields[0].rstrip(":").isdigit():
                if fields[6] != "UND":
                    names.append(fields[7])
    else:
        pytest.skip("neither nm nor readelf is available")
    return sorted(name.split("@")[0] for name in names)


def test_exports_only_the_init_symbol():
    assert _defined_dynamic_symbols(_shared_object_path()) == ["PyInit_molvenar"]


def test_links_neither_python_nor_numpy():
    if not shutil.which("readelf"):
        pytest.skip("readelf is not available")
    out = subprocess.run(
        ["readelf", "-d", "-W", _shared_object_path()],
        capture_output=True, text=True, check=True,
    ).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
    for lib in needed:
        lowered = lib.lower()
        assert "python" not in lowered, lib
        assert "numpy" not in lowered and "multiarray" not in lowered, lib
