"""The shared borrow registry, reached the way another extension module does:
through the table in the capsule on NumPy's multiarray module."""

import ctypes
import importlib
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import molvenar

CAPSULE_NAME = "_RUST_NUMPY_BORROW_CHECKING_API"
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"

ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class BorrowTable(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("registry", ctypes.c_void_p),
        ("acquire", ACQUIRE),
        ("acquire_mut", ACQUIRE),
        ("release", RELEASE),
        ("release_mut", RELEASE),
    ]


def multiarray_module():
    major = int(np.__version__.split(".")[0])
    return importlib.import_module("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray")


class Borrows:
    def __init__(self, table):
        self.table = table

    def acquire(self, array):
        return self.table.acquire(self.table.registry, array)

    def acquire_mut(self, array):
        return self.table.acquire_mut(self.table.registry, array)

    def release(self, array):
        self.table.release(self.table.registry, array)

    def release_mut(self, array):
        self.table.release_mut(self.table.registry, array)

    def assert_free(self, array):
        """Nothing holds the array: an exclusive borrow is granted at once."""
        assert self.acquire_mut(array) == 0
        self.release_mut(array)


def open_borrows():
    molvenar.indicator_sma(1, np.zeros(1), np.zeros(1))  # publishes the registry
    capsule = getattr(multiarray_module(), CAPSULE_NAME)
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    table = BorrowTable.from_address(get_pointer(capsule, CAPSULE_NAME.encode()))
    assert table.version == 1
    return Borrows(table)


@pytest.fixture(scope="module")
def borrows():
    return open_borrows()


def test_read_borrows_count_up_and_release_completely(borrows):
    x = np.zeros(8)
    assert borrows.acquire(x) == 0
    assert borrows.acquire(x) == 0
    assert borrows.acquire_mut(x) == -1
    borrows.release(x)
    assert borrows.acquire_mut(x) == -1  # one reader is left
    borrows.release(x)
    borrows.assert_free(x)


def test_exclusive_borrow_excludes_every_other_of_its_key(borrows):
    x = np.zeros(8)
    assert borrows.acquire_mut(x) == 0
    try:
        assert borrows.acquire(x) == -1
        assert borrows.acquire_mut(x) == -1
    finally:
        borrows.release_mut(x)
    borrows.assert_free(x)


@pytest.mark.parametrize("kind", ["acquire", "acquire_mut"])
@pytest.mark.parametrize(
    "second, expected",
    [
        ((4, 4), -1),  # x[4:8] overlaps the held x[2:6]
        ((6, 3), 0),  # x[6:9] starts where x[2:6] ends
        ((4, 0), -1),  # empty, pointer strictly inside x[2:6]
        ((6, 0), 0),  # empty, pointer at the end of x[2:6]
    ],
    ids=["overlapping", "disjoint", "empty-inside", "empty-at-end"],
)
def test_slices_against_a_held_exclusive_slice(borrows, kind, second, expected):
    x = np.zeros(10)
    held = x[2:6]
    assert borrows.acquire_mut(held) == 0
    try:
        start, count = second  # built directly: NumPy moves an empty slice's pointer
        other = np.ndarray((count,), np.float64, buffer=x, offset=8 * start)
        code = getattr(borrows, kind)(other)
        assert code == expected
        if code == 0:
            getattr(borrows, kind.replace("acquire", "release"))(other)
    finally:
        borrows.release_mut(held)
    borrows.assert_free(x)


def test_interleaved_exclusive_views_are_both_granted(borrows):
    x = np.zeros(10)
    even, odd = x[0::2], x[1::2]
    assert borrows.acquire_mut(even) == 0
    assert borrows.acquire_mut(odd) == 0
    borrows.release_mut(odd)
    borrows.release_mut(even)
    borrows.assert_free(x)


def test_not_writeable_is_refused_and_leaves_registry_untouched(borrows):
    x = np.zeros(4)
    view = x.view()
    view.flags.writeable = False
    assert borrows.acquire_mut(view) == -2
    borrows.assert_free(x)


def test_different_bases_never_conflict_even_over_the_same_memory(borrows):
    memory = bytearray(32)
    a, b = np.frombuffer(memory), np.frombuffer(memoryview(memory))
    assert a.base is not b.base
    assert borrows.acquire_mut(a) == 0
    assert borrows.acquire_mut(b) == 0
    borrows.release_mut(b)
    borrows.release_mut(a)


def test_overlapping_broadcast_views_conflict_without_a_divisor(borrows):
    raw = np.zeros(16, np.uint8)
    wide = np.ndarray((3,), np.float64, buffer=raw, offset=0, strides=(0,))
    narrow = np.ndarray((3,), np.uint8, buffer=raw, offset=4, strides=(0,))
    assert borrows.acquire_mut(wide) == 0
    try:
        assert borrows.acquire_mut(narrow) == -1
    finally:
        borrows.release_mut(wide)


@pytest.mark.parametrize("held", [slice(None), slice(3, 5)], ids=["whole", "slice"])
def test_input_held_exclusively_refuses_the_call(borrows, held):
    data = np.arange(10.0)
    output = np.full(10, 7.0)
    assert borrows.acquire_mut(data[held]) == 0
    try:
        with pytest.raises(RuntimeError) as refused:
            molvenar.indicator_sma(2, data, output)
        assert refused.value.args == (ALREADY_BORROWED,)
        assert (output == 7.0).all()
    finally:
        borrows.release_mut(data[held])
    molvenar.indicator_sma(2, data, output)
    assert output[1] == 0.5
    borrows.assert_free(data)


def _calls():
    data, short, out = np.arange(6.0), np.zeros(5), np.zeros(6)
    mid = [np.zeros(6) for _ in range(3)]
    return {
        "sma-ok": (molvenar.indicator_sma, (2, data, out), [data], None),
        "sma-length": (molvenar.indicator_sma, (2, data, short), [data], ValueError),
        "sma-output-list": (molvenar.indicator_sma, (2, data, [0.0] * 6), [data], TypeError),
        "ema-strided-input": (molvenar.indicator_ema, (2, data[::2], short[:3]), [data], ValueError),
        "macd-ok": (molvenar.indicator_macd, (2, 3, 2, data, *mid), [data], None),
        "macd-zero-period": (molvenar.indicator_macd, (0, 3, 2, data, *mid), [data], ValueError),
        "macd-length": (molvenar.indicator_macd, (2, 3, 2, data, short, *mid[1:]), [data], ValueError),
        "atr-same-input-ok": (molvenar.indicator_atr, (2, data, data, data, out), [data], None),
        "atr-output-list": (molvenar.indicator_atr, (2, data, mid[0], mid[1], []), [data, *mid[:2]], TypeError),
    }


@pytest.mark.parametrize("name", list(_calls()))
def test_every_call_gives_its_input_borrows_back(borrows, name):
    function, args, inputs, error = _calls()[name]
    if error is None:
        function(*args)
    else:
        with pytest.raises(error):
            function(*args)
    for array in inputs:
        borrows.assert_free(array)


JOIN_SCRIPT = textwrap.dedent(
    """
    import ctypes, importlib, json, sys
    import numpy as np
    VERSION = int(sys.argv[1])
    major = int(np.__version__.split(".")[0])
    multiarray = importlib.import_module(
        "numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray")
    ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
    RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

    class BorrowTable(ctypes.Structure):
        _fields_ = [("version", ctypes.c_uint64), ("registry", ctypes.c_void_p),
                    ("acquire", ACQUIRE), ("acquire_mut", ACQUIRE),
                    ("release", RELEASE), ("release_mut", RELEASE)]

    calls = []
    def recorder(name, result):
        def record(registry, array):
            calls.append((name, registry, array))
            return result
        return record
    table = BorrowTable(VERSION, 4242,
                        ACQUIRE(recorder("acquire", 0)), ACQUIRE(recorder("acquire_mut", 0)),
                        RELEASE(recorder("release", None)), RELEASE(recorder("release_mut", None)))
    name = b"_RUST_NUMPY_BORROW_CHECKING_API"
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    setattr(multiarray, name.decode(), new_capsule(ctypes.addressof(table), name, None))

    import molvenar
    data, output = np.arange(5.0), np.zeros(5)
    try:
        molvenar.indicator_sma(2, data, output)
        error = None
    except RuntimeError as exc:
        error = str(exc)
    roles = {id(data): "data", id(output): "output"}
    print(json.dumps({"error": error,
                      "calls": [[op, reg, roles.get(id(a), "other")] for op, reg, a in calls]}))
    """
)


def run_with_foreign_table(version):
    done = subprocess.run(
        [sys.executable, "-c", JOIN_SCRIPT, str(version)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("version", [1, 2])
def test_joins_an_existing_capsule(version):
    result = run_with_foreign_table(version)
    assert result["error"] is None
    assert result["calls"] == [["acquire", 4242, "data"], ["release", 4242, "data"]]


def test_version_zero_table_is_refused():
    result = run_with_foreign_table(0)
    assert result["calls"] == []
    assert result["error"].startswith("Interal borrow checking API error: ")
    assert "Version 0 of borrow checking API is not supported by this version of rust-numpy" in result["error"]


def test_release_of_an_unregistered_borrow_is_a_fault():
    script = textwrap.dedent(
        """
        import sys
        sys.path.insert(0, sys.argv[1])
        import numpy as np
        import test_borrow_registry as registry
        registry.open_borrows().release(np.zeros(3))
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script, os.path.dirname(__file__)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode != 0
    assert "called `Option::unwrap()` on a `None` value" in done.stderr


# ---------------------------------------------------------------------------
# The table and the keys at the machine word.

WORD_BYTES = ctypes.sizeof(ctypes.c_void_p)
# version, registry, acquire, acquire_mut, release, release_mut
TABLE_OFFSETS = {4: (0, 8, 12, 16, 20, 24), 8: (0, 8, 16, 24, 32, 40)}


def test_table_fields_lie_at_the_word_offsets(borrows):
    # Read at fixed byte offsets, not through a ctypes.Structure: these are
    # the numbers other modules were compiled against.
    base = ctypes.addressof(borrows.table)
    version_at, registry_at, *function_offsets = TABLE_OFFSETS[WORD_BYTES]
    assert ctypes.c_uint64.from_address(base + version_at).value == 1
    registry = ctypes.c_void_p.from_address(base + registry_at).value
    acquire, acquire_mut, release, release_mut = (
        kind(ctypes.c_void_p.from_address(base + at).value)
        for kind, at in zip((ACQUIRE, ACQUIRE, RELEASE, RELEASE), function_offsets)
    )
    x = np.zeros(4)
    assert acquire(registry, x) == 0
    assert acquire_mut(registry, x) == -1  # a reader holds it
    release(registry, x)
    assert acquire_mut(registry, x) == 0
    assert acquire(registry, x) == -1
    release_mut(registry, x)
    borrows.assert_free(x)


def test_key_ranges_wrap_at_the_word(borrows):
    # `far` reaches (5 - 1) * 2**30 = 2**32 bytes past its start (no element
    # is ever read): the whole space up to p + 2**32 + 8 with a 64-bit word,
    # but [p, p + 8) once the product wraps to 0 in a 32-bit word. The 0-d
    # `point` at p + 32 (same base object) then lies inside or outside it.
    grid = np.lib.stride_tricks.as_strided(np.zeros(8), shape=(2, 5), strides=(32, 2**30))
    far, point = grid[0], grid[1, 0, ...]
    assert borrows.acquire_mut(far) == 0
    try:
        code = borrows.acquire_mut(point)
        assert code == {4: 0, 8: -1}[WORD_BYTES]
        if code == 0:
            borrows.release_mut(point)
    finally:
        borrows.release_mut(far)
    borrows.assert_free(far)
