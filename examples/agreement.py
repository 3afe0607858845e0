"""How molvenar's results compare with TA-Lib, bottleneck and pandas.

    python examples/agreement.py [--prices CSV]

Computes SMA(20), EMA(20), MACD(12, 26, 9) and ATR(14) over the shipped daily
sample with molvenar and with the peers that are installed (TA-Lib's Python
wrapper `ta-lib`, `bottleneck`, `pandas`; each is optional), and prints, per
pair: where each side's first value is, how many positions both have a value,
the largest difference in units in the last place (ulps) and in absolute
terms, and at how many positions (the last one in brackets) they differ by
more than 8 ulps: a differently seeded average differs until it has caught
up, a rolling sum kept in another order drifts by a few ulps anywhere.

An ulp difference of d means the two doubles are d representable values
apart. The MACD outputs are small differences of averages of the price, so
their own ulps are tiny steps; their rows count ulps of the closing price,
the scale of the averages they come from.
"""

import argparse
import importlib
import importlib.metadata
from pathlib import Path

import numpy as np

import molvenar

SAMPLE = Path(__file__).resolve().parent / "data" / "mlvx_daily.csv"
PERIOD = 20
MACD_PERIODS = (12, 26, 9)
ATR_PERIOD = 14
CLOSE_ULPS = 8  # more than this is counted in the last column


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def read_prices(path):
    data = np.genfromtxt(path, delimiter=",", names=True, dtype=None, encoding="utf-8")
    return {name: np.ascontiguousarray(data[name], dtype=np.float64) for name in ("high", "low", "close")}


def ordered(values):
    """Maps doubles to integers in the same order, one step per representable value."""
    bits = values.view(np.int64)
    return np.where(bits < 0, np.int64(-(2**63)) - bits, bits)


def first_value(values):
    found = np.flatnonzero(~np.isnan(values))
    return int(found[0]) if found.size else None


def compare(ours, theirs, scale=None):
    """The figures of one pair, over the positions where both have a value.

    Differences are counted in ulps of the values themselves, or, given a
    `scale`, in ulps of the scale at each position.
    """
    both = ~np.isnan(ours) & ~np.isnan(theirs)
    difference = np.abs(ours - theirs)
    if scale is None:
        ulps = np.abs(ordered(ours) - ordered(theirs)).astype(np.float64)
    else:
        ulps = difference / np.spacing(np.abs(scale))
    outside = np.flatnonzero(both & (ulps > CLOSE_ULPS))
    return {
        "starts": (first_value(ours), first_value(theirs)),
        "compared": int(both.sum()),
        "max_ulps": float(ulps[both].max()),
        "max_abs": float(difference[both].max()),
        "over": int(outside.size),
        "last_over": int(outside[-1]) if outside.size else None,
    }


def molvenar_results(prices):
    high, low, close = prices["high"], prices["low"], prices["close"]
    n = close.size
    out = {name: np.empty(n) for name in ("sma", "ema", "macd", "signal", "hist", "atr")}
    molvenar.indicator_sma(PERIOD, close, out["sma"])
    molvenar.indicator_ema(PERIOD, close, out["ema"])
    molvenar.indicator_macd(*MACD_PERIODS, close, out["macd"], out["signal"], out["hist"])
    molvenar.indicator_atr(ATR_PERIOD, high, low, close, out["atr"])
    return out


def pandas_results(pd, prices):
    """What a pandas user writes; the EMA and ATR are seeded as molvenar seeds them."""
    close = pd.Series(prices["close"])
    # EMA: a NaN warm-up and the mean of the first window as the first value;
    # ewm(adjust=False) then starts from it.
    seeded = pd.Series(np.nan, index=close.index)
    seeded.iloc[PERIOD - 1] = close.iloc[:PERIOD].mean()
    seeded.iloc[PERIOD:] = close.iloc[PERIOD:]
    # ATR: true ranges from position 1, the first value at index ATR_PERIOD.
    previous = close.shift(1)
    high, low = pd.Series(prices["high"]), pd.Series(prices["low"])
    true_range = pd.concat([high - low, (high - previous).abs(), (low - previous).abs()], axis=1).max(axis=1)
    true_range.iloc[0] = np.nan
    wilder = pd.Series(np.nan, index=close.index)
    wilder.iloc[ATR_PERIOD] = true_range.iloc[1:ATR_PERIOD + 1].mean()
    wilder.iloc[ATR_PERIOD + 1:] = true_range.iloc[ATR_PERIOD + 1:]
    return {
        "sma": close.rolling(PERIOD).mean().to_numpy(),
        "ema": seeded.ewm(span=PERIOD, adjust=False).mean().to_numpy(),
        "atr": wilder.ewm(alpha=1.0 / ATR_PERIOD, adjust=False).mean().to_numpy(),
    }


def agreement_rows(prices):
    """(indicator, peer, figures) for every installed peer."""
    ours = molvenar_results(prices)
    high, low, close = prices["high"], prices["low"], prices["close"]
    rows = []
    talib, bottleneck, pd = optional("talib"), optional("bottleneck"), optional("pandas")
    if bottleneck is not None:
        rows.append(("SMA(20)", "bottleneck.move_mean", compare(ours["sma"], bottleneck.move_mean(close, PERIOD))))
    if talib is not None:
        rows.append(("SMA(20)", "talib.SMA", compare(ours["sma"], talib.SMA(close, PERIOD))))
        rows.append(("EMA(20)", "talib.EMA", compare(ours["ema"], talib.EMA(close, PERIOD))))
        line, signal, hist = talib.MACD(close, *MACD_PERIODS)
        rows.append(("MACD line", "talib.MACD", compare(ours["macd"], line, scale=close)))
        rows.append(("MACD signal", "talib.MACD", compare(ours["signal"], signal, scale=close)))
        rows.append(("MACD histogram", "talib.MACD", compare(ours["hist"], hist, scale=close)))
        rows.append(("ATR(14)", "talib.ATR", compare(ours["atr"], talib.ATR(high, low, close, ATR_PERIOD))))
    if pd is not None:
        theirs = pandas_results(pd, prices)
        rows.append(("SMA(20)", "pandas rolling().mean()", compare(ours["sma"], theirs["sma"])))
        rows.append(("EMA(20)", "pandas ewm(), seeded", compare(ours["ema"], theirs["ema"])))
        rows.append(("ATR(14)", "pandas ewm(), seeded", compare(ours["atr"], theirs["atr"])))
    return rows


def crossovers(hist):
    """Positions where the histogram changes sign (MACD crosses its signal)."""
    signs = np.sign(hist)
    valid = ~np.isnan(signs[1:]) & ~np.isnan(signs[:-1]) & (signs[1:] != 0) & (signs[:-1] != 0)
    return [int(i) + 1 for i in np.flatnonzero(valid & (signs[1:] != signs[:-1]))]


def versions():
    found = [f"molvenar {importlib.metadata.version('molvenar')}"]
    for module, label in (("talib", "ta-lib"), ("bottleneck", "bottleneck"), ("pandas", "pandas")):
        loaded = optional(module)
        found.append(f"{label} {loaded.__version__}" if loaded else f"{label}: not installed")
    return ", ".join(found)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prices", type=Path, default=SAMPLE)
    args = parser.parse_args()
    prices = read_prices(args.prices)

    print(f"{prices['close'].size} days of {args.prices.name}; {versions()}\n")
    print(f"{'indicator':<15}{'peer':<24}{'starts':>7}{'compared':>9}{'max ulps':>10}"
          f"{'max |diff|':>11}  over {CLOSE_ULPS} ulps (last)")
    for indicator, peer, row in agreement_rows(prices):
        starts = "%s/%s" % row["starts"]
        mark = "*" if indicator.startswith("MACD") else " "
        print(f"{indicator:<15}{peer:<24}{starts:>7}{row['compared']:>9}{row['max_ulps']:>9.3g}{mark}"
              f"{row['max_abs']:>11.2e}  {row['over']}" + (f" ({row['last_over']})" if row["over"] else ""))
    print("starts: first index with a value, molvenar/peer.  * ulps of the closing price.")

    talib = optional("talib")
    if talib is not None:
        ours = molvenar_results(prices)["hist"]
        theirs = talib.MACD(prices["close"], *MACD_PERIODS)[2]
        mine, peer = crossovers(ours), crossovers(theirs)
        print(f"\nMACD crossovers (histogram sign changes): molvenar {len(mine)}, TA-Lib {len(peer)}; "
              f"only molvenar: {sorted(set(mine) - set(peer))}, only TA-Lib: {sorted(set(peer) - set(mine))}")


if __name__ == "__main__":
    main()
