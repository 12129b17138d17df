"""`cache_marks`: a prompt with the provider's prompt-cache breakpoints placed for it."""

from __future__ import annotations

from typing import TypeVar

from ._formats import FORMAT
from ._result import TrimResult

M = TypeVar("M")


def cache_marks(result: TrimResult[M]) -> list[M]:
    """`result.messages` with Anthropic's cache breakpoints: a `cache_control` mark on the
    newest message and on the last message of the stable part (`result.stable_messages`:
    the prompt of the last compaction, which a rewrite can still read back), and none
    elsewhere, the caller's own marks included. Two marks, leaving two of Anthropic's four
    for the system prompt and the tools. Marked messages are copies; the others are the
    very objects of the prompt. ValueError for a format whose cache takes no marks."""
    fmt = FORMAT[result.provider] if result.provider is not None else None
    if fmt is None or fmt.mark_cache is None:
        raise ValueError(f"cache marks are for Anthropic Messages, not for a "
                         f"{fmt.title if fmt else 'empty'} prompt: other providers cache "
                         f"prefixes without them")
    count = len(result.messages)
    at = {count - 1} if count else set()
    if 0 < result.stable_messages < count:
        at.add(result.stable_messages - 1)
    return fmt.mark_cache(result.messages, at)
