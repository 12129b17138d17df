"""`TrimResult`: a prompt, and how each of its messages relates to the history it came from."""

from __future__ import annotations

import threading
from dataclasses import dataclass, field, fields
from typing import Callable, Generic, TypeVar

from ._formats import Provider

M = TypeVar("M")


class Counts:
    """Tokens of every input message and their sum with what is billed beside them: counted
    when first asked for, since a trim of a long history never needs most of its old tool
    results counted, and counting them is most of what it would cost."""

    __slots__ = ("_count", "_known", "_length", "_lock")

    def __init__(self, count: Callable[[], tuple[tuple[int, ...], int]], length: int) -> None:
        self._count: Callable[[], tuple[tuple[int, ...], int]] | None = count
        self._known: tuple[tuple[int, ...], int] | None = None
        self._length = length  # of the input: known without counting
        # Counting writes the tokens into the reading it comes from: two threads reading one
        # result count once, one after the other.
        self._lock = threading.Lock()

    @classmethod
    def known(cls, sizes: tuple[int, ...], total: int) -> Counts:
        counts = cls(lambda: (sizes, total), len(sizes))
        counts.get()
        return counts

    def __len__(self) -> int:
        return self._length

    def get(self) -> tuple[tuple[int, ...], int]:
        known = self._known
        if known is None:
            with self._lock:
                known = self._known
                if known is None:
                    count = self._count
                    assert count is not None
                    known = self._known = count()
                    self._count = None  # the history it read is let go
        return known

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Counts) and self.get() == other.get()

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Counts(tokens_before={self.get()[1]})"

    def __reduce__(self) -> tuple[object, tuple[tuple[int, ...], int]]:
        return Counts.known, self.get()


@dataclass(frozen=True, slots=True, kw_only=True)
class TrimResult(Generic[M]):
    """What `trim` returns. Output message j is input message `kept[j]`: the same object,
    or, when `kept[j]` is in `elided`, a copy of the same type (a dict for a dict,
    `model_copy` of a pydantic model, `dataclasses.replace` of a dataclass) with its
    payload replaced by a notice. Built by keyword only; immutable."""

    #: The trimmed history, valid for the provider, of the input's element type. A tuple, so
    #: that it cannot fall out of step with `kept` and `message_tokens`; the SDKs take any
    #: iterable of messages, and `list(result.messages)` gives a list to append to.
    messages: tuple[M, ...] = field(repr=False)
    #: Indices of the input messages in `messages`, ascending.
    kept: tuple[int, ...]
    #: Those of `kept` whose payload was replaced by a notice (tool results keep their ids).
    elided: tuple[int, ...]
    #: Tokens of `messages`, by the chosen counter (those of the whole input are
    #: `tokens_before`).
    tokens_after: int
    #: The half-life the kernel ranked by: the one asked for, narrowed to single precision
    #: and raised to the kernel's least, 0.1, as the kernel itself does.
    half_life: float
    #: True when even the messages that cannot go exceed `max_tokens` (they are returned).
    over_budget: bool
    #: The format the history was read in and trimmed by; None for an empty history (of no
    #: format given).
    provider: Provider | None
    #: The budget asked for.
    max_tokens: int | None
    #: Tokens of every output message (those of every input message are `input_tokens`).
    message_tokens: tuple[int, ...] = field(repr=False)
    #: Those of `elided` that are protected tool results (the newest round) cut to their
    #: head, notable lines and tail because the budget could not hold them whole.
    clamped: tuple[int, ...] = ()
    #: Tokens billed beside the messages (`system=`, `tools=`), counted against the budget
    #: and included in `tokens_before` and `tokens_after`.
    overhead_tokens: int = 0
    #: How many leading messages of `messages` stay as they are until the next compaction:
    #: the stable prefix for `trim`; for a `Conversation`, the prompt its last compaction
    #: made (where `cache_marks` puts a breakpoint, so that a rewrite reads it back).
    stable_messages: int = 0
    #: `tokens_before` and `input_tokens`, counted when first read.
    _counts: Counts = field(repr=False)

    @property
    def tokens_before(self) -> int:
        """Tokens of the whole input, with what is billed beside it, by the chosen counter.
        Counted when first read: `trim` counts only what its plan needs."""
        return self._counts.get()[1]

    @property
    def input_tokens(self) -> tuple[int, ...]:
        """Tokens of every input message, by input index (counted when first read, as
        `tokens_before` is)."""
        return self._counts.get()[0]

    def __repr__(self) -> str:
        shown = [f"{item.name}={getattr(self, item.name)!r}" for item in fields(self)
                 if item.repr]
        shown.insert(2, f"tokens_before={self.tokens_before!r}")
        return f"TrimResult({', '.join(shown)})"
