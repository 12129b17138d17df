"""Token counters: the library's estimate, or any callable or tiktoken-style encoder."""

from __future__ import annotations

from typing import Callable, Protocol, Sized, Union, runtime_checkable


@runtime_checkable
class Encoder(Protocol):
    """An object with a tiktoken-style `encode` (tiktoken, bpe-openai, ...)."""

    def encode(self, text: str, /) -> Sized: ...


TokenCounter = Union[Callable[[str], int], Encoder]


def estimate_tokens(text: str) -> int:
    """The library's estimate: UTF-8 bytes // 4 + 1 (the empty text costs 1)."""
    return len(text.encode("utf-8", "surrogatepass")) // 4 + 1


def resolve_counter(counter: TokenCounter | None) -> Callable[[str], int]:
    """A plain text -> int function for `counter`; None means the estimate."""
    if counter is None:
        return estimate_tokens
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
