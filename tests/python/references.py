"""Plain-Python reference algorithms for the four indicators.

Python floats are IEEE binary64 with one correctly rounded operation per
arithmetic step, so these loops give bit-exact expectations when every step
is written in the same order as the kernels do it.

Each reference returns a list with one entry per output position.  A
position that the kernel fills with the NaN marker holds ``FILL`` (None);
a NaN produced by arithmetic stays a float NaN, whose sign and payload are
not fixed.  ``assert_same_bits`` compares an output array with such a list.
"""

import math
import struct

import numpy as np

FILL = None
NAN_MARKER_BITS = 0x7FF8000000000000
NAN = struct.unpack("<d", struct.pack("<Q", NAN_MARKER_BITS))[0]
# Periods are unsigned machine words (pointer width): 2**32 in a 32-bit build.
WORD = 2 ** (8 * struct.calcsize("P"))


def _is_missing(x):
    return x is FILL or math.isnan(x)


def sma(period, data):
    n = len(data)
    out = [FILL] * n
    if (period - 1) % WORD >= n:
        return out
    total = -0.0
    for i in range(period):
        total = total + data[i]
    reciprocal = 1.0 / float(period)
    out[period - 1] = reciprocal * total
    for i in range(period, n):
        d = data[i] - data[i - period]
        total = total + d
        out[i] = reciprocal * total
    return out


def ema(period, data):
    n = len(data)
    out = [FILL] * n
    if (period - 1) % WORD >= n:
        return out
    start = None
    for s in range(n - period + 1):
        if all(math.isfinite(data[j]) for j in range(s, s + period)):
            start = s
            break
    if start is None:
        return out
    total = -0.0
    for j in range(start, start + period):
        total = total + data[j]
    average = total / float(period)
    out[start + period - 1] = average
    if start + period == n:
        return out
    factor = 2.0 / (float(period) + 1.0)
    complement = 1.0 - factor
    for i in range(start + period, n):
        x = data[i]
        if not math.isfinite(x):
            continue
        average = (average * complement) + (x * factor)
        out[i] = average
    return out


def _newest_first_mean(data, i, period):
    total = -0.0
    for j in range(i, i - period, -1):
        total = total + data[j]
    return total / float(period)


def macd(fast_period, slow_period, signal_period, data):
    """Returns (macd, signal, histogram) lists."""
    n = len(data)
    alpha_f = 2.0 / (1.0 + float(fast_period))
    alpha_s = 2.0 / (1.0 + float(slow_period))
    alpha_g = 2.0 / (float(signal_period) + 1.0)
    beta_f = 1.0 - alpha_f
    beta_s = 1.0 - alpha_s
    beta_g = 1.0 - alpha_g
    # Python ints do not wrap: a huge signal period keeps the start far away.
    signal_start = slow_period + signal_period - 2
    fast = slow = FILL
    signal = FILL
    macd_out = [FILL] * n
    signal_out = [FILL] * n
    hist_out = [FILL] * n
    for i in range(n):
        x = data[i]
        if math.isnan(x) or i < slow_period - 1:
            continue
        if _is_missing(fast):
            fast = _newest_first_mean(data, i, fast_period)
            slow = _newest_first_mean(data, i, slow_period)
        else:
            fast = (fast * beta_f) + (x * alpha_f)
            slow = (slow * beta_s) + (x * alpha_s)
        m = fast - slow
        macd_out[i] = m
        if not _is_missing(signal):
            signal = (signal * beta_g) + (alpha_g * m)
        elif i >= signal_start:
            signal = m
        signal_out[i] = signal
        hist_out[i] = FILL if _is_missing(signal) else m - signal
    return macd_out, signal_out, hist_out


def true_range(h, l, previous_close):
    a = h - l
    b = abs(h - previous_close)
    c = abs(l - previous_close)
    t = b if (math.isnan(a) or b > a) else a
    return c if (math.isnan(t) or c > t) else t


def atr(period, high, low, close, output_length=None):
    n = len(high)
    m = n if output_length is None else output_length
    out = [FILL] * m
    if period == 0 or period >= n:
        return out
    reciprocal = 1.0 / float(period)
    total = 0.0
    for i in range(1, period + 1):
        total = total + true_range(high[i], low[i], close[i - 1])
    average = total / float(period)
    out[period] = average
    for i in range(period + 1, n):
        tr = true_range(high[i], low[i], close[i - 1])
        average = average + ((tr - average) * reciprocal)
        out[i] = average
    return out


def expected_arrays(values):
    """(float64 array with the marker at FILL positions, fill mask)."""
    fill = np.array([v is FILL for v in values], dtype=bool)
    data = np.array([NAN if v is FILL else v for v in values], dtype=np.float64)
    return data, fill


def assert_same_bits(actual, expected, label="output"):
    """Exact bits everywhere, the marker bits at FILL, any NaN for arithmetic NaN."""
    actual = np.ascontiguousarray(actual, dtype=np.float64)
    want, fill = expected_arrays(expected)
    assert actual.shape == want.shape, f"{label}: shape {actual.shape} != {want.shape}"
    got_bits = actual.view(np.uint64)
    want_bits = want.view(np.uint64)
    arithmetic_nan = np.isnan(want) & ~fill
    ok = np.where(arithmetic_nan, np.isnan(actual), got_bits == want_bits)
    if not ok.all():
        i = int(np.flatnonzero(~ok)[0])
        kind = "marker" if fill[i] else ("any NaN" if arithmetic_nan[i] else "exact")
        raise AssertionError(
            f"{label}[{i}] ({kind}): got {actual[i]!r} (0x{int(got_bits[i]):016X}), "
            f"want {want[i]!r} (0x{int(want_bits[i]):016X}); "
            f"{int((~ok).sum())} of {len(ok)} positions differ"
        )


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def _self_check():
    """A few published examples, so a wrong reference is noticed on its own."""
    def same(got, want):
        assert len(got) == len(want), (got, want)
        for g, w in zip(got, want):
            if w is FILL:
                assert g is FILL, (got, want)
            else:
                assert g is not FILL and bits(g) == bits(w), (got, want)

    same(sma(3, [1.0, 2.0, 2.0]), [FILL, FILL, 1.6666666666666665])
    same(sma(1, [1e16, 1.0]), [1e16, 0.0])
    same(sma(2, [-0.0, -0.0, -0.0]), [FILL, -0.0, 0.0])
    same(ema(3, [1.0, 2.0, 2.0]), [FILL, FILL, 1.6666666666666667])
    same(ema(2, [1.0, 1.0, 3.0]), [FILL, 1.0, 2.3333333333333335])
    same(ema(2, [1.0, 3.0, 1.0]), [FILL, 2.0, 1.3333333333333335])
    same(ema(1, [-0.0, 2.0, -0.0]), [-0.0, 2.0, 0.0])
    same(ema(3, [1.0, 2.0, NAN, 4.0, 5.0, 6.0, NAN, 8.0]),
         [FILL] * 5 + [5.0, FILL, 6.5])
    m, s, h = macd(2, 3, 2, [1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 64.0])
    same(m, [FILL, FILL, 0.6666666666666665, 1.166666666666666, 2.194444444444443,
             4.300925925925924, 8.551697530864196])
    same(s, [FILL, FILL, FILL, 1.166666666666666, 1.8518518518518507,
             3.484567901234566, 6.8626543209876525])
    same(h, [FILL, FILL, FILL, 0.0, 0.3425925925925921, 0.816358024691358,
             1.6890432098765435])
    m, s, h = macd(1, 3, 1, [1e16, 1.0, 1.0])
    same(m, [FILL, FILL, -3333333333333333.0])
    same(h, [FILL, FILL, 0.0])
    high = [10.0, 11.0, 12.0, 11.0, 13.0]
    low = [9.0, 9.5, 10.0, 10.0, 11.0]
    close = [9.5, 10.5, 11.5, 10.5, 12.5]
    same(atr(2, high, low, close), [FILL, FILL, 1.75, 1.625, 2.0625])
    same(atr(4, high, low, close), [FILL] * 4 + [1.875])
    same(atr(5, [10.25] * 6 + [12.0], [10.0] * 7, [10.125] * 7),
         [FILL] * 5 + [0.25, 0.6000000000000001])
    same(atr(1, [0.0, -0.0, -0.0], [0.0] * 3, [0.0] * 3), [FILL, 0.0, 0.0])


if __name__ == "__main__":
    _self_check()
    print("references: self-check passed")
