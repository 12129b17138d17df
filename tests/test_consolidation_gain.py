"""consolidation_gain: exact double results in the documented operation order."""
import math

import numpy as np
import pytest
from hypothesis import given, strategies as st

import quorvex_micro as qm

KEYS = ["consolidate", "gain_token_equiv", "cost_keep", "cost_consolidate", "break_even_calls"]
INF = math.inf


def bits(x):
    return float(x).hex()


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((10000, 4000), {}, (False, -3700.0, 8000.0, 11700.0, 17.249999999999996)),
        ((10000, 4000), {"calls_ahead": 40}, (True, 9100.0, 40000.0, 30900.0, 17.249999999999996)),
        ((1000, 5000), {}, (True, 800.0, 800.0, 0.0, 0.0)),
        ((1000, 0), {}, (False, -1150.0, 800.0, 1950.0, INF)),
        ((0, 0), {}, (False, 0.0, 0.0, 0.0, INF)),
    ],
)
def test_documented_figures(args, kwargs, expected):
    result = qm.consolidation_gain(*args, **kwargs)
    assert list(result) == KEYS
    assert result["consolidate"] is expected[0]
    assert [bits(result[k]) for k in KEYS[1:]] == [bits(v) for v in expected[1:]]


def test_break_even_is_not_rounded_to_the_decimal():
    assert qm.consolidation_gain(10000, 4000)["break_even_calls"] != 17.25


def test_write_ratio_at_or_below_read_ratio():
    below = qm.consolidation_gain(1000, 400, cache_write_ratio=0.05)["break_even_calls"]
    equal = qm.consolidation_gain(1000, 400, cache_write_ratio=0.1)["break_even_calls"]
    assert below < 0.0
    assert bits(equal) == bits(0.0)


def test_zero_calls_ahead_counts_as_one():
    assert qm.consolidation_gain(1000, 300, 0) == qm.consolidation_gain(1000, 300, 1)
    one = qm.consolidation_gain(1000, 300, 1)
    assert one["cost_keep"] == 1000 * 0.1 and one["cost_consolidate"] == 1.25 * 700


def test_nan_gain_is_not_a_decision_to_consolidate():
    result = qm.consolidation_gain(1000, 300, cache_read_ratio=math.nan)
    assert math.isnan(result["gain_token_equiv"]) and result["consolidate"] is False


def test_zero_read_ratio_gives_signed_infinity_or_nan():
    assert qm.consolidation_gain(1000, 300, cache_read_ratio=0.0)["break_even_calls"] == INF
    assert qm.consolidation_gain(1000, 300, cache_read_ratio=0.0, cache_write_ratio=-1.0)[
        "break_even_calls"
    ] == -INF
    assert math.isnan(
        qm.consolidation_gain(1000, 1000, cache_read_ratio=0.0)["break_even_calls"]
    )


def test_largest_counts_are_accepted():
    top = 2**64 - 1
    result = qm.consolidation_gain(top, top, 2**32 - 1)
    assert result["cost_consolidate"] == 0.0 and result["break_even_calls"] == 0.0


def model(prefix, purgeable, calls, q, w):
    """The documented arithmetic, written out in IEEE doubles."""
    x = min(purgeable, prefix)
    r, p = np.float64(prefix - x), np.float64(prefix)
    c = np.float64(calls or 1)
    q, w = np.float64(q), np.float64(w)
    with np.errstate(all="ignore"):
        be = INF if x == 0 else ((w - q) * r) / ((p - r) * q)
    keep = (p * c) * q
    cons = ((c - 1.0) * r) * q + (w * r)
    gain = keep - cons
    return [bool(gain > 0.0), gain, keep, cons, be]


ratios = st.floats(allow_nan=False, allow_infinity=False, min_value=-10, max_value=10)


@given(
    st.integers(0, 2**40), st.integers(0, 2**40), st.integers(0, 2**32 - 1), ratios, ratios
)
def test_matches_the_written_out_arithmetic(prefix, purgeable, calls, q, w):
    got = qm.consolidation_gain(prefix, purgeable, calls, q, w)
    with np.errstate(all="ignore"):
        want = model(prefix, purgeable, calls, q, w)
    assert got["consolidate"] is want[0]
    for key, value in zip(KEYS[1:], want[1:]):
        assert got[key] == value or (math.isnan(got[key]) and math.isnan(value))
