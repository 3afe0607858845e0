"""Technical-analysis indicators over one-dimensional float64 NumPy arrays.

Every callable writes its results in place into output arrays that the caller
allocates (``np.empty(n)`` is enough: every position is written) and returns
``None``. Arrays must be one-dimensional float64 ``numpy.ndarray`` objects
(subclasses accepted, masked arrays not) whose values are 8 bytes apart;
pandas objects, masked arrays, other element types and strided views are
refused. A refused call raises before anything is written. Positions
without a value hold NaN.

Every refusal carries one note (``exc.__notes__``, printed under the message
in a traceback) saying what was expected, what was given and how to fix it;
the exception's type, message and ``args`` are those listed per callable:

- an array that is not a 1-D float64 ndarray: what it is (``a float32 array
  with 2 dimensions``, ``a 'list' object``) and what to pass
  (``np.ascontiguousarray(data, dtype=np.float64)``,
  ``series.to_numpy(dtype=np.float64)``; for an output ``np.empty_like(data)``);
- a masked array: NaN marks a gap, so pass ``data.filled(np.nan)``;
- a period out of range: the argument, its accepted range and the value given;
  a period that is not an integer: its type;
- a strided view: its count and stride, and ``np.ascontiguousarray``;
- lengths that differ: every array's length;
- a read-only output, an output sharing memory with an input (pass
  ``np.empty_like(data)`` or a copy), an array changed during the call or
  held for writing by another module: which array, and what to do;
- argument sorting errors: the callable's signature.

Exceptions raised by the caller's own code (an ``__index__`` or ``__len__``
that raises) pass through unchanged, without a note.
"""

from typing import SupportsIndex

import numpy as np
from numpy.typing import NDArray

__all__ = ["indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr"]

def indicator_sma(period: SupportsIndex, data: NDArray[np.float64], output: NDArray[np.float64]) -> None:
    """Simple moving average of the ``period`` most recent values.

    ``output[i]`` for i >= period - 1 is the mean of ``data[i-period+1 : i+1]``,
    computed as a rolling sum (never re-summed) times ``1.0 / period``.
    Positions 0 .. period - 2 are NaN. Period 0, or a period longer than the
    data, gives an all-NaN output.

    NaN rules: values are not tested. A NaN at position k makes every output
    from max(k, period - 1) on NaN; an infinity gives +-inf while it is in the
    window and NaN after it leaves.

    Raises:
        TypeError: ``period`` is not an integer; ``data`` or ``output`` is not
            a one-dimensional float64 NumPy array (e.g. int64, float32, 2-D,
            a list, a pandas Series or a masked array): use
            ``np.ascontiguousarray(x, dtype=np.float64)`` /
            ``series.to_numpy(dtype=np.float64)`` / ``x.filled(np.nan)``.
        OverflowError: ``period`` is negative or too large.
        ValueError: "Input array must be C-contiguous and float64" or
            "Output array must be C-contiguous and float64" (a strided view:
            copy it with ``np.ascontiguousarray``); "Output array length must
            match input"; "Output array must be writeable"; "Output array must
            not overlap the input array".
        RuntimeError: "Input array changed during the call"; an input held
            for writing by another module.

    Each refusal has a note (``exc.__notes__``): see the module docstring.
    """

def indicator_ema(period: SupportsIndex, data: NDArray[np.float64], output: NDArray[np.float64]) -> None:
    """Exponential moving average with smoothing factor 2 / (period + 1).

    The average is seeded with the mean of the first run of ``period``
    consecutive finite values: if that run starts at s, ``output[s+period-1]``
    is its mean and every position before it is NaN (s is 0 when the data
    begins with ``period`` finite values). From there on each finite value
    updates the average: ``avg = avg * (1 - alpha) + x * alpha``.

    NaN rules: a non-finite value (NaN, +-inf) after the seed is skipped: its
    position is NaN and the average carries over to the next finite value.
    No run of ``period`` finite values, period 0 or a period longer than the
    data: all NaN.

    Raises:
        TypeError: ``period`` is not an integer; ``data`` or ``output`` is not
            a one-dimensional float64 NumPy array, or is a masked array.
        OverflowError: ``period`` is negative or too large.
        ValueError: "Input array must be C-contiguous and float64",
            "Output array must be C-contiguous and float64", "Output array
            length must match input", "Output array must be writeable",
            "Output array must not overlap the input array".
        RuntimeError: "Input array changed during the call"; an input held
            for writing by another module.

    Each refusal has a note (``exc.__notes__``): see the module docstring.
    """

def indicator_macd(
    fast_period: SupportsIndex,
    slow_period: SupportsIndex,
    signal_period: SupportsIndex,
    data: NDArray[np.float64],
    macd_output: NDArray[np.float64],
    signal_output: NDArray[np.float64],
    hist_output: NDArray[np.float64],
) -> None:
    """MACD line (fast EMA - slow EMA), its signal line and the histogram.

    Without gaps the MACD line starts at index ``slow_period - 1``, where the
    fast and slow averages are both seeded from the windows that end there.
    The signal line starts at ``slow_period + signal_period - 2`` with that
    position's MACD value itself (so the histogram is 0 there), not with a
    mean of the first ``signal_period`` MACD values; it then follows the EMA
    update. Histogram = MACD - signal. Earlier positions are NaN. For
    (12, 26, 9): MACD from index 25, signal and histogram from index 33.

    NaN rules: a NaN input is a gap: NaN in all three outputs at its position,
    and the averages continue with the next value as if it did not exist.
    The averages are seeded at the first non-NaN position from
    ``slow_period - 1`` on, from the windows ending there; while the fast
    window holds a NaN, seeding is retried at the next position, but a NaN in
    the slow window alone leaves every output NaN to the end. The signal
    restarts from the current MACD value whenever it is NaN at or after its
    start index. Infinities are values, not gaps.

    Raises:
        TypeError: a period is not an integer; an array argument is not a
            one-dimensional float64 NumPy array, or is a masked array.
        OverflowError: a period is negative or too large.
        ValueError: "Periods must be greater than 0"; "Fast period must be
            less than slow period"; "All output arrays must have the same
            length as input data"; "Input array must be C-contiguous";
            "MACD/Signal/Histogram output array must be C-contiguous";
            "MACD/Signal/Histogram output array must be writeable";
            "MACD/Signal/Histogram output array must not overlap the input
            array".
        RuntimeError: "Input array changed during the call", "MACD/Signal/
            Histogram output array changed during the call"; ``data`` held
            for writing by another module.

    Each refusal has a note (``exc.__notes__``): see the module docstring.
    """

def indicator_atr(
    period: SupportsIndex,
    high: NDArray[np.float64],
    low: NDArray[np.float64],
    close: NDArray[np.float64],
    output: NDArray[np.float64],
) -> None:
    """Average true range with smoothing factor 1 / period.

    The true range of position i >= 1 is the largest of ``high[i] - low[i]``,
    ``|high[i] - close[i-1]|`` and ``|low[i] - close[i-1]|``; position 0 has
    none. The first value, at index ``period`` (not ``period - 1``), is the
    mean of the true ranges of positions 1 .. period; after it
    ``avg = avg + (tr - avg) * (1 / period)``. Positions 0 .. period - 1 are
    NaN. Period 0 or a period >= len(high) gives an all-NaN output.
    ``output`` may be longer than the inputs; its extra positions are NaN.

    NaN rules: a NaN candidate of the true range is passed over; a NaN true
    range (all three candidates NaN) makes the average NaN to the end.

    Raises:
        TypeError: ``period`` is not an integer; an array argument is not a
            one-dimensional float64 NumPy array, or is a masked array.
        OverflowError: ``period`` is negative or too large.
        ValueError: "High/Low/Close array must be C-contiguous and float64";
            "All arrays must have the same length"; "Output array must be
            C-contiguous and float64"; "Output array must be at least as long
            as the input arrays"; "Output array must be writeable"; "Output
            array must not overlap the high/low/close array".
        RuntimeError: "High/Low/Close array changed during the call"; an
            input held for writing by another module.

    Each refusal has a note (``exc.__notes__``): see the module docstring.
    """
