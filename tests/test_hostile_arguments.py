"""Random and hostile objects thrown at every callable: only the documented
exception types may come out, and the interpreter must survive."""
import inspect

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from support.surface import SURFACE, target
from support.hostile import (Float, FloatSub, HookError, Index, IntSub, SizedSeq, StrSub,
                             TupleSub)


HOOKS = [Index(HookError), Float(HookError), Index("not an int"), Float("not a float"),
         SizedSeq([("hello", 2)], length=2**62), SizedSeq([HookError], length=HookError)]


# Integers are drawn from small values and the overflow edges only: a capacity in
# the gigabytes would be a legitimate (and slow) request, not a hostile one.
INTS = st.one_of(
    st.integers(-3, 300),
    st.sampled_from([2**32 - 1, 2**32, 2**59 - 1, 2**59, 2**63, 2**64 - 1, 2**64, -(2**70)]),
)
TEXTS = st.one_of(
    st.text(max_size=40),
    st.sampled_from(["\ud800", "a\udfffb", "", " \t\n", "é" * 5]),
    st.builds(StrSub, st.text(max_size=10)),
)
ATOMS = st.one_of(
    st.none(),
    st.booleans(),
    INTS,
    st.floats(),
    TEXTS,
    st.binary(max_size=8),
    st.builds(IntSub, st.integers(0, 50)),
    st.builds(FloatSub, st.floats()),
    st.sampled_from(HOOKS + [object(), {}, set(), (x for x in ())]),
)
MESSAGES = st.lists(
    st.one_of(
        st.tuples(TEXTS, INTS),
        st.builds(TupleSub, st.tuples(TEXTS, INTS)),
        st.tuples(TEXTS),
        st.lists(ATOMS, max_size=3),
        ATOMS,
    ),
    max_size=6,
)
VALUES = st.one_of(ATOMS, MESSAGES, MESSAGES.map(tuple))

# What each callable may raise on any argument. Binding errors are TypeError
# everywhere. A count or word adds OverflowError, a float the interpreter's float
# conversion (TypeError, OverflowError), and both pass a hook's HookError through;
# a text adds UnicodeEncodeError for a lone surrogate; the message sequence adds
# the tuple-length ValueError and the errors of its iteration and its members.
# The two constructors that reserve a buffer by a caller's size add MemoryError,
# and PanicException with "capacity overflow" when that size cannot be represented.
NONE = (TypeError,)
NUMBERS = (TypeError, OverflowError, HookError)
TEXT = (TypeError, UnicodeEncodeError)
RESERVES = NUMBERS + (MemoryError,)
RAISES = {
    "HormonalBus": RESERVES,
    "HormonalBus.inject": NONE,
    "HormonalBus.secrete": NUMBERS,
    "HormonalBus.sense": NUMBERS,
    "HormonalBus.concentration": NUMBERS,
    "HormonalBus.tick": NUMBERS,
    "HormonalBus.snapshot": NONE,
    "HormonalBus.drain_events": NUMBERS,
    "HormonalBus.stats": NONE,
    "HormonalSignal": NUMBERS,
    "ContextApoptosis": RESERVES,
    "ContextApoptosis.set_purpose": TEXT,
    "ContextApoptosis.note_state": TEXT,
    "ContextApoptosis.state_entries": NONE,
    "ContextApoptosis.insert": NUMBERS + TEXT,
    "ContextApoptosis.dehydrate": NUMBERS,
    "ContextApoptosis.active_context": NONE,
    "ContextApoptosis.render": NONE,
    "ContextApoptosis.active_tokens": NONE,
    "ContextApoptosis.inserted_tokens": NONE,
    "ContextApoptosis.reduction_ratio": NONE,
    "dehydrate": NUMBERS + TEXT + (ValueError,),
    "saturation_scan": NUMBERS + TEXT,
    "consolidation_gain": NUMBERS,
    "effort_gauge": TEXT,
}
CAPACITY_OVERFLOW = {"HormonalBus", "ContextApoptosis"}


def is_capacity_overflow(name, exc):
    return (name in CAPACITY_OVERFLOW and type(exc).__name__ == "PanicException"
            and str(exc) == "capacity overflow")


def parameter_names(function):
    return [p.name for p in inspect.signature(function).parameters.values()]


NAMES = [row.name for row in SURFACE]


def test_every_callable_has_its_exceptions_named():
    assert sorted(RAISES) == sorted(NAMES)


@pytest.mark.parametrize("name", NAMES, ids=NAMES)
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_random_arguments_raise_only_documented_errors(name, data):
    function = target(name)
    names = parameter_names(function)
    args = data.draw(st.lists(VALUES, max_size=len(names) + 2), label="args")
    keyword_names = st.sampled_from(names + ["bogus", "strength", ""]) if names else st.just("bogus")
    kwargs = data.draw(st.dictionaries(keyword_names, VALUES, max_size=3), label="kwargs")
    try:
        function(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - the point is to see what escapes
        assert type(exc) in RAISES[name] or is_capacity_overflow(name, exc), \
            f"{name} raised {type(exc).__name__}: {exc}"
