"""molvenar demo: the four indicators over the shipped daily price sample.

Reads examples/data/mlvx_daily.csv (synthetic prices, see make_sample.py),
computes SMA(20), EMA(20), MACD(12, 26, 9) and ATR(14), prints the last rows
as a table and draws a chart of all four.

    python examples/demo.py [CHART.png] [--prices CSV] [--rows N]

The chart needs matplotlib (pip install 'molvenar[demo]' or matplotlib);
without it the table is still printed.
"""

import argparse
import csv
import datetime
import math
from pathlib import Path

import numpy as np

import molvenar

REPO = Path(__file__).resolve().parent.parent
DEFAULT_PRICES = REPO / "examples" / "data" / "mlvx_daily.csv"
DEFAULT_CHART = REPO / "demo-output" / "indicators.png"

MA_PERIOD = 20
MACD_PERIODS = (12, 26, 9)
ATR_PERIOD = 14


def read_prices(path):
    """Dates and float64 arrays of open, high, low and close."""
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    dates = [datetime.date.fromisoformat(row["date"]) for row in rows]
    columns = {name: np.array([float(row[name]) for row in rows], dtype=np.float64)
               for name in ("open", "high", "low", "close")}
    return dates, columns


def compute_indicators(prices):
    close = prices["close"]
    n = close.size
    result = {name: np.empty(n, dtype=np.float64)
              for name in ("sma", "ema", "macd", "signal", "hist", "atr")}
    molvenar.indicator_sma(MA_PERIOD, close, result["sma"])
    molvenar.indicator_ema(MA_PERIOD, close, result["ema"])
    molvenar.indicator_macd(*MACD_PERIODS, close, result["macd"], result["signal"], result["hist"])
    molvenar.indicator_atr(ATR_PERIOD, prices["high"], prices["low"], close, result["atr"])
    return result


def format_table(dates, close, indicators, rows):
    columns = ["close", "sma", "ema", "macd", "signal", "hist", "atr"]
    series = {"close": close, **indicators}
    header = f"{'date':<10}" + "".join(f"{name:>10}" for name in columns)
    lines = [header, "-" * len(header)]
    for i in range(max(0, len(dates) - rows), len(dates)):
        cells = "".join("       nan" if math.isnan(series[name][i]) else f"{series[name][i]:10.4f}"
                        for name in columns)
        lines.append(f"{dates[i].isoformat():<10}{cells}")
    return "\n".join(lines)


def draw_chart(dates, close, indicators, path):
    """Writes the chart and returns True, or returns False when matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.patches import Patch
    except ImportError:
        return False

    fig, (price_ax, macd_ax, atr_ax) = plt.subplots(
        3, 1, sharex=True, figsize=(11, 8), gridspec_kw={"height_ratios": [3, 1.4, 1]})
    price_ax.plot(dates, close, color="0.25", linewidth=0.9, label="close")
    price_ax.plot(dates, indicators["sma"], color="tab:blue", linewidth=1.2, label=f"SMA({MA_PERIOD})")
    price_ax.plot(dates, indicators["ema"], color="tab:orange", linewidth=1.2, label=f"EMA({MA_PERIOD})")
    price_ax.set_title("MLVX (synthetic) daily close with moving averages")
    price_ax.set_ylabel("price")
    price_ax.legend(loc="upper left")

    hist = indicators["hist"]
    bar_colors = np.where(hist >= 0, "tab:green", "tab:red")
    macd_ax.bar(dates, np.nan_to_num(hist), width=1.0, color=bar_colors, alpha=0.6)
    macd_ax.plot(dates, indicators["macd"], color="tab:blue", linewidth=1.0, label="MACD")
    macd_ax.plot(dates, indicators["signal"], color="tab:orange", linewidth=1.0, label="signal")
    macd_ax.axhline(0.0, color="0.5", linewidth=0.6)
    macd_ax.set_ylabel("MACD(%d, %d, %d)" % MACD_PERIODS)
    # The bars have two colours, so the legend shows one swatch for each sign
    # (a legend entry of the bars themselves would show the first bar's colour).
    swatches = [Patch(color=color, alpha=0.6, label=label)
                for color, label in (("tab:green", "histogram ≥ 0"), ("tab:red", "histogram < 0"))]
    lines, _ = macd_ax.get_legend_handles_labels()
    macd_ax.legend(handles=lines + swatches, loc="upper left", ncol=4)

    atr_ax.plot(dates, indicators["atr"], color="tab:purple", linewidth=1.0)
    atr_ax.set_ylabel(f"ATR({ATR_PERIOD})")
    atr_ax.set_xlabel("date (trading days)")

    for ax in (price_ax, macd_ax, atr_ax):
        ax.grid(True, color="0.9")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("chart", nargs="?", type=Path, default=DEFAULT_CHART,
                        help=f"PNG to write (default {DEFAULT_CHART.relative_to(REPO)})")
    parser.add_argument("--prices", type=Path, default=DEFAULT_PRICES, help="CSV with date,open,high,low,close")
    parser.add_argument("--rows", type=int, default=10, help="rows of the table (default 10)")
    args = parser.parse_args()

    dates, prices = read_prices(args.prices)
    indicators = compute_indicators(prices)
    print(f"{len(dates)} days from {args.prices}: SMA({MA_PERIOD}), EMA({MA_PERIOD}), "
          f"MACD{MACD_PERIODS}, ATR({ATR_PERIOD})\n")
    print(format_table(dates, prices["close"], indicators, args.rows))
    print()
    if draw_chart(dates, prices["close"], indicators, args.chart):
        print(f"chart written to {args.chart}")
    else:
        print("note: matplotlib is not installed, so no chart was drawn "
              "(pip install matplotlib, or pip install '.[demo]').")


if __name__ == "__main__":
    main()
