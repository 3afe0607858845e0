"""Common mistakes; each marked line must be reported by both type checkers."""

import numpy as np

import molvenar

close = np.linspace(1.0, 2.0, 50)
out = np.empty_like(close)

molvenar.indicator_sma(20, close)  # error: missing-output
molvenar.indicator_ema("20", close, out)  # error: str-period
molvenar.indicator_sma(2.5, close, out)  # error: float-period
smoothed = np.nanmean(molvenar.indicator_sma(20, close, out))  # error: uses-none
