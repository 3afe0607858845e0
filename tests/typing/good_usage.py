"""A correct user script: both type checkers must accept it without a note."""

import numpy as np
import numpy.typing as npt

import molvenar


class Window:
    """Any object with __index__ serves as a period."""

    def __index__(self) -> int:
        return 3


def indicators(close: npt.NDArray[np.float64]) -> dict[str, npt.NDArray[np.float64]]:
    high, low = close + 0.5, close - 0.5
    out = {name: np.empty_like(close) for name in ("sma", "ema", "macd", "signal", "hist", "atr")}
    molvenar.indicator_sma(20, close, out["sma"])
    molvenar.indicator_ema(Window(), data=close, output=out["ema"])
    molvenar.indicator_macd(12, 26, 9, close, out["macd"], out["signal"], out["hist"])
    molvenar.indicator_atr(np.int64(14), high, low, close, out["atr"])
    return out


molvenar.indicator_sma(2, np.zeros(4), np.empty(4))
names: list[str] = molvenar.__all__
print(indicators(np.linspace(1.0, 2.0, 50))["sma"][-1], names)
