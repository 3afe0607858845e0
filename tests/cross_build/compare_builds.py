"""Compares the output bits of two builds of molvenar (32-bit x86 and x86_64)
over the same few thousand calls of all four indicators.

    compare_builds.py generate CASES.npz
    compare_builds.py run CASES.npz RESULTS.npz       (with the build to test)
    compare_builds.py compare CASES.npz A.npz B.npz

`generate` draws the inputs once, so that both builds read the same bits;
`run` calls the installed module on every case in a process with the
platform's default floating-point settings (it changes none); `compare` checks
every output value.

The rule: every output value has the same 64 bits in both builds. The one
allowance is a NaN produced by arithmetic, whose sign and payload IEEE 754
leaves to the platform (which operand's NaN an addition passes on, say): where
both builds hold a NaN at a position that arithmetic computes, the two NaNs may
differ. The fill NaN 0x7FF8000000000000, which marks the positions without a
value, is exact: at those positions both builds must hold exactly it. Which
positions those are comes from the plain-Python references of the test suite
(tests/python/references.py), run here on the x86_64 host, where Python's float
arithmetic rounds once to binary64.
"""

import math
import os
import random
import sys
import time

import numpy as np

FILL_BITS = 0x7FF8000000000000
KINDS = ("sma", "ema", "macd", "atr")
OUTPUTS = {"sma": 1, "ema": 1, "macd": 3, "atr": 1}
INPUTS = {"sma": 1, "ema": 1, "macd": 1, "atr": 3}
CALLS_PER_KIND = 1000
LARGEST_32_BIT_PERIOD = 2**32 - 1  # the same meaning in both builds

# NaNs and infinities dropped into the series: the fill pattern, a negative
# quiet NaN, quiet and signalling NaNs with payloads, both infinities.
GAPS = [float(np.uint64(bits).view(np.float64)) for bits in
        (FILL_BITS, 0xFFF8000000000000, 0x7FF800000000BEEF, 0x7FF0000000000001,
         0xFFF4000000000123, 0x7FF0000000000000, 0xFFF0000000000000)]


# --- inputs ------------------------------------------------------------------

def price_walk(rng, n):
    level = 10.0 ** rng.uniform(-3.0, 6.0)
    values = []
    for _ in range(n):
        level *= 1.0 + rng.gauss(0.0, 0.02)
        values.append(level)
    return values


def any_magnitude(rng, n):
    # Every binade from the subnormals to the largest, either sign.
    return [rng.choice((-1.0, 1.0)) * math.ldexp(rng.uniform(1.0, 2.0), rng.randint(-1075, 1023))
            for _ in range(n)]


def near_overflow(rng, n):
    # Sums and updates that overflow, or stay just below the largest double.
    top = sys.float_info.max
    return [rng.choice((-1.0, 1.0, 1.0)) * top * rng.uniform(0.25, 1.0) for _ in range(n)]


def subnormal(rng, n):
    # Subnormal values and small normals whose products fall below 2**-1022.
    return [rng.choice((-1.0, 1.0)) * math.ldexp(rng.uniform(0.0, 2.0), rng.randint(-1074, -1000))
            for _ in range(n)]


def near_2_pow_52(rng, n):
    # Neighbours one ulp apart around 2**52, where the ulp changes from 0.5 to
    # 1: sums and means land on ties, which a wider intermediate rounds twice.
    base = 2.0**52
    return [base + rng.randint(-8, 8) * rng.choice((0.5, 1.0)) for _ in range(n)]


FAMILIES = (price_walk, any_magnitude, near_overflow, subnormal, near_2_pow_52)


def series(rng, n):
    family = rng.choice(FAMILIES)
    values = family(rng, n)
    if rng.random() < 0.5:  # gaps
        for _ in range(rng.randint(1, max(1, n // 8))):
            if n:
                values[rng.randrange(n)] = rng.choice(GAPS)
    return values


def price_bars(rng, n):
    """high, low, close: bars around a series, or three unrelated series."""
    close = series(rng, n)
    if rng.random() < 0.3:
        return series(rng, n), series(rng, n), close
    spread = [abs(c) * rng.uniform(0.0, 0.05) if math.isfinite(c) else c for c in close]
    high = [c + s for c, s in zip(close, spread)]
    low = [c - s * rng.uniform(0.0, 2.0) for c, s in zip(close, spread)]
    return high, low, close


def period(rng, n):
    return rng.choice([0, 1, 1, 2, 2, 3, 5, 9, 14, 26, rng.randint(1, 60), n, n + 1,
                       max(n - 1, 0), LARGEST_32_BIT_PERIOD])


def macd_periods(rng, n):
    fast = rng.choice([1, 2, 3, 5, 12, rng.randint(1, 30)])
    slow = fast + rng.choice([1, 1, 2, 5, 14, rng.randint(1, 40)])
    if rng.random() < 0.05:
        slow = LARGEST_32_BIT_PERIOD
    signal = rng.choice([1, 2, 3, 9, rng.randint(1, 40), max(n, 1), LARGEST_32_BIT_PERIOD])
    return [fast, slow, signal]


def generate(path):
    rng = random.Random(20240607)
    kinds, periods, starts, lengths, values = [], [], [], [], []
    for kind in KINDS:
        for _ in range(CALLS_PER_KIND):
            n = rng.choice([0, 1, 2, 3, rng.randint(4, 40), rng.randint(40, 400)])
            if kind == "macd":
                p = macd_periods(rng, n)
            else:
                p = [period(rng, n), 0, 0]
            inputs = price_bars(rng, n) if kind == "atr" else [series(rng, n)]
            kinds.append(KINDS.index(kind))
            periods.append(p)
            starts.append(len(values))
            lengths.append(n)
            for s in inputs:
                values.extend(s)
    np.savez(path, kinds=np.array(kinds, np.int64), periods=np.array(periods, np.uint64),
             starts=np.array(starts, np.int64), lengths=np.array(lengths, np.int64),
             values=np.array(values, np.float64))
    print(f"{len(kinds)} calls, {len(values)} input values -> {path}")


# --- one build ----------------------------------------------------------------

def load(path):
    with np.load(path) as archive:
        return {name: archive[name] for name in archive.files}


def calls(cases):
    for kind, p, start, n in zip(cases["kinds"], cases["periods"], cases["starts"],
                                 cases["lengths"]):
        kind = KINDS[int(kind)]
        used = p[:3] if kind == "macd" else p[:1]
        inputs = [cases["values"][start + k * n:start + (k + 1) * n] for k in range(INPUTS[kind])]
        yield kind, [int(x) for x in used], inputs, int(n)


def run(cases_path, results_path):
    import molvenar

    cases = load(cases_path)
    chunks = []
    started = time.process_time()
    for kind, periods, inputs, n in calls(cases):
        outs = [np.empty(n) for _ in range(OUTPUTS[kind])]
        getattr(molvenar, "indicator_" + kind)(*periods, *[np.array(s) for s in inputs], *outs)
        chunks.extend(outs)
    outputs = np.concatenate(chunks) if chunks else np.empty(0)
    np.savez(results_path, outputs=outputs, word_bits=8 * np.dtype(np.intp).itemsize)
    print(f"{len(cases['kinds'])} calls, {len(outputs)} output values in "
          f"{time.process_time() - started:.2f}s -> {results_path}")


# --- both builds -----------------------------------------------------------------

def fill_positions(cases):
    """True where the kernels write the fill NaN, from the references."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
    import references

    masks = []
    for kind, periods, inputs, _ in calls(cases):
        want = getattr(references, kind)(*periods, *[s.tolist() for s in inputs])
        for values in (want if kind == "macd" else [want]):
            masks.append(np.array([v is references.FILL for v in values], dtype=bool))
    return np.concatenate(masks) if masks else np.zeros(0, dtype=bool)


def compare(cases_path, first_path, second_path):
    cases = load(cases_path)
    first, second = load(first_path), load(second_path)
    a, b = first["outputs"], second["outputs"]
    print(f"builds: {int(first['word_bits'])}-bit and {int(second['word_bits'])}-bit words")
    if a.shape != b.shape:
        print(f"FAILED: {a.shape[0]} and {b.shape[0]} output values")
        return 1
    a_bits, b_bits = a.view(np.uint64), b.view(np.uint64)
    fill = fill_positions(cases)
    assert fill.shape == a.shape
    payload_only = (a_bits != b_bits) & np.isnan(a) & np.isnan(b) & ~fill
    wrong = ((a_bits != b_bits) & ~payload_only) | (fill & ((a_bits != FILL_BITS) | (b_bits != FILL_BITS)))

    # Which call each output value belongs to, for the report.
    owners, positions, names = [], [], []
    for index, (kind, periods, _, n) in enumerate(calls(cases)):
        for out in range(OUTPUTS[kind]):
            owners.extend([index] * n)
            positions.extend(range(n))
            names.extend([f"{kind}{periods} output {out}"] * n)
    owners = np.array(owners, np.int64)
    for kind_index, kind in enumerate(KINDS):
        mine = np.isin(owners, np.flatnonzero(cases["kinds"] == kind_index))
        print(f"  {kind:5s} {int((cases['kinds'] == kind_index).sum()):5d} calls "
              f"{int(mine.sum()):8d} values  {int((wrong & mine).sum())} differ")
    print(f"  values: {int(np.isfinite(a).sum())} finite, {int(np.isinf(a).sum())} infinite, "
          f"{int(fill.sum())} fill NaN, {int((np.isnan(a) & ~fill).sum())} NaN from arithmetic")
    print(f"  NaNs from arithmetic differing in sign or payload only: {int(payload_only.sum())}")
    if wrong.any():
        bad_calls = np.unique(owners[wrong])
        print(f"FAILED: {int(wrong.sum())} output values in {len(bad_calls)} calls differ")
        for i in np.flatnonzero(wrong)[:10]:
            where = "fill" if fill[i] else "value"
            print(f"  call {owners[i]} {names[i]}[{positions[i]}] ({where}): "
                  f"0x{int(a_bits[i]):016X} vs 0x{int(b_bits[i]):016X}")
        return 1
    print(f"identical: all {len(a)} output values of {len(cases['kinds'])} calls")
    return 0


def main(argv):
    commands = {"generate": (generate, 1), "run": (run, 2), "compare": (compare, 3)}
    if len(argv) < 2 or argv[1] not in commands or len(argv) - 2 != commands[argv[1]][1]:
        print(__doc__, file=sys.stderr)
        return 2
    function, _ = commands[argv[1]]
    return function(*argv[2:]) or 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
