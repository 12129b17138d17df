"""`render`: the prompt a plan describes, in the caller's own messages."""

from __future__ import annotations

from bisect import bisect_left
from collections.abc import Sequence
from typing import Any, TypeVar, cast

from ._elision import Copy, Eliser
from ._plan import CLAMPED, KEPT, SHRUNK, Plan, in_prompt
from ._reading import Reading
from ._result import Counts, TrimResult

M = TypeVar("M")


def copy_of(reading: Reading, plan: Plan, eliser: Eliser, index: int) -> Copy:
    """The elided or clamped copy of message `index`, made again from the plan when a
    restored plan holds no copies."""
    copy = plan.copies.get(index)
    if copy is None:
        view, fate = reading.views[index], plan.fates[index]
        size = None if reading.deferred[index] else reading.sizes[index]
        copy = (eliser.clamp(index, view, plan.clamps[index], size) if fate == CLAMPED
                else eliser.purge(index, view, size) if fate == SHRUNK
                else eliser.elide(index, view, size))
        plan.copies[index] = copy
    return copy


def counts_of(reading: Reading) -> Counts:
    """The input's tokens as a result reports them, when first read: what a lazy reading
    has yet to count is counted then, and a conversation's call, which appends to what it
    read, copies its tokens only for a caller who reads them."""
    length = len(reading)
    if reading.lazy:
        return Counts(reading.counts, length)
    sizes, total = reading.sizes, reading.total()  # appended to only, so a prefix holds
    return Counts(lambda: (tuple(sizes[:length]), total), length)


def render(reading: Reading, plan: Plan, history: Sequence[M], eliser: Eliser, *,
           stable: int = 0) -> TrimResult[M]:
    """The prompt of `plan` for `history`: each kept message the very object given, each
    elided one a copy of the same type with its notices in place. The messages before input
    index `stable` stay as they are until the next compaction."""
    fmt = reading.format
    messages: list[M] = []
    elided: list[int] = []
    clamped: list[int] = []
    tokens: list[int] = []
    fates = plan.fates
    kept = in_prompt(fates)  # a long history's prompt holds few of its messages
    for index in kept:
        fate = fates[index]
        message: Any
        if fate == KEPT:
            message, cost = history[index], reading.size(index)
        else:
            if fate == CLAMPED:
                clamped.append(index)
            view, cost = copy_of(reading, plan, eliser, index)
            message = fmt.write_back(history[index], reading.views[index], view)
        if index in plan.notes:
            notice, extra = eliser.kept_note(plan.notes[index], index < plan.notes[index][0],
                                            reading.views)
            message, cost = fmt.write_note(message, notice), cost + extra
        if index in plan.lookups:
            notice, extra = plan.lookups[index]
            message, cost = fmt.write_note(message, notice), cost + extra
        if message is not history[index]:
            elided.append(index)
        messages.append(cast(M, message))
        tokens.append(cost)
    overhead = reading.options.overhead
    return TrimResult(messages=tuple(messages), kept=tuple(kept), elided=tuple(elided),
                      tokens_after=sum(tokens) + overhead,
                      half_life=reading.options.kernel_half_life,
                      over_budget=plan.over_budget, provider=reading.provider,
                      max_tokens=reading.options.max_tokens, _counts=counts_of(reading),
                      message_tokens=tuple(tokens), clamped=tuple(clamped),
                      overhead_tokens=overhead, stable_messages=bisect_left(kept, stable))


def extended(last: TrimResult[M], reading: Reading, history: Sequence[M],
             stable: int, plan: Plan) -> TrimResult[M]:
    """`last`, the prompt of the same plan, with the messages appended since kept whole
    (but for the lines recalled for a new request, which it carries)."""
    start = len(last._counts)
    end = len(history)
    added = reading.sizes[start:]
    appended = list(history[start:])
    elided = last.elided
    for index in range(start, end):
        if index in plan.lookups:
            notice, extra = plan.lookups[index]
            appended[index - start] = reading.format.write_note(appended[index - start],
                                                                notice)
            added[index - start] += extra
            elided += (index,)
    kept = last.kept + tuple(range(start, end))
    return TrimResult(messages=last.messages + tuple(appended), kept=kept,
                      elided=elided, tokens_after=last.tokens_after + sum(added),
                      half_life=last.half_life, over_budget=False, provider=last.provider,
                      max_tokens=last.max_tokens, _counts=counts_of(reading),
                      message_tokens=last.message_tokens + tuple(added), clamped=last.clamped,
                      overhead_tokens=last.overhead_tokens,
                      stable_messages=bisect_left(kept, stable))
