"""Contiguous float64 arrays that are not aligned to 8 bytes are read and
written like aligned ones. The offsets are odd: NumPy on 32-bit x86 may count
a 4-byte boundary as aligned for float64, an odd one never."""

import random

import numpy as np
import pytest

import molvenar
from conftest import same_bits

N = 300


def unaligned_copy(values, offset):
    raw = np.zeros(8 * len(values) + 8, dtype=np.uint8)
    array = np.ndarray((len(values),), np.float64, buffer=raw, offset=offset)
    array[:] = values
    assert not array.flags.aligned and array.flags.c_contiguous
    return array


def walk():
    rng = random.Random(77)
    values = [50.0]
    for _ in range(N - 1):
        values.append(values[-1] + rng.gauss(0.0, 1.0))
    values[40] = float("nan")  # a gap, so the skipping paths run too
    return np.array(values)


CALLS = {
    "sma": (molvenar.indicator_sma, (9,), 1, 1),
    "ema": (molvenar.indicator_ema, (9,), 1, 1),
    "macd": (molvenar.indicator_macd, (5, 13, 4), 1, 3),
    "atr": (molvenar.indicator_atr, (9,), 3, 1),
}


@pytest.mark.parametrize("name", list(CALLS))
@pytest.mark.parametrize("in_offset, out_offset", [(1, 3), (3, 0), (0, 5), (7, 7)])
def test_unaligned_arrays_give_the_aligned_bits(name, in_offset, out_offset):
    func, periods, inputs, outputs = CALLS[name]
    data = walk()
    series = [data + k for k in range(inputs)]  # high, low, close differ for ATR
    aligned = [np.empty(N) for _ in range(outputs)]
    func(*periods, *series, *aligned)

    def place(values, offset):
        return unaligned_copy(values, offset) if offset else np.array(values)

    moved = [place(s, in_offset) for s in series]
    outs = [place(np.zeros(N), out_offset) for _ in range(outputs)]
    func(*periods, *moved, *outs)
    for want, got in zip(aligned, outs):
        assert same_bits(got, want)
