"""Property: whatever the arguments, a call either returns None, with every
output position that no other output shares equal to the plain reference bit
for bit and no other byte changed, or raises TypeError, ValueError,
OverflowError or RuntimeError with every byte as it was. Never a crash.

The arguments are views of two shared byte pools at any offset, stride,
length, dtype and dimension count, read-only or not, of ndarray subclasses
(one whose len() lies, one whose len() raises, one whose len() makes it
read-only), outputs aliasing inputs or one another, lists and None, periods
of every kind, positional and keyword mixes. A model of the checks predicts
which exception, and with which message, each call must raise.
"""

import functools
import operator
import struct

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import molvenar
import references as ref
from conftest import Index

WORD_BITS = struct.calcsize("P") * 8
POOL_BYTES = 2048
PARAMETERS = {
    "sma": ("period", "data", "output"),
    "ema": ("period", "data", "output"),
    "macd": ("fast_period", "slow_period", "signal_period", "data", "macd_output", "signal_output",
             "hist_output"),
    "atr": ("period", "high", "low", "close", "output"),
}


# --- periods ---------------------------------------------------------------------


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error("no index")


def weighted(*choices):
    """One of the strategies, each chosen `weight` times in (sum of weights)."""
    return st.sampled_from([s for s, weight in choices for _ in range(weight)]).flatmap(lambda s: s)


periods = weighted(
    (st.integers(0, 14), 40),
    (st.sampled_from([2**31, 2**32, 2**63, 2**64 - 1, 2**64, 2**100, -1, -(2**70), True, False]), 2),
    (st.integers(-2, 14).map(Index), 2),
    (st.integers(0, 14).map(np.int64), 1),
    (st.sampled_from([ValueError, TypeError, OverflowError]).map(RaisingIndex), 1),
    (st.sampled_from([2.0, 2.5, "3", None, [3]]), 1),
)


def convert_period(value):
    """(the period, None) or (None, the exception type the call raises)."""
    if isinstance(value, RaisingIndex):
        return None, value.error
    try:
        number = operator.index(value)
    except TypeError:
        return None, TypeError
    if number < 0 or number >= 2**WORD_BITS:
        return None, OverflowError
    return number, None


# --- arrays ------------------------------------------------------------------------


class Sub(np.ndarray):
    pass


class LyingLen(np.ndarray):
    def __len__(self):
        return self.size + 1


class RaisingLen(np.ndarray):
    def __len__(self):
        raise RuntimeError("no length")


class FreezingLen(np.ndarray):
    """len() makes the array read-only: the call sees it change."""

    def __len__(self):
        self.flags.writeable = False
        return self.size


KINDS = {"plain": None, "sub": Sub, "lying": LyingLen, "raising": RaisingLen, "freezing": FreezingLen}



offsets = weighted((st.integers(0, 40), 1), (st.integers(0, 1800), 3))  # dense overlaps, or spread out


def wild_arrays(n):
    """Any layout: refused more often than not."""
    return st.fixed_dictionaries({
        "pool": st.integers(0, 1),
        "offset": offsets,
        "count": st.one_of(st.just(n), st.integers(0, 12)),
        "step": st.sampled_from([8, 16, -8, 0, 12, 9]),
        "dtype": st.sampled_from(["<f8", ">f8", "<f4", "<i8", "<c16"]),
        "ndim": st.sampled_from([1, 0, 2]),
        "readonly": st.booleans(),
        "kind": st.sampled_from(list(KINDS)),
    })


def good_arrays(n):
    """One-dimensional float64 of the call's length, at any alignment."""
    return st.fixed_dictionaries({
        "pool": st.integers(0, 1),
        "offset": offsets,
        "count": st.just(n),
        "step": st.just(8),
        "dtype": st.just("<f8"),
        "ndim": st.just(1),
        "readonly": st.just(False),
        "kind": st.sampled_from(["plain"] * 20 + list(KINDS)),
    })


@functools.cache
def arguments(n):
    return weighted(
        (good_arrays(n), 40),
        (wild_arrays(n), 2),
        (st.integers(0, 6).map(lambda i: ("same", i)), 3),
        (st.sampled_from([("list",), ("none",)]), 1),
    )


def make_array(plan, pools):
    dtype = np.dtype(plan["dtype"])
    count, step = plan["count"], plan["step"]
    reach = (count - 1) * step if count else 0
    start = plan["offset"] - min(reach, 0)
    if plan["ndim"] == 0:
        array = np.ndarray((), dtype, buffer=pools[plan["pool"]], offset=start)
    else:
        array = np.ndarray((count,), dtype, buffer=pools[plan["pool"]], offset=start, strides=(step,))
        if plan["ndim"] == 2:
            array = array[np.newaxis, :]
    if plan["readonly"]:
        array.flags.writeable = False
    kind = KINDS[plan["kind"]]
    return array if kind is None else array.view(kind)


def make_argument(plan, pools, earlier):
    if isinstance(plan, dict):
        return make_array(plan, pools)
    if plan[0] == "same":
        arrays = [a for a in earlier if isinstance(a, np.ndarray)]
        return arrays[plan[1] % len(arrays)] if arrays else None
    return [1.0, 2.0] if plan[0] == "list" else None


def make_pools(seed, extremes):
    rng = np.random.default_rng(seed)
    pools = []
    for _ in range(2):
        values = 100.0 + rng.normal(size=POOL_BYTES // 8).cumsum()
        for position, value in extremes:
            values[position] = value
        pools.append(values.view(np.uint8).copy())
    return pools


# --- the model of the checks ------------------------------------------------------


def accepted(x):
    return isinstance(x, np.ndarray) and x.ndim == 1 and x.dtype == np.float64


def contiguous(x):
    return x.shape[0] < 2 or x.strides[0] == 8


def byte_range(x):
    start = x.__array_interface__["data"][0]
    return start, start + 8 * x.shape[0]


def overlap(a, b):
    (a0, a1), (b0, b1) = byte_range(a), byte_range(b)
    return a0 < a1 and b0 < b1 and a0 < b1 and b0 < a1


def expected_refusal(name, values):
    """(exception type, message or None), or None when the call must succeed."""
    names = PARAMETERS[name]
    arrays = {}
    for parameter, value in zip(names, values):
        if parameter.endswith("period"):
            period, error = convert_period(value)
            if error:
                return error, None
            arrays[parameter] = period
        elif not accepted(value):
            return TypeError, f"argument '{parameter}': '{type(value).__qualname__}' object cannot be converted to 'PyArray<T, D>'"
        else:
            arrays[parameter] = value
    writeable = {id(a): a.flags.writeable for a in arrays.values() if isinstance(a, np.ndarray)}
    return {"sma": single_series_checks, "ema": single_series_checks, "macd": macd_checks,
            "atr": atr_checks}[name](arrays, writeable)


def first(checks):
    for failed, error in checks:
        if failed():
            return error
    return None


def single_series_checks(a, writeable):
    data, out = a["data"], a["output"]
    return first([
        (lambda: not contiguous(data), (ValueError, "Input array must be C-contiguous and float64")),
        (lambda: not contiguous(out), (ValueError, "Output array must be C-contiguous and float64")),
        (lambda: data.shape[0] != out.shape[0], (ValueError, "Output array length must match input")),
        (lambda: not writeable[id(out)], (ValueError, "Output array must be writeable")),
        (lambda: overlap(data, out), (ValueError, "Output array must not overlap the input array")),
    ])


MACD_OUTPUTS = (("macd_output", "MACD"), ("signal_output", "Signal"), ("hist_output", "Histogram"))


def macd_checks(a, writeable):
    if 0 in (a["fast_period"], a["slow_period"], a["signal_period"]):
        return ValueError, "Periods must be greater than 0"
    if a["fast_period"] >= a["slow_period"]:
        return ValueError, "Fast period must be less than slow period"
    data, outs = a["data"], [a[p] for p, _ in MACD_OUTPUTS]
    lengths, frozen = [], set()
    for out in outs:  # what len() does, FreezingLen's change included
        if isinstance(out, RaisingLen):
            return RuntimeError, "no length"
        if isinstance(out, FreezingLen) and writeable[id(out)]:
            frozen.add(id(out))
        lengths.append(out.size + 1 if isinstance(out, LyingLen) else out.shape[0])
    n = data.shape[0]
    checks = [(lambda: any(length != n or out.shape[0] != n for length, out in zip(lengths, outs)),
               (ValueError, "All output arrays must have the same length as input data")),
              (lambda: not contiguous(data), (ValueError, "Input array must be C-contiguous"))]
    checks += [(lambda o=o: not contiguous(o), (ValueError, f"{label} output array must be C-contiguous"))
               for o, (_, label) in zip(outs, MACD_OUTPUTS)]
    checks += [(lambda o=o: not writeable[id(o)], (ValueError, f"{label} output array must be writeable"))
               for o, (_, label) in zip(outs, MACD_OUTPUTS)]
    checks += [(lambda o=o: overlap(data, o), (ValueError, f"{label} output array must not overlap the input array"))
               for o, (_, label) in zip(outs, MACD_OUTPUTS)]
    checks.append((lambda: id(data) in frozen, (RuntimeError, "Input array changed during the call")))
    checks += [(lambda o=o: id(o) in frozen, (RuntimeError, f"{label} output array changed during the call"))
               for o, (_, label) in zip(outs, MACD_OUTPUTS)]
    return first(checks)


def atr_checks(a, writeable):
    period, out = a["period"], a["output"]
    inputs = [(a[p], p.capitalize()) for p in ("high", "low", "close")]
    n = inputs[0][0].shape[0]
    checks = [(lambda x=x: not contiguous(x), (ValueError, f"{label} array must be C-contiguous and float64"))
              for x, label in inputs]
    checks += [
        (lambda: any(x.shape[0] != n for x, _ in inputs), (ValueError, "All arrays must have the same length")),
        (lambda: not contiguous(out), (ValueError, "Output array must be C-contiguous and float64")),
        (lambda: 1 <= period < n and out.shape[0] < n,
         (ValueError, "Output array must be at least as long as the input arrays")),
        (lambda: not writeable[id(out)], (ValueError, "Output array must be writeable")),
    ]
    checks += [(lambda x=x: overlap(x, out), (ValueError, f"Output array must not overlap the {label.lower()} array"))
               for x, label in inputs]
    return first(checks)


# --- what a successful call must have written -------------------------------------


def reference_outputs(name, values):
    """[(output array, expected list)] from the plain references."""
    p = dict(zip(PARAMETERS[name], values))
    floats = {k: np.array(v).tolist() for k, v in p.items() if isinstance(v, np.ndarray)}
    if name in ("sma", "ema"):
        reference = getattr(ref, name)(operator.index(p["period"]), floats["data"])
        return [(p["output"], reference)]
    if name == "macd":
        periods = [operator.index(p[k]) for k in PARAMETERS["macd"][:3]]
        expected = ref.macd(*periods, floats["data"])
        return [(p[k], e) for (k, _), e in zip(MACD_OUTPUTS, expected)]
    expected = ref.atr(operator.index(p["period"]), floats["high"], floats["low"], floats["close"],
                       output_length=p["output"].shape[0])
    return [(p["output"], expected)]


def check_written(outputs, pools, before):
    """Outputs equal their references where no other output shares the
    position; every byte outside the outputs is unchanged."""
    written = [np.zeros(POOL_BYTES, bool) for _ in pools]
    pool_starts = [p.__array_interface__["data"][0] for p in pools]
    for index, (out, expected) in enumerate(outputs):
        start, end = byte_range(out)
        if start == end:
            continue
        pool = next(i for i, s in enumerate(pool_starts) if s <= start < s + POOL_BYTES)
        written[pool][start - pool_starts[pool]:end - pool_starts[pool]] = True
        others = [byte_range(o) for j, (o, _) in enumerate(outputs) if j != index and o is not out]
        others += [(0, 2**64)] if any(o is out for j, (o, _) in enumerate(outputs) if j != index) else []
        keep = [i for i in range(out.shape[0])
                if not any(s < start + 8 * i + 8 and start + 8 * i < e for s, e in others)]
        if keep:
            ref.assert_same_bits(np.asarray(out)[keep], [expected[i] for i in keep])
    for pool, old, mask in zip(pools, before, written):
        assert np.array_equal(pool[~mask], old[~mask])


# --- the property --------------------------------------------------------------------


@st.composite
def calls(draw):
    name = draw(st.sampled_from(["sma", "ema", "macd", "atr"]))
    names = PARAMETERS[name]
    n = draw(st.integers(0, 12))
    plans = [draw(periods) if p.endswith("period") else draw(arguments(n)) for p in names]
    if name == "macd" and draw(st.integers(0, 3)):  # mostly periods that pass the checks
        fast = draw(st.integers(1, 6))
        plans[:3] = [fast, draw(st.integers(fast + 1, 14)), draw(st.integers(1, 8))]
    positional = draw(st.integers(0, len(names)))
    keyword_order = draw(st.permutations(names[positional:]))
    seed = draw(st.integers(0, 2**32 - 1))
    extremes = draw(st.lists(st.tuples(st.integers(0, POOL_BYTES // 8 - 1),
                                       st.sampled_from([np.nan, np.inf, -np.inf, -0.0, 1e308, 5e-324])),
                             max_size=4))
    return name, plans, positional, keyword_order, seed, extremes


@settings(max_examples=1500, derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(calls())
def test_any_call_succeeds_exactly_or_refuses_without_writing(call):
    name, plans, positional, keyword_order, seed, extremes = call
    pools = make_pools(seed, extremes)
    values = []
    for parameter, plan in zip(PARAMETERS[name], plans):
        values.append(plan if parameter.endswith("period") else make_argument(plan, pools, values))
    before = [p.copy() for p in pools]
    expected = expected_refusal(name, values)
    outputs = reference_outputs(name, values) if expected is None else None
    by_name = dict(zip(PARAMETERS[name], values))
    args = values[:positional]
    kwargs = {k: by_name[k] for k in keyword_order}
    event(f"{name}: {'returns' if expected is None else expected[0].__name__}")

    try:
        result = getattr(molvenar, f"indicator_{name}")(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, RuntimeError) as exc:
        assert expected is not None, f"refused a valid call: {exc!r}"
        assert type(exc) is expected[0], exc
        if expected[1] is not None:
            assert exc.args == (expected[1],)
        for pool, old in zip(pools, before):
            assert np.array_equal(pool, old)
        return
    assert expected is None, f"accepted a call that must raise {expected}"
    assert result is None
    check_written(outputs, pools, before)
