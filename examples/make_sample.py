"""Generate the synthetic daily price sample shipped in examples/data/.

The instrument ("MLVX") is fictional. Prices follow a geometric random walk
on business days (Monday to Friday, no holidays): each day opens near the
previous close, moves by a log-normal step to its close, and gets an intraday
range above and below the open/close body. Pure Python `random` with a fixed
seed, so the file is reproducible byte for byte. The file holds a header line
and the rows only, so that any CSV reader takes it as it is; where it comes
from is told in data/mlvx_daily.md beside it.

    python examples/make_sample.py            # rewrites examples/data/mlvx_daily.csv
    python examples/make_sample.py out.csv    # writes elsewhere
"""

import datetime
import math
import random
import sys
from pathlib import Path

SEED = 20240117
START = datetime.date(2021, 1, 4)   # a Monday
END = datetime.date(2023, 12, 29)   # a Friday: three calendar years
FIRST_CLOSE = 84.20
DAILY_DRIFT = 0.0002                # log return per day
DAILY_VOLATILITY = 0.017            # standard deviation of the close-to-close log return
OVERNIGHT_VOLATILITY = 0.004        # open relative to the previous close
INTRADAY_RANGE = 0.008              # scale of the wicks beyond the open/close body

DEFAULT_PATH = Path(__file__).resolve().parent / "data" / "mlvx_daily.csv"


def business_days(start, end):
    day = start
    while day <= end:
        if day.weekday() < 5:
            yield day
        day += datetime.timedelta(days=1)


def price_rows(rng):
    previous_close = FIRST_CLOSE
    for day in business_days(START, END):
        open_ = previous_close * math.exp(rng.gauss(0.0, OVERNIGHT_VOLATILITY))
        close = open_ * math.exp(rng.gauss(DAILY_DRIFT, DAILY_VOLATILITY))
        high = max(open_, close) * math.exp(abs(rng.gauss(0.0, INTRADAY_RANGE)))
        low = min(open_, close) * math.exp(-abs(rng.gauss(0.0, INTRADAY_RANGE)))
        # Round first, then restore the ordering that rounding can break.
        open_, high, low, close = (round(x, 2) for x in (open_, high, low, close))
        high = max(high, open_, close)
        low = min(low, open_, close)
        yield day, open_, high, low, close
        previous_close = close


def write_sample(path):
    rng = random.Random(SEED)
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", newline="") as out:
        out.write("date,open,high,low,close\n")
        count = 0
        for day, open_, high, low, close in price_rows(rng):
            out.write(f"{day.isoformat()},{open_:.2f},{high:.2f},{low:.2f},{close:.2f}\n")
            count += 1
    return count


def main(argv):
    path = Path(argv[1]) if len(argv) > 1 else DEFAULT_PATH
    count = write_sample(path)
    print(f"wrote {count} rows to {path}")


if __name__ == "__main__":
    main(sys.argv)
