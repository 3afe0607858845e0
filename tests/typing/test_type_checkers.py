"""The shipped stubs, as a user's type checker and stubtest see them.

Runs mypy --strict and pyright (the basedpyright build, which ships pyright
with its own Node.js on PyPI) over a correct script and over one of common
mistakes, from a scratch folder so that only the installed stubs are seen;
then stubtest compares the stubs with the installed module.
"""

import importlib.metadata
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
BIN = Path(sys.executable).parent

# "# error: tag" marks each line of bad_usage.py that a checker must report.
EXPECTED_ERROR_LINES = {
    number
    for number, line in enumerate((HERE / "bad_usage.py").read_text().splitlines(), start=1)
    if "# error:" in line
}


def reported_lines(output, script):
    """Line numbers of the errors a checker printed for `script`."""
    pattern = re.compile(rf"{re.escape(script)}:(\d+):(?:\d+ - )? ?error:")
    return {int(match.group(1)) for match in pattern.finditer(output)}


def run_mypy(script, cwd):
    pytest.importorskip("mypy")
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", script],
                          cwd=cwd, capture_output=True, text=True)


def run_pyright(script, cwd):
    executable = BIN / "basedpyright"
    if not executable.exists():
        pytest.skip("basedpyright is not installed")
    shutil.copy(HERE / "pyrightconfig.json", cwd)
    return subprocess.run([str(executable), "--pythonpath", sys.executable, script],
                          cwd=cwd, capture_output=True, text=True)


@pytest.fixture
def scratch(tmp_path):
    for name in ("good_usage.py", "bad_usage.py"):
        shutil.copy(HERE / name, tmp_path)
    return tmp_path


@pytest.mark.parametrize("checker", [run_mypy, run_pyright], ids=["mypy", "pyright"])
def test_correct_script_passes(checker, scratch):
    result = checker("good_usage.py", scratch)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("checker", [run_mypy, run_pyright], ids=["mypy", "pyright"])
def test_each_mistake_is_reported(checker, scratch):
    result = checker("bad_usage.py", scratch)
    assert result.returncode != 0
    assert reported_lines(result.stdout, "bad_usage.py") == EXPECTED_ERROR_LINES, result.stdout


def test_stubtest_agrees_with_the_module(tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "molvenar"],
                            cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_ship_in_the_module_wheel():
    files = {str(path) for path in importlib.metadata.files("molvenar")}
    assert "molvenar-stubs/__init__.pyi" in files

