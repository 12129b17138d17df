"""HormonalSignal: construction, attributes, repr and the class surface."""

import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support.call_errors import expected_note, note_of
from quorvex_micro import HormonalSignal



@pytest.mark.parametrize(
    ("args", "text"),
    [
        ((0,), "HormonalSignal(flags=0x0, intensity=1.000)"),
        ((255, 0.5), "HormonalSignal(flags=0xFF, intensity=0.500)"),
        ((4294967295, -2), "HormonalSignal(flags=0xFFFFFFFF, intensity=-2.000)"),
        ((0xABC, 1e40), "HormonalSignal(flags=0xABC, intensity=inf)"),
        ((1, -1e40), "HormonalSignal(flags=0x1, intensity=-inf)"),
        ((1, float("nan")), "HormonalSignal(flags=0x1, intensity=NaN)"),
        ((1, -float("nan")), "HormonalSignal(flags=0x1, intensity=NaN)"),
        ((1, 1e-50), "HormonalSignal(flags=0x1, intensity=0.000)"),
        ((1, -1e-50), "HormonalSignal(flags=0x1, intensity=-0.000)"),
        ((1, -0.0001), "HormonalSignal(flags=0x1, intensity=-0.000)"),
        # The single-precision 2.0005 lies below the midpoint: rounded from the
        # float, not from the decimal the caller wrote.
        ((1, 2.0005), "HormonalSignal(flags=0x1, intensity=2.000)"),
        # An exact tie rounds to even.
        ((1, 0.0625), "HormonalSignal(flags=0x1, intensity=0.062)"),
        ((1, 0.1875), "HormonalSignal(flags=0x1, intensity=0.188)"),
        ((1, 3.4028234663852886e38),
         "HormonalSignal(flags=0x1, intensity=340282346638528859811704183484516925440.000)"),
    ],
)
def test_repr(args, text):
    signal = HormonalSignal(*args)
    assert repr(signal) == text
    assert str(signal) == text


@settings(max_examples=200)
@given(st.integers(0, 2**32 - 1), st.floats(width=32, allow_nan=False))
def test_fields_and_repr_follow_the_stored_float(flags, intensity):
    signal = HormonalSignal(flags, intensity)
    assert signal.flags == flags
    assert struct.pack("<d", signal.intensity) == struct.pack("<d", intensity)
    if math.isinf(intensity):
        shown = "inf" if intensity > 0 else "-inf"
    else:
        shown = "%.3f" % intensity
    assert repr(signal) == "HormonalSignal(flags=0x%X, intensity=%s)" % (flags, shown)


@pytest.mark.parametrize(
    ("intensity", "stored"),
    [
        (0.1, 0.10000000149011612),
        (1e40, math.inf),
        (-1e40, -math.inf),
        (1e-50, 0.0),
        (-1e-50, -0.0),
        (3.4028235677973366e38, math.inf),  # halfway past FLT_MAX rounds up
        (3.4028235677973362e38, 3.4028234663852886e38),
        (-1.0, -1.0),
    ],
)
def test_intensity_is_narrowed_once(intensity, stored):
    value = HormonalSignal(0, intensity).intensity
    assert struct.pack("<d", value) == struct.pack("<d", stored)


def test_defaults_and_integer_like_arguments():
    assert HormonalSignal(7).intensity == 1.0
    assert HormonalSignal(True).flags == 1
    assert HormonalSignal(flags=2**32 - 1).flags == 2**32 - 1
    assert HormonalSignal(intensity=3, flags=2).intensity == 3.0

    class Index:
        def __index__(self):
            return 12

    class Float:
        def __float__(self):
            return 0.25

    signal = HormonalSignal(Index(), Float())
    assert (signal.flags, signal.intensity) == (12, 0.25)
    assert math.isnan(HormonalSignal(0, float("nan")).intensity)


@pytest.mark.parametrize(
    ("kwargs", "exc_type", "message", "note"),
    [
        (dict(flags=2**32), OverflowError, "out of range integral type conversion attempted",
         "flags"),
        (dict(flags=-1), OverflowError, None, "flags"),
        (dict(flags=1.5), TypeError, None, "flags"),
        (dict(flags=1.0), TypeError, None, "flags"),
        (dict(flags="1"), TypeError, None, "flags"),
        (dict(flags=None), TypeError, None, "flags"),
        (dict(flags=1, intensity=None), TypeError, None, "intensity"),
        (dict(flags=1, intensity="1.0"), TypeError, None, "intensity"),
        (dict(flags=1, intensity=10**400), OverflowError, None, "intensity"),
    ],
)
def test_constructor_conversion_errors(kwargs, exc_type, message, note):
    with pytest.raises(exc_type) as info:
        HormonalSignal(**kwargs)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert note_of(info) == expected_note(note)


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "HormonalSignal.__new__() missing 1 required positional argument: 'flags'"),
        ((), {"intensity": 1.0},
         "HormonalSignal.__new__() missing 1 required positional argument: 'flags'"),
        ((1,), {"flags": 1}, "HormonalSignal.__new__() got multiple values for argument 'flags'"),
        ((1,), {"strength": 1.0},
         "HormonalSignal.__new__() got an unexpected keyword argument 'strength'"),
        ((1, 2.0, 3), {},
         "HormonalSignal.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ],
)
def test_constructor_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        HormonalSignal(*args, **kwargs)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) is None


def test_attributes_are_writable():
    signal = HormonalSignal(1, 2.0)
    signal.flags = 0xDEADBEEF
    signal.intensity = 0.1
    assert signal.flags == 0xDEADBEEF
    assert signal.intensity == 0.10000000149011612
    signal.flags = True
    assert signal.flags == 1
    assert repr(signal) == "HormonalSignal(flags=0x1, intensity=0.100)"


@pytest.mark.parametrize(
    ("name", "value", "exc_type"),
    [
        ("flags", 2**32, OverflowError),
        ("flags", -1, OverflowError),
        ("flags", 2.0, TypeError),
        ("flags", None, TypeError),
        ("intensity", None, TypeError),
        ("intensity", "0.5", TypeError),
    ],
)
def test_failed_assignment_keeps_the_old_value(name, value, exc_type):
    signal = HormonalSignal(5, 0.5)
    with pytest.raises(exc_type) as info:
        setattr(signal, name, value)
    assert note_of(info) == expected_note(name)
    assert (signal.flags, signal.intensity) == (5, 0.5)


@pytest.mark.parametrize("name", ["flags", "intensity"])
def test_attributes_cannot_be_deleted(name):
    signal = HormonalSignal(5, 0.5)
    with pytest.raises(AttributeError) as info:
        delattr(signal, name)
    assert str(info.value) == "property has no deleter"
    assert (signal.flags, signal.intensity) == (5, 0.5)


def test_setter_converts_before_taking_exclusive_access():
    # The converter runs Python code that reads the very signal being assigned;
    # that must not collide with the assignment's exclusive access.
    signal = HormonalSignal(5, 0.5)
    seen = []

    class Index:
        def __index__(self):
            seen.append(repr(signal))
            return signal.flags + 1

    signal.flags = Index()
    assert signal.flags == 6
    assert seen == ["HormonalSignal(flags=0x5, intensity=0.500)"]


def test_equality_is_identity():
    a = HormonalSignal(3, 0.5)
    b = HormonalSignal(3, 0.5)
    assert a != b
    assert not (a == b)
    assert a == a
    assert len({a, b}) == 2


def test_fields_are_undocumented_and_there_is_no_instance_dict():
    assert HormonalSignal.flags.__doc__ is None
    assert HormonalSignal.intensity.__doc__ is None
    assert not hasattr(HormonalSignal(0), "__dict__")
