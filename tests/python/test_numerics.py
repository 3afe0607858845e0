"""Bit-exact results of the four indicators, against fixed examples and against
the plain-Python references on seeded random series."""

import math
import random

import numpy as np
import pytest

import molvenar
import references as ref
from references import FILL as F, assert_same_bits

N = float("nan")  # a NaN that arithmetic produces: any sign and payload is fine
INF = float("inf")
MAX_WORD = ref.WORD - 1
SENTINEL_BITS = 0xDEADBEEFCAFEF00D


def _sentinel(n):
    return np.full(n, SENTINEL_BITS, dtype=np.uint64).view(np.float64)


def run_sma(period, data):
    out = _sentinel(len(data))
    assert molvenar.indicator_sma(period, np.array(data, dtype=np.float64), out) is None
    return out


def run_ema(period, data):
    out = _sentinel(len(data))
    assert molvenar.indicator_ema(period, np.array(data, dtype=np.float64), out) is None
    return out


def run_macd(fast, slow, signal, data):
    outs = [_sentinel(len(data)) for _ in range(3)]
    result = molvenar.indicator_macd(
        fast, slow, signal, np.array(data, dtype=np.float64), *outs
    )
    assert result is None
    return outs


def run_atr(period, high, low, close):
    out = _sentinel(len(high))
    arrays = [np.array(a, dtype=np.float64) for a in (high, low, close)]
    assert molvenar.indicator_atr(period, *arrays, out) is None
    return out


def assert_reference_agrees(got, want):
    """The references themselves must reproduce every published example."""
    assert len(got) == len(want)
    for i, (g, w) in enumerate(zip(got, want)):
        if w is F:
            assert g is F, (i, got, want)
        elif math.isnan(w):
            assert g is not F and math.isnan(g), (i, got, want)
        else:
            assert g is not F and ref.bits(g) == ref.bits(w), (i, got, want)


# --- simple moving average -------------------------------------------------

SMA_EXAMPLES = [
    (3, [], []),
    (0, [], []),
    (0, [1.0, 2.0, 3.0], [F, F, F]),
    (4, [1.0, 2.0, 3.0], [F, F, F]),
    (MAX_WORD, [1.0, 2.0, 3.0], [F, F, F]),
    (3, [1.0, 2.0, 4.5], [F, F, 2.5]),
    (2, [1.0, 2.0, 3.0, 4.0, 5.0], [F, 1.5, 2.5, 3.5, 4.5]),
    (3, [1.0, 2.0, 2.0], [F, F, 1.6666666666666665]),
    (1, [1e16, 1.0], [1e16, 0.0]),
    (2, [1.0, N, 3.0, 4.0], [F, N, N, N]),
    (2, [1.0, INF, 3.0, 4.0, 5.0], [F, INF, INF, N, N]),
    (2, [-0.0, -0.0, -0.0], [F, -0.0, 0.0]),
]


@pytest.mark.parametrize("period, data, want", SMA_EXAMPLES)
def test_sma_examples(period, data, want):
    assert_reference_agrees(ref.sma(period, data), want)
    assert_same_bits(run_sma(period, data), want)


# --- exponential moving average --------------------------------------------

EMA_EXAMPLES = [
    (2, [], []),
    (0, [1.0, 2.0], [F, F]),
    (3, [1.0, 2.0], [F, F]),
    (MAX_WORD, [1.0, 2.0], [F, F]),
    (3, [1.0, 2.0, 4.5], [F, F, 2.5]),
    (3, [1.0, INF, 4.5], [F, F, F]),
    (3, [1.0, 2.0, 3.0, 4.0, N, 6.0], [F, F, 2.0, 3.0, F, 4.5]),
    (2, [1.0, N, 3.0, 4.0, 5.0], [F, F, F, 3.5, 4.5]),
    (3, [1.0, 2.0, N, 4.0, 5.0, 6.0, N, 8.0], [F, F, F, F, F, 5.0, F, 6.5]),
    (2, [1.0, INF, 3.0, 4.0, INF, 5.0], [F, F, F, 3.5, F, 4.5]),
    (2, [1.0, -INF, 3.0, 4.0, -INF, 5.0], [F, F, F, 3.5, F, 4.5]),
    (3, [1.0, 2.0, 2.0], [F, F, 1.6666666666666667]),
    (2, [1.0, 1.0, 3.0], [F, 1.0, 2.3333333333333335]),
    (2, [1.0, 3.0, 1.0], [F, 2.0, 1.3333333333333335]),
    (1, [N, 5.0, 6.0], [F, 5.0, 6.0]),
    (1, [-0.0, 2.0, -0.0], [-0.0, 2.0, 0.0]),
]


@pytest.mark.parametrize("period, data, want", EMA_EXAMPLES)
def test_ema_examples(period, data, want):
    assert_reference_agrees(ref.ema(period, data), want)
    assert_same_bits(run_ema(period, data), want)


# --- MACD -------------------------------------------------------------------

POWERS = [1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 64.0]

MACD_EXAMPLES = [
    pytest.param(
        (2, 3, 2), POWERS,
        [F, F, 0.6666666666666665, 1.166666666666666, 2.194444444444443,
         4.300925925925924, 8.551697530864196],
        [F, F, F, 1.166666666666666, 1.8518518518518507, 3.484567901234566,
         6.8626543209876525],
        [F, F, F, 0.0, 0.3425925925925921, 0.816358024691358, 1.6890432098765435],
        id="powers",
    ),
    pytest.param(
        (2, 3, 2), [1.0, 2.0, 4.0, 8.0, N, 32.0, 64.0, 128.0],
        [F, F, 0.6666666666666665, 1.166666666666666, F, 4.861111111111111,
         9.189814814814817, 17.514660493827165],
        [F, F, F, 1.166666666666666, F, 3.6296296296296293, 7.336419753086421,
         14.121913580246918],
        [F, F, F, 0.0, F, 1.2314814814814814, 1.8533950617283956, 3.392746913580247],
        id="gap-skipped",
    ),
    pytest.param(
        (2, 3, 2), [N, 2.0, 4.0, 8.0, 16.0, 32.0, 64.0, 128.0],
        [F, F, N, N, N, N, N, N],
        [F, F, F, N, N, N, N, N],
        [F] * 8,
        id="nan-in-slow-window-only",
    ),
    pytest.param(
        (2, 3, 2), [1.0, 2.0, N, 8.0, 16.0, 32.0, 64.0, 128.0],
        [F, F, F, N, N, N, N, N],
        [F, F, F, N, N, N, N, N],
        [F] * 8,
        id="failed-seed-then-fast-only",
    ),
    pytest.param(
        (1, 3, 1), [1e16, 1.0, 1.0],
        [F, F, -3333333333333333.0],
        [F, F, -3333333333333333.0],
        [F, F, 0.0],
        id="newest-first-seed-sum",
    ),
    pytest.param(
        (2, 3, 1), POWERS,
        [F, F, 0.6666666666666665, 1.166666666666666, 2.194444444444443,
         4.300925925925924, 8.551697530864196],
        [F, F, 0.6666666666666665, 1.166666666666666, 2.194444444444443,
         4.300925925925924, 8.551697530864196],
        [F, F, 0.0, 0.0, 0.0, 0.0, 0.0],
        id="signal-period-1",
    ),
    pytest.param((2, 3, 2), [], [], [], [], id="empty"),
    pytest.param((2, 5, 2), [1.0, 2.0, 3.0, 4.0], [F] * 4, [F] * 4, [F] * 4,
                 id="shorter-than-slow"),
    pytest.param((2, 3, 2), [1.0, 2.0], [F] * 2, [F] * 2, [F] * 2,
                 id="slow-minus-one-values"),
]


@pytest.mark.parametrize("periods, data, want_macd, want_signal, want_hist",
                         MACD_EXAMPLES)
def test_macd_examples(periods, data, want_macd, want_signal, want_hist):
    for got, want in zip(ref.macd(*periods, data), (want_macd, want_signal, want_hist)):
        assert_reference_agrees(got, want)
    macd, signal, hist = run_macd(*periods, data)
    assert_same_bits(macd, want_macd, "macd")
    assert_same_bits(signal, want_signal, "signal")
    assert_same_bits(hist, want_hist, "hist")


def test_macd_fast_period_one_tracks_input():
    data = [3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0]
    macd, _, _ = run_macd(1, 3, 2, data)
    want, _, _ = ref.macd(1, 3, 2, data)
    assert_same_bits(macd, want)
    # With a fast factor of 1 the fast average is the input itself.
    slow_seed = (((-0.0 + 4.0) + 1.0) + 3.0) / 3.0
    assert ref.bits(macd[2]) == ref.bits(4.0 - slow_seed)


@pytest.mark.parametrize(
    "slow, signal",
    [
        (3, 8),  # one past the series
        (3, 1000),
        (3, MAX_WORD),  # slow + signal - 2 would wrap to 0 in a word
        (4, MAX_WORD),  # ... to 1
        (4, MAX_WORD - 1),  # ... to 0
        (2, MAX_WORD),  # exactly the largest word, no wrap
    ],
)
def test_macd_signal_beyond_series(slow, signal):
    data = [1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 64.0]
    macd, sig, hist = run_macd(1, slow, signal, data)
    want_macd, want_sig, want_hist = ref.macd(1, slow, signal, data)
    assert want_sig == [F] * len(data) and want_hist == [F] * len(data)
    assert_same_bits(macd, want_macd, "macd")
    assert not np.isnan(macd[slow - 1:]).any()
    assert_same_bits(sig, want_sig, "signal")
    assert_same_bits(hist, want_hist, "hist")


def test_macd_huge_slow_period_gives_all_nan():
    macd, sig, hist = run_macd(MAX_WORD - 1, MAX_WORD, MAX_WORD, [1.0, 2.0, 3.0])
    for out in (macd, sig, hist):
        assert_same_bits(out, [F, F, F])


# --- average true range -----------------------------------------------------

HIGH = [10.0, 11.0, 12.0, 11.0, 13.0]
LOW = [9.0, 9.5, 10.0, 10.0, 11.0]
CLOSE = [9.5, 10.5, 11.5, 10.5, 12.5]


def _with(series, index, value):
    changed = list(series)
    changed[index] = value
    return changed


ATR_EXAMPLES = [
    pytest.param(2, HIGH, LOW, CLOSE, [F, F, 1.75, 1.625, 2.0625], id="period-2"),
    pytest.param(1, HIGH, LOW, CLOSE, [F, 1.5, 2.0, 1.5, 2.5], id="period-1"),
    pytest.param(4, HIGH, LOW, CLOSE, [F, F, F, F, 1.875], id="period-n-1"),
    pytest.param(0, HIGH, LOW, CLOSE, [F] * 5, id="period-0"),
    pytest.param(5, HIGH, LOW, CLOSE, [F] * 5, id="period-n"),
    pytest.param(6, HIGH, LOW, CLOSE, [F] * 5, id="period-n+1"),
    pytest.param(MAX_WORD, HIGH, LOW, CLOSE, [F] * 5, id="period-max"),
    pytest.param(5, [10.25] * 6 + [12.0], [10.0] * 7, [10.125] * 7,
                 [F] * 5 + [0.25, 0.6000000000000001], id="reciprocal-smoothing"),
    pytest.param(2, _with(HIGH, 1, N), LOW, CLOSE, [F, F, 1.0, 1.25, 1.875],
                 id="nan-high"),
    pytest.param(2, _with(HIGH, 3, N), _with(LOW, 3, N), CLOSE,
                 [F, F, 1.75, N, N], id="nan-high-and-low"),
    pytest.param(2, _with(HIGH, 0, N), _with(LOW, 0, N), CLOSE,
                 [F, F, 1.75, 1.625, 2.0625], id="position-0-unread"),
    pytest.param(2, HIGH, LOW, _with(CLOSE, 4, N),
                 [F, F, 1.75, 1.625, 2.0625], id="last-close-unread"),
    pytest.param(1, _with(HIGH, 2, INF), LOW, CLOSE, [F, 1.5, INF, N, N],
                 id="infinite-high"),
    pytest.param(1, [0.0, -0.0, -0.0], [0.0] * 3, [0.0] * 3, [F, 0.0, 0.0],
                 id="sum-starts-positive-zero"),
    pytest.param(1, [5.0], [4.0], [4.5], [F], id="one-position"),
    pytest.param(0, [5.0], [4.0], [4.5], [F], id="one-position-period-0"),
    pytest.param(3, [], [], [], [], id="empty"),
]


@pytest.mark.parametrize("period, high, low, close, want", ATR_EXAMPLES)
def test_atr_examples(period, high, low, close, want):
    assert_reference_agrees(ref.atr(period, high, low, close), want)
    assert_same_bits(run_atr(period, high, low, close), want)


@pytest.mark.parametrize(
    "h, l, pc, want",
    [
        (5.0, 3.0, 4.0, 2.0),  # a wins
        (5.0, 4.0, 2.0, 3.0),  # b wins
        (3.0, 1.0, 6.0, 5.0),  # c wins
        (N, 3.0, 4.0, 1.0),  # NaN high: c
        (5.0, 3.0, N, 2.0),  # NaN previous close: a
        (5.0, N, 1.0, 4.0),  # NaN low: b
    ],
)
def test_atr_true_range_candidates(h, l, pc, want):
    assert ref.true_range(h, l, pc) == want
    out = run_atr(1, [0.0, h], [0.0, l], [pc, 0.0])
    assert_same_bits(out, [F, want])


# --- seeded random series ---------------------------------------------------

SPECIALS = [N, INF, -INF, -0.0, 0.0, 1e16, -1e16, 5e-324, 1e300]


def random_series(rng, n, special_rate):
    """Values of mixed magnitude, so that any change of summation order shows."""
    out = []
    for _ in range(n):
        if rng.random() < special_rate:
            out.append(rng.choice(SPECIALS))
        else:
            scale = 10.0 ** rng.randint(-3, 12)
            value = rng.uniform(-1.0, 1.0) * scale
            out.append(round(value, 2) if rng.random() < 0.3 else value)
    return out


def gappy_series(rng, n, gap_rate):
    """Mostly ordinary prices with scattered NaN: exercises restarts and seeds."""
    return [N if rng.random() < gap_rate else rng.uniform(50.0, 150.0) for _ in range(n)]


def period_choices(rng, n):
    picks = {0, 1, 2, n - 1, n, n + 1, MAX_WORD, rng.randint(1, max(1, n))}
    return sorted(p for p in picks if p >= 0)


SEEDS = range(12)
PROFILES = [("clean", 0.0), ("sparse", 0.01), ("dense", 0.2)]


def _lengths(rng):
    return [0, 1, 2, rng.randint(3, 40), rng.randint(100, 400)]


@pytest.mark.parametrize("profile, rate", PROFILES, ids=[p[0] for p in PROFILES])
@pytest.mark.parametrize("seed", SEEDS)
def test_sma_ema_random(seed, profile, rate):
    rng = random.Random(1000 + seed)
    for n in _lengths(rng):
        data = random_series(rng, n, rate)
        for period in period_choices(rng, n):
            label = f"n={n} period={period}"
            assert_same_bits(run_sma(period, data), ref.sma(period, data), "sma " + label)
            assert_same_bits(run_ema(period, data), ref.ema(period, data), "ema " + label)


@pytest.mark.parametrize("period", [1, 3, 10, 57])
@pytest.mark.parametrize("extra", [62, 63, 64, 65, 71, 72, 73, 940])
def test_sma_block_path_matches_plain_loop(period, extra):
    """n - period around 63 and beyond: blocked positions and the tail."""
    rng = random.Random(period * 1000 + extra)
    data = random_series(rng, period + extra, 0.0)
    assert_same_bits(run_sma(period, data), ref.sma(period, data))


def test_sma_block_path_with_infinity_leaving_window():
    rng = random.Random(7)
    data = random_series(rng, 1000, 0.0)
    data[500] = INF
    want = ref.sma(10, data)
    got = run_sma(10, data)
    assert_same_bits(got, want)
    assert np.isinf(got[500:510]).all() and np.isnan(got[510:]).all()


@pytest.mark.parametrize("gap_rate", [0.0, 0.02, 0.1, 0.4])
@pytest.mark.parametrize("seed", SEEDS)
def test_ema_gaps_random(seed, gap_rate):
    rng = random.Random(2000 + seed)
    n = rng.randint(20, 300)
    data = gappy_series(rng, n, gap_rate)
    for period in (1, 2, 3, rng.randint(4, 30)):
        assert_same_bits(run_ema(period, data), ref.ema(period, data), f"period={period}")


def macd_periods(rng, n):
    fast = rng.choice([1, 1, 2, 3, rng.randint(1, 20)])
    slow = fast + rng.choice([1, 1, 2, rng.randint(1, 30)])
    signal = rng.choice([1, 2, 3, 9, rng.randint(1, 40), max(n, 1), n + 5, MAX_WORD])
    return fast, slow, signal


@pytest.mark.parametrize("kind", ["clean", "gaps", "specials"])
@pytest.mark.parametrize("seed", SEEDS)
def test_macd_random(seed, kind):
    rng = random.Random(3000 + seed)
    for _ in range(6):
        n = rng.choice([0, 1, 2, 5, rng.randint(6, 60), rng.randint(100, 400)])
        if kind == "clean":
            data = random_series(rng, n, 0.0)
        elif kind == "gaps":
            data = gappy_series(rng, n, rng.choice([0.01, 0.05, 0.3]))
        else:
            data = random_series(rng, n, 0.05)
        periods = macd_periods(rng, n)
        want = ref.macd(*periods, data)
        got = run_macd(*periods, data)
        for name, g, w in zip(("macd", "signal", "hist"), got, want):
            assert_same_bits(g, w, f"{name} n={n} periods={periods}")


def random_prices(rng, n, special_rate):
    """(high, low, close) with ties, signed zeros and the odd special value."""
    if rng.random() < 0.3:
        pool = [-0.0, 0.0, 0.5, 1.0, 2.0]
        pick = lambda: rng.choice(pool)
    else:
        pick = lambda: rng.uniform(-50.0, 200.0) * 10.0 ** rng.randint(-2, 6)

    def value():
        return rng.choice(SPECIALS) if rng.random() < special_rate else pick()

    return tuple([value() for _ in range(n)] for _ in range(3))


@pytest.mark.parametrize("profile, rate", PROFILES, ids=[p[0] for p in PROFILES])
@pytest.mark.parametrize("seed", SEEDS)
def test_atr_random(seed, profile, rate):
    rng = random.Random(4000 + seed)
    for n in _lengths(rng):
        high, low, close = random_prices(rng, n, rate)
        for period in period_choices(rng, n):
            assert_same_bits(
                run_atr(period, high, low, close),
                ref.atr(period, high, low, close),
                f"n={n} period={period}",
            )
