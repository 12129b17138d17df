"""The decay factor of the window and the score of `dehydrate` use our correctly
rounded 2^x: the same keep/purge decision at the threshold on every platform."""
import struct

import numpy as np
import pytest

from quorvex_micro import SYSTEM, USER, ContextApoptosis, dehydrate
from support.exp2_model import exp2


def from_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def next_up(x):
    return from_bits(struct.unpack("<I", struct.pack("<f", x))[0] + 1)


# (age, half_life, score bits): 2^(-float(age) / half_life) rounded once to float.
# The first three are half-lives where glibc's exp2f (2.36, x86-64) is one unit above
# the correctly rounded factor, found by comparing every h = i / 100 up to 1000.
# The others reach inputs whose 2^x lies within 2^-49 (relative) of a rounding
# midpoint, the ones a double evaluation alone cannot round; the factors come from
# MPFR.
CASES = [
    (1, 4.35, 0x3F5A4ABB),
    (1, 43.13, 0x3F7BEB2E),
    (1, 46.67, 0x3F7C39D8),
    (1, 6.433633804321289, 0x3F65DA56),
    (1, 9900.9560546875, 0x3F7FFB69),
    (1, 1550543.625, 0x3F7FFFF8),
    (3, 100.86144256591797, 0x3F7AC6B1),
    (3, 1664.9775390625, 0x3F7FAE34),
]


IDS = [f"age {age}, h {half_life}" for age, half_life, _ in CASES]


@pytest.mark.parametrize("age, half_life, score_bits", CASES, ids=IDS)
def test_a_user_block_at_the_correctly_rounded_score_survives(age, half_life, score_bits):
    score = from_bits(score_bits)
    msgs = [("probe", USER)] + [("", SYSTEM)] * age
    assert dehydrate(msgs, half_life, score)["kept"][0] == "probe"
    assert dehydrate(msgs, half_life, next_up(score))["blocks_purged"] == 1
    if age == 1:  # one cycle of the window multiplies 1.0 by the same factor
        for threshold, purged in ((score, 0), (next_up(score), 1)):
            window = ContextApoptosis(half_life=half_life, safe_threshold=threshold)
            window.insert("user", USER)
            assert window.dehydrate() == purged


@pytest.mark.parametrize("age, half_life, score_bits", CASES[:3], ids=IDS[:3])
def test_the_model_gives_the_pinned_factors(age, half_life, score_bits):
    # The other cases are too close to a midpoint for the model's double.
    assert exp2(np.float32(-age) / np.float32(half_life)) == from_bits(score_bits)
