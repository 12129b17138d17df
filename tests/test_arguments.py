"""The binding and conversion rules every callable shares, seen through the functions."""
import math

import pytest

import quorvex_micro as qm
from support.call_errors import HAS_NOTES, notes
from support.hostile import Float, Index

cg = qm.consolidation_gain


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


needs_notes = pytest.mark.skipif(not HAS_NOTES, reason="add_note arrived in 3.11")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: cg(), "consolidation_gain() missing 2 required positional arguments: "
                       "'prefix_tokens' and 'purgeable_tokens'"),
        (lambda: cg(1), "consolidation_gain() missing 1 required positional argument: "
                        "'purgeable_tokens'"),
        (lambda: cg(purgeable_tokens=1), "consolidation_gain() missing 1 required positional "
                                         "argument: 'prefix_tokens'"),
        (lambda: cg(1, 2, 3, 4, 5, 6), "consolidation_gain() takes from 2 to 5 positional "
                                       "arguments but 6 were given"),
        (lambda: cg(1, 2, strength=3), "consolidation_gain() got an unexpected keyword "
                                       "argument 'strength'"),
        (lambda: cg(1, 2, prefix_tokens=3), "consolidation_gain() got multiple values for "
                                            "argument 'prefix_tokens'"),
        (lambda: cg(1, 2, **{1: 2}), "consolidation_gain() got an unexpected keyword argument '1'"),
        # Keyword names are matched byte for byte: no case folding, no normalisation.
        (lambda: cg(1, 2, Calls_ahead=3), "consolidation_gain() got an unexpected keyword "
                                          "argument 'Calls_ahead'"),
    ],
)
def test_binding_errors_carry_no_note(call, message):
    exc = raised(call)
    assert type(exc) is TypeError
    assert str(exc) == message
    assert notes(exc) == []


def test_unexpected_keyword_wins_over_missing_arguments():
    # Keywords are checked before the required count.
    assert str(raised(lambda: cg(x=1))) == "consolidation_gain() got an unexpected keyword argument 'x'"


@pytest.mark.parametrize(
    "value, kind, message",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.5, TypeError, None),
        ("3", TypeError, None),
        (None, TypeError, None),
        (Index(ValueError("boom")), ValueError, "boom"),
        (Index("x"), TypeError, None),
    ],
)
@needs_notes
def test_unsigned_conversion_failures_name_the_parameter(value, kind, message):
    exc = raised(lambda: cg(value, 1))
    assert type(exc) is kind
    if message is not None:
        assert str(exc) == message
    assert notes(exc) == ["while processing 'prefix_tokens'"]


@pytest.mark.parametrize("value", [2**32, 2**64 - 1])
@needs_notes
def test_u32_range_has_its_own_message(value):
    exc = raised(lambda: cg(1, 1, value))
    assert type(exc) is OverflowError
    assert str(exc) == "out of range integral type conversion attempted"
    assert notes(exc) == ["while processing 'calls_ahead'"]


@pytest.mark.parametrize(
    "value, expected", [(True, 1), (False, 0), (Index(7), 7), (2**64 - 1, 2**64 - 1)]
)
def test_integer_like_objects_are_accepted(value, expected):
    assert qm.consolidation_gain(value, 0)["cost_keep"] == (float(expected) * 8.0) * 0.1


@pytest.mark.parametrize(
    "value, expected", [(-1.0, -1.0), (3, 3.0), (Float(2.5), 2.5), (Index(4), 4.0), (True, 1.0)]
)
def test_float_conversion_accepts_the_interpreters_float_protocol(value, expected):
    result = qm.consolidation_gain(10, 10, 1, value, 0.0)
    assert result["cost_keep"] == 10.0 * expected


@pytest.mark.parametrize("value, kind", [("0.1", TypeError), (None, TypeError), (10**400, OverflowError)])
@needs_notes
def test_float_conversion_failures_name_the_parameter(value, kind):
    exc = raised(lambda: cg(1, 1, 8, value))
    assert type(exc) is kind
    assert notes(exc) == ["while processing 'cache_read_ratio'"]


def test_none_never_selects_a_default():
    assert type(raised(lambda: cg(1, 1, None))) is TypeError


def test_first_failing_argument_is_the_one_reported():
    exc = raised(lambda: cg(-1, "x", None))
    assert notes(exc) in ([], ["while processing 'prefix_tokens'"])
    assert type(exc) is OverflowError


@needs_notes
def test_keyboard_interrupt_from_a_hook_passes_through_with_the_note():
    exc = raised(lambda: cg(Index(KeyboardInterrupt()), 1))
    assert type(exc) is KeyboardInterrupt
    assert notes(exc) == ["while processing 'prefix_tokens'"]


def test_an_exception_without_add_note_still_propagates():
    class NoNotes(Exception):
        def add_note(self, note):
            raise RuntimeError("refused")

    exc = raised(lambda: cg(Index(NoNotes("x")), 1))
    assert type(exc) is NoNotes and notes(exc) == []


def test_results_are_new_objects():
    a, b = cg(10, 5), cg(10, 5)
    assert a == b and a is not b
    assert math.isinf(cg(0, 0)["break_even_calls"])
