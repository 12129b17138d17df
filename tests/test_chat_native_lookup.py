"""The request lookup's native words and sums are the Python references', exactly."""
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex_chat import _lookup
from support.native import native_program

native = pytest.importorskip("quorvex_chat._native", reason="the module is built into the wheel")

# The word characters, the four joining marks at a word's ends and inside it, the plural's
# letter, and what ends a run.
ASCII = st.lists(st.sampled_from(list("aZs_S9-./: \n\t#~") + ["ss", "SS", "v1.2", "_x_"]),
                 max_size=40).map("".join)


@settings(max_examples=800, deadline=None)
@given(ASCII)
def test_native_terms_are_the_expressions(text):
    assert native.terms(text) == _lookup._terms(text)


@pytest.mark.parametrize("text, words", [
    ("Rolled-back SHAs", {"rolled-back", "rolled", "back", "shas", "sha"}),
    ("..a_b.. -x- classes boss", {"a_b", "a", "b", "x", "classes", "classe", "boss"}),
    ("v1.2.3/ ok:", {"v1.2.3", "v1", "2", "3", "ok"}),
    ("bugss us__s ___", {"bugss", "us__s", "us", "s", "us__", "___"}),
])
def test_terms_of_known_texts(text, words):
    assert native.terms(text) == _lookup._terms(text) == words


@pytest.mark.parametrize("text", ["café tables", "key=ab\ud800cd", "\x80"])
def test_terms_outside_ascii_are_declined(text):
    assert native.terms(text) is None
    assert _lookup.terms(text) == _lookup._terms(text)


CELLS = st.tuples(st.sampled_from(["", "-", " ", "x-", "|", "a.", "id="]),
                  st.sampled_from(["10", "11", "12", "0", "-0", "900", "10.5", "7.", "1" * 16,
                                   "2." + "3" * 15, "4" * 15 + "." + "5" * 15]),
                  st.sampled_from(["", "ms", "%", "x", "_", ".", "a1", "%z", "KiB", "s9"]))


@settings(max_examples=500, deadline=None)
@given(st.lists(st.lists(CELLS.map("".join), max_size=4).map(" ".join), max_size=12))
def test_native_far_values_are_the_expressions(lines):
    found = native.far_values(lines, _lookup._FIELD_LINES, _lookup._FAR)
    if found is None:  # a library with no correctly rounded from_chars for double declines
        assert any(sum(map(str.isdigit, number)) > 15  # a value of 2**53 or more
                   for line in lines for number in _lookup._NUMBER.findall(line))
    else:
        assert found == _lookup._far_values(lines)


@pytest.mark.parametrize("cell, far", [
    ("{}ms", 6),  # a value with its unit
    ("x-{}", 6),  # a dash after a word is no sign
    ("{}%z", 6),  # a unit may end at its '%'
    ("{}ms3", None),  # letters running into a digit: an id
    ("{}.5.", None),  # nor a value before a '.'
])
def test_far_values_of_known_columns(cell, far):
    lines = [f"row {cell.format(value)} ok" for value in (10, 11, 12, 13, 14, 12, 900)]
    found = native.far_values(lines, _lookup._FIELD_LINES, _lookup._FAR)
    assert found == _lookup._far_values(lines)
    assert found == [index == far for index in range(len(lines))]


@pytest.mark.parametrize("args", [(["12 é"], 5, 8.0), (["1"], -1, 8.0), (["1"], 5, 8)])
def test_far_values_declined(args):
    assert native.far_values(*args) is None


WEIGHTS = st.floats(-4, 12, allow_nan=False) | st.sampled_from([-0.0, 0.1, 0.2, 0.3])


@settings(max_examples=400, deadline=None)
@given(st.lists(st.tuples(st.sets(st.integers(0, 40), max_size=30), WEIGHTS), max_size=8),
       st.floats(-1, 20, allow_nan=False))
def test_native_sums_are_the_references(words, cover):
    holders = [sorted(held, key=lambda index: (index * 7919) % 41) for held, _ in words]
    weights = [weight for _, weight in words]
    found = native.pointed(holders, weights, cover, _lookup.MIN_SCORE)
    native_off = _lookup._native
    try:
        _lookup._native = None
        reference = _lookup._pointed(holders, weights, cover)
    finally:
        _lookup._native = native_off
    # The same sums to the bit, their zeros' signs too.
    assert sorted(map(repr, found)) == sorted(map(repr, reference))
    assert all(not (score < cover or score < _lookup.MIN_SCORE) for score, _ in found)


def test_sums_over_many_messages_grow_their_table():
    holders = [list(range(0, 30000, step)) for step in (1, 2, 3)]
    found = dict((index, score) for score, index in native.pointed(holders, [1.5, 1.0, 0.5],
                                                                   2.1, 0.0))
    assert len(found) == 15000 and found[6] == 3.0 and found[4] == 2.5 and 3 not in found


@pytest.mark.parametrize("args", [
    ([[1, -1]], [1.0], 0.0, 0.0), ([[1]], [1], 0.0, 0.0), ([[1]], [1.0, 2.0], 0.0, 0.0),
    ([[True]], [1.0], 0.0, 0.0), ([[2 ** 70]], [1.0], 0.0, 0.0), ([{1}], [1.0], 0.0, 0.0),
    ([[1]], [1.0], 0, 0.0),
])
def test_sums_of_other_kinds_are_declined(args):
    assert native.pointed(*args) is None


def test_native_lookup_checks():
    done = subprocess.run([native_program("lookup_test")], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().endswith(" 0 failed")
