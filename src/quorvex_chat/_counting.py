"""Token counters: the default budget count, or any callable or tiktoken-style encoder."""

from __future__ import annotations

import inspect
import re
from typing import Callable, Protocol, Sized, Union, runtime_checkable


@runtime_checkable
class Encoder(Protocol):
    """An object with a tiktoken-style `encode` (tiktoken, bpe-openai, ...)."""

    def encode(self, text: str, /) -> Sized: ...


TokenCounter = Union[Callable[[str], int], Encoder]


def estimate_tokens(text: str) -> int:
    """The library's estimate: UTF-8 bytes // 4 + 1 (the empty text costs 1)."""
    return len(text.encode("utf-8", "surrogatepass")) // 4 + 1


# Pieces no BPE vocabulary merges across: up to nine ASCII letters, up to three digits (o200k
# and cl100k split numbers that way), one other letter, a run of whitespace beyond a single
# space, and any other character alone.
_PIECES = re.compile(r"[A-Za-z]{1,9}|\d{1,3}|[^\W\d_A-Za-z]|\s\s+|\S|\n")


def count_tokens(text: str) -> int:
    """The default count for budgets: the pieces a BPE tokenizer cannot merge, plus a tenth.

    It is meant to count high, never low: UTF-8 bytes / 4 undercounts JSON, logs and hex by
    up to 2.3x in o200k tokens, which sends prompts over their budget. Against o200k this
    count is 1.02-1.3x on JSON, logs, hex, code and English prose, about 2x on accented
    Latin text and 1.5x on CJK. Pass a real tokenizer as `token_counter` to spend the budget
    exactly.
    """
    # Counted as they are found: a list of every piece would hold several times the text.
    pieces = sum(1 for _ in _PIECES.finditer(text))
    return pieces + pieces // 10 + 1


def resolve_counter(counter: TokenCounter | None) -> Callable[[str], int]:
    """A plain text -> int function for `counter`; None means `count_tokens`."""
    if counter is None:
        return count_tokens
    if counter is len:
        raise ValueError(
            "token_counter=len would count characters here: quorvex_chat calls token_counter "
            "on each text, not on the list of messages as LangChain's trim_messages does; pass "
            "a text -> int counter (or an encoder), or leave it out for count_tokens")
    if _counts_messages(counter):
        raise ValueError(
            f"token_counter {getattr(counter, '__name__', counter)!r} counts messages: "
            f"quorvex_chat calls token_counter on each text (str -> int); pass a text counter "
            f"or an encoder with an encode method")
    # Tool output is untrusted: text such as "<|endoftext|>" must count as text, not raise
    # the way tiktoken's `encode` does by default, so the ordinary encoder comes first.
    ordinary = getattr(counter, "encode_ordinary", None)
    if callable(ordinary):
        return lambda text: len(ordinary(text))
    if isinstance(counter, Encoder):
        return lambda text: len(counter.encode(text))
    if callable(counter):
        return counter
    raise TypeError(
        f"token_counter must be a callable text -> int or have an encode method, "
        f"not {type(counter).__name__}")


def _counts_messages(counter: object) -> bool:
    """A callable whose first parameter takes messages (LangChain's counters do)."""
    if not callable(counter) or hasattr(counter, "encode"):
        return False
    try:
        parameters = list(inspect.signature(counter).parameters.values())
    except (TypeError, ValueError):
        return False
    return bool(parameters) and parameters[0].name in ("messages", "msgs", "message_list")
