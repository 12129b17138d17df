"""`trim`: the one-pass kernel applied to an OpenAI or Anthropic message history."""

from __future__ import annotations

import ctypes
import struct
from dataclasses import dataclass, field
from typing import Any, Generic, Mapping, Sequence, TypeVar, cast

import quorvex_micro

from ._counting import TokenCounter, resolve_counter
from ._history import Provider, Reader, detect_provider, elide, open_turn, units
from ._history import stable_prefix as provider_prefix
from ._tables import FLAGS, PART_TOKENS

M = TypeVar("M", bound=Mapping[str, Any])

# What becomes of a message in a plan.
_DROPPED, _KEPT, _ELIDED = 0, 1, 2


@dataclass(frozen=True, slots=True)
class TrimResult(Generic[M]):
    """What `trim` returns. Output message j is input message `kept[j]`: the same object,
    or a new dict with its payload replaced by a notice when `kept[j]` is in `elided`."""

    #: The trimmed history, valid for the provider, of the input's element type.
    messages: list[M] = field(repr=False)
    #: Indices of the input messages in `messages`, ascending.
    kept: tuple[int, ...]
    #: Those of `kept` whose payload was replaced by a notice (tool results keep their ids).
    elided: tuple[int, ...]
    #: Tokens of the whole input and of `messages`, by the chosen counter.
    tokens_before: int
    tokens_after: int
    #: The half-life used: the one asked for, or lower when `max_tokens` required it.
    half_life: float
    #: True when even the messages that cannot go exceed `max_tokens` (they are returned).
    over_budget: bool
    #: The format the history was read in and trimmed by.
    provider: Provider
    #: The budget asked for.
    max_tokens: int | None
    #: Tokens of every input message, by input index, and of every output message.
    input_tokens: tuple[int, ...] = field(repr=False)
    message_tokens: tuple[int, ...] = field(repr=False)


def _float32(value: float) -> float:
    """`value` narrowed to single precision, as the kernel narrows its arguments."""
    return ctypes.c_float(value).value


def _bits(value: float) -> int:
    return int(struct.unpack("<I", struct.pack("<f", value))[0])


def _from_bits(bits: int) -> float:
    return float(struct.unpack("<f", struct.pack("<I", bits))[0])


_MIN_HALF_LIFE = _float32(0.1)  # the kernel raises any smaller half-life to this


def trim(
    messages: Sequence[M],
    *,
    max_tokens: int | None = None,
    token_counter: TokenCounter | None = None,
    half_life: float = 6.0,
    safe_threshold: float = 0.35,
    provider: Provider | None = None,
    stable_prefix: int | None = None,
    flags: Mapping[str, int] | None = None,
    part_tokens: Mapping[str, int] | None = None,
) -> TrimResult[M]:
    """Trim a chat history with `quorvex_micro.dehydrate`; the result is provider-valid.

    Every message is one kernel block classed by `FLAGS` (entries in `flags` replace the
    defaults) and decays by its age in messages: it survives while
    2 ** (-age / half_life) * weight >= safe_threshold. On top of the kernel:

    - the stable prefix (`stable_prefix` messages, by default the provider's: OpenAI's
      leading system/developer messages, Anthropic's messages up to the last cache_control
      mark) and the open turn (the last user request and all after it) are never touched;
    - messages go in units that keep calls with their results. OpenAI: an assistant message
      with tool_calls and the tool messages after it; any other message alone. Anthropic: an
      assistant message and the user message(s) up to the next one (tool results, the
      person's answer), plus the messages before the first assistant message, which always
      stay (a user message must come first). A unit survives whole when any of its messages
      survives; in a surviving unit the assistant message stays as it is and every other
      purged message (a tool result, typically) is elided: its payload is replaced by a
      notice that keeps its tool call id, unless the notice would cost more than the payload.
      A purged unit goes whole, calls with their results. So calls stay answered, Anthropic's
      results stay at the head of the next user message, and its roles keep alternating;
    - with `max_tokens`, when the result is over budget the half-life is lowered, by a
      binary search over single-precision values down to the kernel's minimum 0.1, to the
      largest that fits (fewer messages survive as it drops). If even that keeps more than
      the budget (the protected part, the durable messages and what validity needs), that
      smallest history is returned with `over_budget` set: nothing is raised, the caller
      decides.

    Tokens are counted by `token_counter` (a callable text -> int, or an object with a
    tiktoken-style `encode`; default the library's estimate, UTF-8 bytes // 4 + 1); non-text
    parts cost `PART_TOKENS` (entries in `part_tokens` replace the defaults). The input
    list and its dicts are never modified.
    """
    if isinstance(messages, (str, bytes)) or not isinstance(messages, Sequence):
        raise TypeError(f"messages must be a list of dicts, not {type(messages).__name__}")
    table = {**FLAGS, **flags} if flags else FLAGS
    costs = {**PART_TOKENS, **part_tokens} if part_tokens else PART_TOKENS
    reader = Reader(table, costs, resolve_counter(token_counter))
    measured = [reader.measure(index, message) for index, message in enumerate(messages)]
    classes = [flags_ for flags_, _ in measured]
    sizes = tuple(tokens for _, tokens in measured)
    fmt = provider or detect_provider(messages)
    if fmt not in ("openai", "anthropic"):
        raise ValueError(f"provider must be 'openai' or 'anthropic', not {fmt!r}")
    prefix = provider_prefix(messages, fmt) if stable_prefix is None else stable_prefix
    if prefix < 0:
        raise ValueError("stable_prefix must not be negative")
    start = max(open_turn(messages, fmt), prefix)
    groups = units(messages, fmt)
    # The kernel decides by position and class alone, so each block's content is its own
    # index: the texts it returns are exactly the indices of the survivors.
    blocks = [(str(index), cls) for index, cls in enumerate(classes)]
    elisions: dict[int, tuple[dict[str, Any], int]] = {}

    def plan(half: float) -> tuple[list[int], int]:
        survivors = quorvex_micro.dehydrate(blocks, half, safe_threshold, prefix)["kept"]
        alive = [False] * len(messages)
        for text in survivors:
            alive[int(text)] = True
        for index in range(start, len(messages)):
            alive[index] = True
        fate = [_DROPPED] * len(messages)
        total = 0
        for group in groups:
            leader = messages[group[0]].get("role")
            if not (any(alive[index] for index in group)
                    or (fmt == "anthropic" and leader != "assistant")):
                continue
            for index in group:
                fate[index] = _KEPT
                if alive[index] or (index == group[0] and leader == "assistant"):
                    total += sizes[index]
                    continue
                if index not in elisions:
                    elisions[index] = elide(messages[index], reader.counted, reader.content_cost)
                if elisions[index][1] < sizes[index]:
                    fate[index] = _ELIDED
                    total += elisions[index][1]
                else:
                    total += sizes[index]
        return fate, total

    chosen = _float32(half_life)
    if not chosen >= _MIN_HALF_LIFE:  # NaN too, as in the kernel
        chosen = _MIN_HALF_LIFE
    fate, total = plan(chosen)
    over = False
    if max_tokens is not None and total > max_tokens:
        floor_fate, floor_total = plan(_MIN_HALF_LIFE)
        if floor_total > max_tokens or chosen == _MIN_HALF_LIFE:
            fate, total, chosen, over = floor_fate, floor_total, _MIN_HALF_LIFE, True
        else:
            # Survival only grows with the half-life: keep the largest that fits.
            low, high = _bits(_MIN_HALF_LIFE), _bits(chosen)
            fate, total = floor_fate, floor_total
            while high - low > 1:
                middle = (low + high) // 2
                trial_fate, trial_total = plan(_from_bits(middle))
                if trial_total <= max_tokens:
                    low, fate, total = middle, trial_fate, trial_total
                else:
                    high = middle
            chosen = _from_bits(low)

    out: list[M] = []
    kept: list[int] = []
    elided: list[int] = []
    out_tokens: list[int] = []
    for index, what in enumerate(fate):
        if what == _DROPPED:
            continue
        kept.append(index)
        if what == _ELIDED:
            elided.append(index)
            out.append(cast(M, elisions[index][0]))
            out_tokens.append(elisions[index][1])
        else:
            out.append(messages[index])
            out_tokens.append(sizes[index])
    return TrimResult(out, tuple(kept), tuple(elided), sum(sizes), total, chosen, over, fmt,
                      max_tokens, sizes, tuple(out_tokens))
