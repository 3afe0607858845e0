"""molvenar's four formulas as plain numba loops, for finite input series:
the same operations in the same order, so they should give the same bits."""

import math

import numpy as np


def compile_loops(numba):
    jit = numba.njit(cache=False, fastmath=False, error_model="numpy")

    @jit
    def sma(period, x, out):
        n = x.shape[0]
        out[:] = np.nan
        if period == 0 or period > n:
            return
        total = -0.0
        for i in range(period):
            total += x[i]
        reciprocal = 1.0 / period
        out[period - 1] = reciprocal * total
        for i in range(period, n):
            total += x[i] - x[i - period]
            out[i] = reciprocal * total

    @jit
    def ema(period, x, out):
        n = x.shape[0]
        out[:] = np.nan
        if period == 0 or period > n:
            return
        run, start = 0, -1
        for i in range(n):  # the first run of `period` finite values
            run = run + 1 if math.isfinite(x[i]) else 0
            if run == period:
                start = i - period + 1
                break
        if start < 0:
            return
        total = -0.0
        for i in range(start, start + period):
            total += x[i]
        average = total / period
        out[start + period - 1] = average
        alpha = 2.0 / (period + 1.0)
        beta = 1.0 - alpha
        for i in range(start + period, n):
            if math.isfinite(x[i]):
                average = (average * beta) + (x[i] * alpha)
                out[i] = average

    @jit
    def macd(fast, slow, signal, x, line_out, signal_out, hist_out):
        n = x.shape[0]
        line_out[:] = np.nan
        signal_out[:] = np.nan
        hist_out[:] = np.nan
        if n < slow:
            return
        fast_alpha = 2.0 / (1.0 + fast)
        slow_alpha = 2.0 / (1.0 + slow)
        signal_alpha = 2.0 / (signal + 1.0)
        fast_beta, slow_beta, signal_beta = 1.0 - fast_alpha, 1.0 - slow_alpha, 1.0 - signal_alpha
        fast_average = -0.0
        for k in range(fast):  # seeds: newest first
            fast_average += x[slow - 1 - k]
        fast_average /= fast
        slow_average = -0.0
        for k in range(slow):
            slow_average += x[slow - 1 - k]
        slow_average /= slow
        signal_start = slow + signal - 2
        signal_average = np.nan
        for i in range(slow - 1, n):
            if i >= slow:
                fast_average = (fast_average * fast_beta) + (x[i] * fast_alpha)
                slow_average = (slow_average * slow_beta) + (x[i] * slow_alpha)
            line = fast_average - slow_average
            if i > signal_start:
                signal_average = (signal_average * signal_beta) + (signal_alpha * line)
            elif i == signal_start:
                signal_average = line
            line_out[i] = line
            if i >= signal_start:
                signal_out[i] = signal_average
                hist_out[i] = line - signal_average

    @jit
    def true_range(high, low, previous_close):
        return max(high - low, abs(high - previous_close), abs(low - previous_close))

    @jit
    def atr(period, high, low, close, out):
        n = high.shape[0]
        out[:] = np.nan
        if period == 0 or period >= n:
            return
        total = 0.0
        for i in range(1, period + 1):
            total += true_range(high[i], low[i], close[i - 1])
        average = total / period
        out[period] = average
        reciprocal = 1.0 / period
        for i in range(period + 1, n):
            average = average + ((true_range(high[i], low[i], close[i - 1]) - average) * reciprocal)
            out[i] = average

    return {"sma": sma, "ema": ema, "macd": macd, "atr": atr}
