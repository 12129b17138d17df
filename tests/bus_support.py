"""Helpers shared by the bus tests: processing notes and single-precision rounding."""

import math
import struct
import sys

HAS_NOTES = sys.version_info >= (3, 11)


def note_of(exc_info):
    """The processing note, or None where the interpreter has no add_note."""
    notes = getattr(exc_info.value, "__notes__", None)
    if not HAS_NOTES:
        return None
    assert notes is not None and len(notes) == 1
    return notes[0]


def expected_note(param):
    return f"while processing '{param}'" if HAS_NOTES else None


def f32(x):
    """Nearest single-precision value. A sum or product of two singles rounded
    once through a double is exactly the single-precision operation."""
    if math.isnan(x) or math.isinf(x):
        return x
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)
