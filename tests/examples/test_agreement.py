"""The agreement figures that the README quotes, measured again.

Runs only where TA-Lib's wrapper, bottleneck and pandas are installed (the
examples stage installs them)."""

import pytest

import agreement

pytest.importorskip("talib")
pytest.importorskip("bottleneck")
pytest.importorskip("pandas")

# (indicator, peer): starts (molvenar, peer), positions compared, largest ulps
# the README states. MACD rows count ulps of the closing price.
README_FIGURES = {
    ("SMA(20)", "bottleneck.move_mean"): ((19, 19), 761, 0),
    ("SMA(20)", "talib.SMA"): ((19, 19), 761, 19),
    ("EMA(20)", "talib.EMA"): ((19, 19), 761, 3),
    ("MACD line", "talib.MACD"): ((25, 33), 747, 5),
    ("ATR(14)", "talib.ATR"): ((14, 14), 766, 2),
    ("SMA(20)", "pandas rolling().mean()"): ((19, 19), 761, 10),
    ("EMA(20)", "pandas ewm(), seeded"): ((19, 19), 761, 2),
    ("ATR(14)", "pandas ewm(), seeded"): ((14, 14), 766, 6),
}


@pytest.fixture(scope="module")
def rows():
    found = agreement.agreement_rows(agreement.read_prices(agreement.SAMPLE))
    return {(indicator, peer): row for indicator, peer, row in found}


@pytest.mark.parametrize("pair", README_FIGURES, ids=" vs ".join)
def test_figure_as_the_readme_states(rows, pair):
    starts, compared, max_ulps = README_FIGURES[pair]
    row = rows[pair]
    assert (row["starts"], row["compared"]) == (starts, compared)
    assert row["max_ulps"] <= max_ulps


@pytest.mark.parametrize("output", ["MACD signal", "MACD histogram"])
def test_differently_seeded_signal_catches_up(rows, output):
    """Seeded from the MACD value, not a mean: apart until about index 160."""
    row = rows[output, "talib.MACD"]
    assert row["starts"] == (33, 33)
    assert row["last_over"] <= 160
