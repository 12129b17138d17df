"""`trim`: the one-pass kernel applied to an OpenAI or Anthropic message history."""

from __future__ import annotations

import ctypes
import json
from dataclasses import dataclass, field
from typing import Any, Callable, Generic, Iterable, Mapping, Sequence, TypeVar, cast

import quorvex_micro

from ._counting import TokenCounter, resolve_counter
from ._formats import BASE, Provider, Settled, View, Viewer, write_back
from ._history import Reader, elide, open_turn, units
from ._history import stable_prefix as provider_prefix
from ._plan import CLAMPED, DROPPED, ELIDED, KEPT, Eliser, Plan, compact, pinned_by, shape
from ._tables import FLAGS, PART_TOKENS

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
    #: The half-life used: the one asked for, or lower when `max_tokens` required it.
    half_life: float
    #: True when even the messages that cannot go exceed `max_tokens` (they are returned).
    over_budget: bool
    #: The format the history was read in and trimmed by (see `detect_provider`).
    provider: Provider
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


def _float32(value: float) -> float:
    """`value` narrowed to single precision, as the kernel narrows its arguments."""
    return ctypes.c_float(value).value


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
    system: object = None,
    tools: object = None,
    pin: Callable[[Any], bool] | None = None,
    exclude_tools: Iterable[str] = (),
    keep_recent_results: int = 0,
) -> TrimResult[M]:
    """Trim a chat history for its provider; the result is valid for it.

    `messages` is in one of the formats `detect_provider` reads (OpenAI Chat Completions or
    Responses items, Anthropic Messages, Gemini contents, LangChain or Pydantic AI
    messages; SDK objects wherever a dict goes), or in `provider` when given. Output
    messages are the caller's own objects, and elided ones copies of the same type.

    **With `max_tokens`, the budget comes first.** While the history (with `system` and
    `tools`, which the provider bills beside the messages) fits `max_tokens`, it is returned
    unchanged. Otherwise it is compacted until it fits, in the order of the one-pass kernel's
    survival score, weight x 2^(-age / half_life): tool results and thinking first, oldest
    first, then old conversation. A tool result is elided before its call goes: it becomes
    a notice of its size that keeps its notable lines (the lines unlike the rest of it: an
    error, an identifier among similar rows). Whole units go: a call with its results, a
    request with everything it led to. Never touched: the stable prefix, durable messages
    (SYSTEM/FACT), the person's last request and the newest call round with its results.
    When those alone exceed the budget, the newest results are clamped to their head,
    notable lines and tail (`clamped`); when even that does not fit, `over_budget` is set.
    Callers pin what must stay whole: messages for which `pin(message)` is true, the results
    of the tools named in `exclude_tools`, and the newest `keep_recent_results` messages that
    hold tool results.

    **Without `max_tokens`**, every message decays by its age in messages and survives while
    2 ** (-age / half_life) * weight >= safe_threshold (weights by `FLAGS`: entries in
    `flags` replace the defaults), and on top of the kernel:

    - the stable prefix and the open turn (the last request and all after it) are never
      touched;
    - messages go in units that keep calls with their results. OpenAI: an assistant message
      with tool_calls and the tool messages after it; any other message alone. Anthropic: an
      assistant message and the user message(s) up to the next one, plus the messages before
      the first assistant message, which always stay. A unit survives whole when any of its
      messages survives; in a surviving unit every other purged message (a tool result,
      typically) is replaced by a notice under its own tool call id.

    The stable prefix is `stable_prefix` messages, by default the provider's: OpenAI's
    (and Responses' and LangChain's) leading system/developer messages, Anthropic's messages
    up to the first cache_control mark (later marks are cache hints, not protection); a
    Gemini or agent system prompt lives outside the history and is passed as `system`. Tokens are counted by
    `token_counter` (a callable text -> int, or an object with a tiktoken-style `encode`;
    default `count_tokens`, which counts high; a counter of messages, such as `len` in
    LangChain's sense, is refused); non-text parts cost `PART_TOKENS` (entries in
    `part_tokens` replace the defaults) and encrypted reasoning a token per 4 characters.
    The input list and its messages are never modified.
    """
    if isinstance(messages, (str, bytes)) or not isinstance(messages, Sequence):
        raise TypeError(f"messages must be a list of messages, not {type(messages).__name__}")
    if max_tokens is not None and (not isinstance(max_tokens, int) or max_tokens < 0):
        raise ValueError(f"max_tokens must be a non-negative int or None, not {max_tokens!r}")
    table = {**FLAGS, **flags} if flags else FLAGS
    costs = {**PART_TOKENS, **part_tokens} if part_tokens else PART_TOKENS
    reader = Reader(table, costs, resolve_counter(token_counter))
    settled = Settled(provider)
    viewer = Viewer()
    views: list[View] = []
    for index, message in enumerate(messages):
        settled.add(index, message)
        views.append(viewer.view(index, message))
    fmt = settled.format
    base = BASE[fmt]
    measured = [reader.measure(index, view) for index, view in enumerate(views)]
    classes = [flags_ for flags_, _ in measured]
    sizes = tuple(tokens for _, tokens in measured)
    prefix = provider_prefix(views, base) if stable_prefix is None else stable_prefix
    if prefix < 0:
        raise ValueError("stable_prefix must not be negative")
    if max_tokens is not None:
        overhead = billed_beside(reader, system, tools)
        if sum(sizes) + overhead <= max_tokens:
            return unchanged(messages, sizes, fmt, max_tokens, _float32(half_life), overhead)
        form = shape(views, base, min(prefix, len(views)),
                     [bool(cls & DURABLE) for cls in classes],
                     pinned_by(views, base, pin=_on_original(pin, views, messages),
                               exclude_tools=exclude_tools,
                               keep_recent_results=keep_recent_results))
        eliser = Eliser(reader.counted, reader.content_cost, reader.count)
        compacted = compact(views, sizes, classes, form, eliser, target=max_tokens,
                            half_life=half_life, overhead=overhead)
        return from_plan(messages, views, sizes, fmt, max_tokens, _float32(half_life),
                         overhead, compacted)
    start = max(open_turn(views, base), prefix)
    groups = units(views, base)
    # Views other than the caller's own dicts are written back part by part: only messages
    # that hold nothing but tool results are elided there.
    native = fmt in ("openai", "anthropic")
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
        fate = [DROPPED] * len(messages)
        total = 0
        for group in groups:
            leader = views[group[0]].get("role")
            if not (any(alive[index] for index in group)
                    or (base == "anthropic" and leader != "assistant")):
                continue
            for index in group:
                fate[index] = KEPT
                if alive[index] or (index == group[0] and leader == "assistant") or not (
                        native or _only_results(views[index])):
                    total += sizes[index]
                    continue
                if index not in elisions:
                    elisions[index] = elide(views[index], reader.counted, reader.content_cost)
                if elisions[index][1] < sizes[index]:
                    fate[index] = ELIDED
                    total += elisions[index][1]
                else:
                    total += sizes[index]
        return fate, total

    chosen = _float32(half_life)
    if not chosen >= _MIN_HALF_LIFE:  # NaN too, as in the kernel
        chosen = _MIN_HALF_LIFE
    fate, total = plan(chosen)
    over = False
    out: list[M] = []
    kept: list[int] = []
    elided: list[int] = []
    out_tokens: list[int] = []
    for index, what in enumerate(fate):
        if what == DROPPED:
            continue
        kept.append(index)
        if what == ELIDED:
            elided.append(index)
            out.append(cast(M, write_back(fmt, messages[index], views[index],
                                          elisions[index][0])))
            out_tokens.append(elisions[index][1])
        else:
            out.append(messages[index])
            out_tokens.append(sizes[index])
    return TrimResult(messages=tuple(out), kept=tuple(kept), elided=tuple(elided),
                      tokens_before=sum(sizes), tokens_after=total, half_life=chosen,
                      over_budget=over, provider=fmt, max_tokens=max_tokens, input_tokens=sizes,
                      message_tokens=tuple(out_tokens))


DURABLE = quorvex_micro.SYSTEM | quorvex_micro.FACT


def _only_results(view: View) -> bool:
    content = view.get("content")
    return view.get("role") == "tool" or isinstance(content, list) and bool(content) and all(
        isinstance(part, Mapping) and part.get("type") == "tool_result" for part in content)


def _on_original(pin: Callable[[Any], bool] | None, views: Sequence[View],
                 messages: Sequence[Any]) -> Callable[[Mapping[str, Any]], bool] | None:
    """`pin` asked of the caller's message, not of its view."""
    if pin is None:
        return None
    by_view = {id(view): message for view, message in zip(views, messages)}
    return lambda view: pin(by_view[id(view)])


def billed_beside(reader: Reader, system: object, tools: object) -> int:
    """Tokens of what the provider bills beside the messages: a system prompt, tool schemas."""
    tokens = 0
    if system is not None:
        tokens += reader.content_cost(system)
    if tools is not None:
        tokens += reader.content_cost(tools if isinstance(tools, str) else
                                      json.dumps(tools, ensure_ascii=False, default=str))
    return tokens


def unchanged(messages: Sequence[M], sizes: tuple[int, ...], fmt: Provider, max_tokens: int,
              half_life: float, overhead: int) -> TrimResult[M]:
    """The history as the prompt: it fits."""
    total = sum(sizes) + overhead
    return TrimResult(messages=tuple(messages), kept=tuple(range(len(messages))), elided=(),
                      tokens_before=total, tokens_after=total, half_life=half_life,
                      over_budget=False, provider=fmt, max_tokens=max_tokens, input_tokens=sizes,
                      message_tokens=sizes, overhead_tokens=overhead)


def from_plan(messages: Sequence[M], views: Sequence[View], sizes: tuple[int, ...],
              fmt: Provider, max_tokens: int, half_life: float, overhead: int,
              plan: Plan) -> TrimResult[M]:
    """The prompt a compaction plan describes."""
    out: list[M] = []
    kept: list[int] = []
    elided: list[int] = []
    clamped: list[int] = []
    out_tokens: list[int] = []
    for index, fate in enumerate(plan.fates):
        if fate == DROPPED:
            continue
        kept.append(index)
        if fate in (ELIDED, CLAMPED):
            elided.append(index)
            if fate == CLAMPED:
                clamped.append(index)
            copy, tokens = plan.copies[index]
            out.append(cast(M, write_back(fmt, messages[index], views[index], copy)))
            out_tokens.append(tokens)
        else:
            out.append(messages[index])
            out_tokens.append(sizes[index])
    return TrimResult(messages=tuple(out), kept=tuple(kept), elided=tuple(elided),
                      tokens_before=sum(sizes) + overhead, tokens_after=plan.total,
                      half_life=half_life, over_budget=plan.over_budget, provider=fmt,
                      max_tokens=max_tokens, input_tokens=sizes, message_tokens=tuple(out_tokens),
                      clamped=tuple(clamped), overhead_tokens=overhead)
