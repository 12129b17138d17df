"""Checks of an argument error: its type, exact message and the parameter note."""

import pytest


def assert_call_error(call, exc, message, note):
    """`call()` raises `exc` with `message` (None: any) and exactly the note
    `note` (None: no note at all)."""
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([note] if note else None)
