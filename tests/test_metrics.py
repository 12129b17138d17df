"""Tests of the signal-class weights, durability and token estimate, as `dehydrate` shows them."""

import math

import numpy as np
import pytest

from quorvex_micro import ASSISTANT, FACT, SYSTEM, THINKING, TOOL, USER, dehydrate


def survives(flags, threshold):
    # With an infinite half-life nothing decays: the score is the class weight itself.
    return dehydrate([("m", flags)], half_life=math.inf, safe_threshold=threshold)["blocks_kept"] == 1


@pytest.mark.parametrize(
    "flags, weight",
    [
        (0, 0.6),
        (64, 0.6),
        (2**31, 0.6),
        (USER, 1.0),
        (ASSISTANT, 1.0),
        (USER | THINKING, 1.0),
        (ASSISTANT | TOOL, 1.0),
        (THINKING, 0.15),
        (TOOL | THINKING, 0.15),
        (TOOL, 0.25),
        (TOOL | 64, 0.25),
    ],
)
def test_decaying_weight_is_the_nearest_float32(flags, weight):
    w = np.float32(weight)
    above = np.nextafter(w, np.float32(np.inf), dtype=np.float32)
    assert survives(flags, w.item())
    assert not survives(flags, above.item())


@pytest.mark.parametrize("flags", [SYSTEM, FACT, SYSTEM | TOOL, FACT | THINKING, SYSTEM | FACT | USER])
def test_durable_classes(flags):
    assert survives(flags, math.inf)
    assert survives(flags, math.nan)


@pytest.mark.parametrize("flags", [0, 64, USER, ASSISTANT, TOOL, THINKING, 0xFFFFFFF6])
def test_not_durable(flags):
    assert not survives(flags, math.inf)


@pytest.mark.parametrize(
    "text, tokens",
    [
        ("", 1),
        ("abc", 1),
        ("abcd", 2),
        ("abcdefg", 2),
        ("abcdefgh", 3),
        ("ééé", 2),  # six UTF-8 bytes, three characters
        ("hello world", 3),
        ("😀", 2),
        ("😀" * 3, 4),
        ("a\x00b\x00", 2),
    ],
)
def test_token_estimate_counts_utf8_bytes(text, tokens):
    r = dehydrate([(text, SYSTEM)])
    assert (r["tokens_before"], r["tokens_after"]) == (tokens, tokens)


def test_token_sums_over_many_messages():
    msgs = [("x" * (i % 9), USER) for i in range(1000)]
    expected = sum(len(t) // 4 + 1 for t, _ in msgs)
    r = dehydrate(msgs, stable_prefix=1000)
    assert r["tokens_before"] == r["tokens_after"] == r["stable_prefix_tokens"] == expected
