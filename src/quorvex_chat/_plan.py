"""Compaction under a budget: which messages of a history stay, which are elided, which go.

The one-pass kernel ranks: every message scores weight x 2^(-age / half_life), and raising
the kernel's `safe_threshold` purges messages in that order, ballast (tool results 0.25,
thinking 0.15) before conversation (1.0), and the oldest of each first. The compactor first
elides the purged messages that carry tool results, at the lowest threshold that fits the
target; when every tool result is a notice and the history still does not fit, it drops the
whole units of which nothing survives, again at the lowest threshold that fits. Survival
only shrinks as the threshold rises, so a binary search over the single-precision
thresholds finds it, and the kernel's own arithmetic decides every tie the same way on
every platform.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Mapping, Sequence

import quorvex_micro

from ._formats import ATTACHED, Base
from ._history import Message, is_request, round_end
from ._notable import KEEP_WHOLE_TOKENS, clamp_notice, elision_notice

FLOOD_NOTICE = "[flood collapsed: "  # how `screen` begins its notices

DROPPED, KEPT, ELIDED, CLAMPED = 0, 1, 2, 3

_ABOVE_ONE = struct.unpack("<I", struct.pack("<f", 1.0))[0] + 1  # no weight of a non-durable
_CLAMP_FLOOR = 64  # tokens a clamped result keeps at least, so the model sees what it asked


def _from_bits(bits: int) -> float:
    return float(struct.unpack("<f", struct.pack("<I", bits))[0])


def makes_calls(message: Message, provider: Base) -> bool:
    """An assistant message that calls tools."""
    if message.get("role") != "assistant":
        return False
    if provider == "openai":
        return bool(message.get("tool_calls"))
    content = message.get("content")
    return isinstance(content, list) and any(
        isinstance(part, Mapping) and part.get("type") == "tool_use" for part in content)


def _result_parts(message: Message) -> list[Mapping[str, Any]]:
    content = message.get("content")
    return [part for part in content if isinstance(part, Mapping)
            and part.get("type") == "tool_result"] if isinstance(content, list) else []


def _text_of(content: object) -> str:
    if isinstance(content, str):
        return content
    if isinstance(content, list):
        return "\n".join(str(part.get("text", "")) for part in content
                         if isinstance(part, Mapping) and part.get("type") == "text")
    return ""


@dataclass
class Shape:
    """What compaction needs to know of a history, computed once per history."""

    provider: Base
    prefix: int
    protected: list[bool]
    turns: list[tuple[int, int]]  # (start, end) of every droppable turn
    rounds: list[tuple[int, int]]  # (start, end) of every droppable call round
    ballast: list[bool]  # carries a tool result that an elision can shorten
    #: Durable messages that stay where they are when their unit goes (OpenAI accepts a
    #: system or developer message anywhere, so one need not hold its turn back).
    alone: list[bool]
    #: The newest call round: the only results that may be clamped.
    newest: range = range(0)


def pinned_by(messages: Sequence[Message], provider: Base, *,
              pin: Callable[[Message], bool] | None = None, exclude_tools: Iterable[str] = (),
              keep_recent_results: int = 0) -> set[int]:
    """The messages a caller keeps whole: those `pin` accepts, the results of the tools named
    in `exclude_tools`, and the newest `keep_recent_results` messages holding results."""
    kept = {index for index, message in enumerate(messages) if pin is not None and pin(message)}
    names = set(exclude_tools)
    callers: dict[str, str] = {}
    holders: list[int] = []
    for index, message in enumerate(messages):
        content = message.get("content")
        if provider == "openai":
            for call in message.get("tool_calls") or ():
                if isinstance(call, Mapping) and isinstance(call.get("function"), Mapping):
                    callers[str(call.get("id"))] = str(call["function"].get("name"))
            if message.get("role") == "tool":
                holders.append(index)
                if callers.get(str(message.get("tool_call_id"))) in names:
                    kept.add(index)
            continue
        for part in content if isinstance(content, list) else ():
            if isinstance(part, Mapping) and part.get("type") == "tool_use":
                callers[str(part.get("id"))] = str(part.get("name"))
        results = _result_parts(message)
        if results:
            holders.append(index)
            if any(callers.get(str(part.get("tool_use_id"))) in names for part in results):
                kept.add(index)
    if keep_recent_results > 0:
        kept.update(holders[-keep_recent_results:])
    return kept


def shape(messages: Sequence[Message], provider: Base, prefix: int,
          durable: Sequence[bool], pinned: Iterable[int] = ()) -> Shape:
    """The protected messages, the droppable turns and rounds, and what can be elided.

    Protected: the stable prefix, durable messages, the person's last request, the newest
    call round (the calls the model just made, with their results) and everything after
    the later of the two. A turn (a request and all up to the next) can go whole; a call
    round (the call and its results) can go out of a surviving turn. For Anthropic a unit
    goes only when the roles still alternate without it and no tool result of it stands in
    a message that stays.
    """
    n = len(messages)
    requests = [index for index in range(prefix, n) if is_request(messages[index], provider)]
    calls = [index for index in range(prefix, n) if makes_calls(messages[index], provider)]
    last_request = requests[-1] if requests else n
    tail = n
    protected = [index < prefix or bool(durable[index]) for index in range(n)]
    for index in pinned:
        protected[index] = True
    ends: dict[int, int] = {}
    if provider == "openai":
        starts: list[int] = []
        for call in calls:
            if starts and call < ends[starts[-1]]:
                continue  # a parallel call of the round before, as its own item
            start = call
            while start > prefix and messages[start - 1].get(ATTACHED):
                start -= 1  # reasoning goes with the calls it led to
            starts.append(start)
            ends[start] = round_end(messages, call)
        calls = starts
    else:
        for start in calls:
            end = start + 1
            if end < n and messages[end].get("role") == "user":
                end += 1
            ends[start] = end
    if calls:
        newest = calls[-1]
        for index in range(newest, ends[newest]):
            protected[index] = True
        tail = newest if newest > last_request else last_request
    elif requests:
        tail = last_request
    else:
        tail = prefix
    for index in range(tail, n):
        protected[index] = True
    if requests:
        protected[last_request] = True

    anthropic = provider == "anthropic"
    alone = [not anthropic and bool(durable[index]) and index >= prefix for index in range(n)]
    pinned = [protected[index] and not (alone[index] and index < tail and index != last_request)
              for index in range(n)]

    def free(start: int, end: int) -> bool:
        return not any(pinned[start:end])

    rounds = []
    for start in calls:
        end = ends[start]
        if not free(start, end):
            continue
        if anthropic and (end - start != 2 or is_request(messages[end - 1], provider)):
            continue  # the results share a message with a request: that message stays
        rounds.append((start, end))
    turns = []
    bounds = requests + [n]
    for start, end in zip(bounds, bounds[1:]):
        if not free(start, end):
            continue
        if anthropic and (messages[end - 1].get("role") != "assistant"
                          or _result_parts(messages[start])
                          or (end < n and _result_parts(messages[end]))
                          or (start > 0 and messages[start - 1].get("role") != "assistant")):
            continue
        turns.append((start, end))
    ballast = [bool(messages[index].get("role") == "tool" or _result_parts(messages[index]))
               for index in range(n)]
    last_round = range(calls[-1], ends[calls[-1]]) if calls else range(0)
    return Shape(provider, prefix, protected, turns, rounds, ballast, alone, last_round)


class Eliser:
    """Elided and clamped copies of messages, made once per message and kept."""

    def __init__(self, count: Callable[[str], int], cost: Callable[[object], int],
                 counter: Callable[[str], int] | None = None) -> None:
        self.count = count
        self.cost = cost
        self.counter = counter
        self.elided: dict[int, tuple[dict[str, Any], int]] = {}

    def elide(self, index: int, message: Message) -> tuple[dict[str, Any], int]:
        """A copy whose tool results are notices with their notable lines, and its tokens."""
        if index not in self.elided:
            self.elided[index] = self._copy(message, None)
        return self.elided[index]

    def clamp(self, message: Message, budget: int) -> tuple[dict[str, Any], int]:
        return self._copy(message, budget)

    def _notice(self, content: object, budget: int | None) -> str | None:
        tokens = self.cost(content)
        if budget is None and tokens <= KEEP_WHOLE_TOKENS:
            return None
        text = _text_of(content) if not isinstance(content, str) else content
        if text.startswith(FLOOD_NOTICE):
            return None  # already as small as it should get
        if budget is None:
            return elision_notice(text, tokens, self.count, self.counter)
        return clamp_notice(text, tokens, budget, self.count)

    def _copy(self, message: Message, budget: int | None) -> tuple[dict[str, Any], int]:
        content = message.get("content")
        if message.get("role") == "tool":
            notice = self._notice(content, budget)
            if notice is None:
                return dict(message), self.cost(content)
            return {**message, "content": notice}, self.count(notice)
        parts: list[Any] = []
        tokens = 0
        results = [part for part in content if isinstance(part, Mapping)
                   and part.get("type") == "tool_result"] if isinstance(content, list) else []
        share = None if budget is None else max(budget // max(len(results), 1), 1)
        for part in content if isinstance(content, list) else ():
            if isinstance(part, Mapping) and part.get("type") == "tool_result":
                notice = self._notice(part.get("content"), share)
                if notice is not None:
                    parts.append({key: value for key, value in part.items()
                                  if key not in ("content", "cache_control")}
                                 | {"content": notice})
                    tokens += self.count(notice)
                    continue
            parts.append(part)
            tokens += self.cost([part])
        return {**message, "content": parts}, tokens


@dataclass
class Plan:
    fates: list[int]
    copies: dict[int, tuple[dict[str, Any], int]]
    total: int
    over_budget: bool
    #: The line budget each clamped message was cut to, so the cut can be made again.
    clamps: dict[int, int] = field(default_factory=dict)


def compact(messages: Sequence[Message], sizes: Sequence[int], classes: Sequence[int],
            form: Shape, eliser: Eliser, *, target: int, half_life: float,
            overhead: int = 0, budget: int | None = None) -> Plan:
    """The plan that keeps most while `overhead` + its tokens stay within `target`.

    The newest results are clamped only to meet `budget` (default `target`): a target below
    the budget is an aim, and cutting what the model just asked for is no way to reach it.
    """
    budget = target if budget is None else budget
    if target > budget:
        target = budget
    n = len(messages)
    blocks = [(str(index), cls) for index, cls in enumerate(classes)]
    turn_of = [-1] * n
    for number, (start, end) in enumerate(form.turns):
        for index in range(start, end):
            turn_of[index] = number
    round_of = [-1] * n
    for number, (start, end) in enumerate(form.rounds):
        for index in range(start, end):
            round_of[index] = number

    def survivors(bits: int) -> list[bool]:
        if bits == 0:
            return [True] * n  # every score is >= 0
        kept = quorvex_micro.dehydrate(blocks, half_life, _from_bits(bits), form.prefix)["kept"]
        alive = form.protected[:]
        for text in kept:
            alive[int(text)] = True
        return alive

    def plan(elide_bits: int, drop_bits: int) -> Plan:
        alive = survivors(elide_bits)
        staying = alive if drop_bits == elide_bits else survivors(drop_bits)
        turn_alive = [False] * len(form.turns)
        round_alive = [False] * len(form.rounds)
        for index in range(n):
            if staying[index] and not form.alone[index]:
                if turn_of[index] >= 0:
                    turn_alive[turn_of[index]] = True
                if round_of[index] >= 0:
                    round_alive[round_of[index]] = True
        fates = [KEPT] * n
        copies: dict[int, tuple[dict[str, Any], int]] = {}
        total = overhead
        for index in range(n):
            if ((turn_of[index] >= 0 and not turn_alive[turn_of[index]]
                 or round_of[index] >= 0 and not round_alive[round_of[index]])
                    and not form.alone[index]):
                fates[index] = DROPPED
                continue
            if not alive[index] and form.ballast[index]:
                copy = eliser.elide(index, messages[index])
                if copy[1] < sizes[index]:
                    fates[index] = ELIDED
                    copies[index] = copy
                    total += copy[1]
                    continue
            total += sizes[index]
        return Plan(fates, copies, total, False)

    def lowest(fits: Callable[[int], Plan]) -> Plan:
        """The plan at the lowest threshold that fits, given that the highest one does."""
        low, high = 0, _ABOVE_ONE
        best = fits(high)
        while high - low > 1:
            middle = (low + high) // 2
            trial = fits(middle)
            if trial.total <= target:
                high, best = middle, trial
            else:
                low = middle
        return best

    # Elide before dropping: first tool results alone, in the kernel's order; only when
    # every one of them is a notice do whole units go, in the same order.
    best = plan(0, 0)
    if best.total <= target:
        return best
    if plan(_ABOVE_ONE, 0).total <= target:
        return lowest(lambda bits: plan(bits, 0))
    floor = plan(_ABOVE_ONE, _ABOVE_ONE)
    if floor.total > budget:
        return _clamped(messages, sizes, form, eliser, floor, budget)
    if floor.total > target:  # unreachable: aim halfway between what must stay and the budget
        target = (floor.total + budget) // 2
    return lowest(lambda bits: plan(_ABOVE_ONE, bits))


def _clamped(messages: Sequence[Message], sizes: Sequence[int], form: Shape, eliser: Eliser,
             plan: Plan, target: int) -> Plan:
    """`plan` cut further until it fits if it can: older results that share a protected
    message (an Anthropic request after tool results) become notices, then the newest
    results are clamped, largest first."""
    total = plan.total
    for index in range(form.prefix, len(messages)):
        if (total > target and form.protected[index] and form.ballast[index]
                and index not in form.newest and plan.fates[index] == KEPT):
            copy = eliser.elide(index, messages[index])
            if copy[1] < sizes[index]:
                plan.fates[index] = ELIDED
                plan.copies[index] = copy
                total += copy[1] - sizes[index]
    candidates = sorted((index for index in form.newest
                         if form.ballast[index] and plan.fates[index] == KEPT),
                        key=lambda index: (-sizes[index], index))
    for index in candidates:
        if total <= target:
            break
        # The notice's own lines cost a little beyond the lines it keeps: cut again by the
        # excess, a few times at most.
        budget = sizes[index] - (total - target)
        for _ in range(4):
            budget = max(budget, _CLAMP_FLOOR)
            copy = eliser.clamp(messages[index], budget)
            excess = total - sizes[index] + copy[1] - target
            if excess <= 0 or budget == _CLAMP_FLOOR:
                break
            budget -= excess
        if copy[1] < sizes[index]:
            plan.fates[index] = CLAMPED
            plan.copies[index] = copy
            plan.clamps[index] = budget
            total += copy[1] - sizes[index]
    plan.total = total
    plan.over_budget = total > target
    return plan
