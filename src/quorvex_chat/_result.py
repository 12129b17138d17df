"""`TrimResult`: a prompt, and how each of its messages relates to the history it came from."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Generic, TypeVar

from ._formats import Provider

M = TypeVar("M")


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
    #: Tokens of the whole input and of `messages`, by the chosen counter.
    tokens_before: int
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
    #: Tokens of every input message, by input index, and of every output message.
    input_tokens: tuple[int, ...] = field(repr=False)
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
