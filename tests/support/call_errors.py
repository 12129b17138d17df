"""Checks of an argument error: its type, exact message and the parameter note."""

import sys

import pytest

# Interpreters before 3.11 have no add_note: the module then raises without the note.
HAS_NOTES = sys.version_info >= (3, 11)


def notes(exc):
    """The notes attached to an exception, [] when none."""
    return list(getattr(exc, "__notes__", []))


def processing_notes(param):
    """What `notes` shows after a failed conversion of `param` on this interpreter."""
    return [f"while processing '{param}'"] if HAS_NOTES else []


def note_of(exc_info):
    """The one processing note of a raised exception, None where the interpreter
    has no add_note."""
    found = notes(exc_info.value)
    if not HAS_NOTES:
        return None
    assert len(found) == 1, found
    return found[0]


def expected_note(param):
    """What `note_of` returns after a failed conversion of `param`."""
    return f"while processing '{param}'" if HAS_NOTES else None


def assert_call_error(call, exc, message, note):
    """`call()` raises `exc` with `message` (None: any) and exactly the note
    `note` (None: no note at all)."""
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert notes(info.value) == (processing_notes(note[len("while processing '"):-1]) if note else [])
