"""Which messages of a history stay, which are elided, which go: the plan of one prompt.

The one-pass kernel ranks: every message scores weight x 2^(-age / half_life), and raising
the kernel's `safe_threshold` purges messages in that order, ballast (tool results 0.25,
thinking 0.15) before conversation (1.0), and the oldest of each first. Under a budget the
compactor first elides the purged messages that carry tool results, at the lowest threshold
that fits the target; when every tool result is a notice and the history still does not
fit, it drops the whole units of which nothing survives, again at the lowest threshold that
fits. Survival only shrinks as the threshold rises, so a binary search over the
single-precision thresholds finds it, and the kernel's own arithmetic decides every tie the
same way on every platform. Without a budget the caller's threshold decides alone.
"""

from __future__ import annotations

import math
import struct
from array import array
from bisect import bisect_left, bisect_right
from functools import partial
from itertools import compress
from operator import and_, itemgetter, not_, or_, xor
from dataclasses import dataclass, field
from typing import Callable, Sequence

import quorvex_micro

from ._elision import Copy, Eliser
from ._reading import DURABLE, Reading
from ._shapes import Shape, only_results

try:
    from . import _native
except ImportError:  # a tree without the build: trials are Python's alone
    _native = None  # type: ignore[assignment]

DROPPED, KEPT, ELIDED, CLAMPED, SHRUNK = 0, 1, 2, 3, 4  # SHRUNK: a notice of its handle alone
Units = tuple[list[int], list[int]]  # the starts and the ends of units, in order

_ABOVE_ONE = struct.unpack("<I", struct.pack("<f", 1.0))[0] + 1  # no weight of a non-durable
_CLAMP_FLOOR = 64  # tokens a clamped result keeps at least, so the model sees what it asked
_CLAMP_TRIES = 12
BARE_TOKENS = 400  # the largest request that stays when its turn goes
BARE_HALF_LIVES = 3  # how much longer than its turn a bare request stays
# Per-message flags are bytes of 0 and 1: these turn a message's fate into whether it was
# dropped, and a flag into its negation, at the speed of a copy.
_IS_DROPPED = bytes([1] + [0] * 255)
_NOT = bytes([1, 0] + [0] * 254)


def _from_bits(bits: int) -> float:
    return float(struct.unpack("<f", struct.pack("<I", bits))[0])


@dataclass
class Plan:
    """The fate of every message read, with the copies of those elided or clamped."""

    #: One byte per message: a compaction makes a plan at each of its trials.
    fates: bytearray
    copies: dict[int, Copy] = field(default_factory=dict)
    #: Tokens of the prompt the plan describes, with what is billed beside it.
    total: int = 0
    over_budget: bool = False
    #: The line budget each clamped message was cut to, so the cut can be made again.
    clamps: dict[int, int] = field(default_factory=dict)
    #: The requests that carry the notice of dropped messages, with those messages.
    notes: dict[int, tuple[int, ...]] = field(default_factory=dict)
    #: The requests that carry lines recalled for them, with that notice and its tokens.
    lookups: dict[int, tuple[str, int]] = field(default_factory=dict)

    def include(self, index: int, size: int, copy: Copy | None = None,
                fate: int = ELIDED) -> None:
        """Message `index` in the prompt: as its elided `copy` where that is smaller."""
        if copy is not None and copy[1] < size:
            self.fates[index] = fate
            self.copies[index] = copy
            self.total += copy[1]
        else:
            self.fates[index] = KEPT
            self.total += size


def requests_of(reading: Reading) -> list[int]:
    """The messages a person sent, after the stable prefix."""
    prefix = reading.stable_prefix()
    every = reading.requests()
    return every[bisect_left(every, prefix):]


def note_drops(reading: Reading, eliser: Eliser, plan: Plan, requests: list[int],
               bare: bytes | None = None, dropped: Sequence[int] | None = None) -> None:
    """Where the conversation keeps originals, nothing leaves without a trace: the dropped
    messages before each surviving request leave a notice in it naming their transcript's
    handle (those after the last one, in it too). A request left bare by its turn carries
    none: the notice goes on to the next whole turn, one for all of them. (`dropped`: per
    message, 1 where its fate is DROPPED, as a trial has it already.)"""
    if eliser.originals is None:
        return
    fates, n = plan.fates, len(plan.fates)
    kept = list(compress(requests, _at(fates, requests)))  # DROPPED is 0
    kept = [index for index in kept if not (
        bare is not None and bare[index] and index + 1 < n and fates[index + 1] == DROPPED)
    ] or kept
    if not kept:
        return
    # What went before each kept request is its notice's; what went after the last, the
    # last's. Read a stretch at a time: a long history has most of its messages gone.
    bounds = [-1, *kept[:-1], n]
    if dropped is None:
        dropped = bytes(fates.translate(_IS_DROPPED))
    spans = None if _native is None else _native.dropped_between(dropped, bounds,
                                                                  reading.numbers)
    if spans is None:
        spans = [tuple(compress(range(start + 1, end), dropped[start + 1:end]))
                 for start, end in zip(bounds, bounds[1:])]
    for request, indices in zip(kept, spans):
        if not indices:
            continue
        plan.notes[request] = indices
        plan.total += eliser.note(indices, reading.views, reading.sizes,
                                  later=request < indices[0])[2]


def _at(values: bytearray, indices: list[int]) -> Sequence[int]:
    """`values` at each of `indices`, in one call where there are several: every trial
    reads the fates of a long history's thousands of requests."""
    return itemgetter(*indices)(values) if len(indices) > 1 else [values[i] for i in indices]


def in_prompt(fates: bytearray) -> list[int]:
    """The messages that `fates` keep in the prompt, in any form."""
    return list(compress(range(len(fates)), fates))  # DROPPED is 0


def runs_in_prompt(fates: bytearray) -> list[tuple[int, int]]:
    """`in_prompt` as runs (start, stop): a prompt's messages are a few runs of many."""
    runs: list[tuple[int, int]] = []
    for index in in_prompt(fates):
        add_run(runs, index, index + 1)
    return runs


def add_run(runs: list[tuple[int, int]], start: int, stop: int) -> None:
    """Add the run (start, stop) after `runs`, joining the last where it ends at start."""
    if stop <= start:
        return
    if runs and runs[-1][1] == start:
        runs[-1] = (runs[-1][0], stop)
    else:
        runs.append((start, stop))


def kept_whole(reading: Reading) -> Plan:
    """Every message as it is."""
    return Plan(bytearray([KEPT]) * len(reading), total=reading.total())


@dataclass
class Layout:
    """What compaction may touch in one history, found once per compaction."""

    prefix: int
    #: Per message, 1 or 0 (as each flag below): a compaction's trials read them all.
    protected: bytes
    #: The starts and the ends of every droppable turn, and of every droppable call round:
    #: two lists, not a pair per unit, as a long history has thousands.
    turns: Units
    rounds: Units
    ballast: bytes  # carries a tool result that an elision can shorten
    alone: bytes  # durable messages that stay in place when their unit goes
    #: Requests that may stay when the turn they began goes, until the kernel's order takes
    #: them too: they are small, and they hold what the person typed (ids, numbers, limits).
    bare: bytes = b""
    newest: range = range(0)  # the newest call round: the only results that may be clamped


def pinned(reading: Reading) -> set[int]:
    """The messages the caller keeps whole: those `pin` accepts, the results of the tools
    named in `exclude_tools`, and the newest `keep_recent_results` messages holding results."""
    options, shape = reading.options, reading.shape
    pin = options.pin
    kept = set() if pin is None else {index for index, message in enumerate(reading.objects)
                                      if pin(message)}
    names = set(options.exclude_tools)
    if not names and options.keep_recent_results <= 0:
        return kept
    callers: dict[str, str] = {}
    holders: list[int] = []
    for index, view in enumerate(reading.views):
        callers.update(shape.calls(view))
        answered = shape.answered(view)
        if answered:
            holders.append(index)
            if any(callers.get(ident) in names for ident in answered):
                kept.add(index)
    if options.keep_recent_results > 0:
        kept.update(holders[-options.keep_recent_results:])
    return kept


def _ones(flags: bytearray, stop: int) -> list[int]:
    """Where `flags` holds 1 before `stop`: a few places of thousands, found by the scan of
    `find` rather than by a step per message."""
    found: list[int] = []
    at = flags.find(1, 0, stop)
    while at >= 0:
        found.append(at)
        at = flags.find(1, at + 1, stop)
    return found


def _free(starts: list[int], stops: list[int], holders: list[int], tail: int) -> bytearray:
    """Per unit (ascending, apart), 1 where no message in it holds: none of `holders`
    (ascending, all before `tail`) lies in it, and it ends by the tail, all of which holds.
    Each holder marks the unit around it, so a long history's thousands of units cost a
    copy, not a step each."""
    free = bytearray([1]) * len(starts)
    late = bisect_right(stops, tail)
    free[late:] = bytes(len(free) - late)
    for holder in holders:
        unit = bisect_right(starts, holder) - 1
        if unit >= 0 and holder < stops[unit]:
            free[unit] = 0
    return free


def _droppable(starts: list[int], stops: list[int], holders: list[int], tail: int,
               can_go: Callable[[int, int], bool] | None) -> Units:
    """The units that are free (see `_free`) and that `can_go`, if given, lets go."""
    free = _free(starts, stops, holders, tail)
    if can_go is not None:
        for unit in compress(range(len(free)), free):
            free[unit] = can_go(starts[unit], stops[unit])
    return list(compress(starts, free)), list(compress(stops, free))


def layout(reading: Reading) -> Layout:
    """The protected messages, the droppable turns and rounds, and what can be elided.

    Protected: the stable prefix, durable messages, pinned ones, the person's last request,
    the newest call round (the calls the model just made, with their results) and everything
    after the later of the two. A turn (a request and all up to the next) can go whole; a
    call round (the call and its results) can go out of a surviving turn, each as far as the
    shape allows.
    """
    views, shape = reading.views, reading.shape
    n, prefix = len(views), reading.stable_prefix()
    requests = requests_of(reading)
    ends = reading.rounds(prefix)
    calls = list(ends)
    last_request = requests[-1] if requests else n
    durable = reading.durable
    protected = bytearray(durable)
    protected[:prefix] = b"\x01" * min(prefix, n)
    for index in pinned(reading):
        protected[index] = True
    if calls:
        newest = calls[-1]
        for index in range(newest, ends[newest]):
            protected[index] = True
        tail = newest if newest > last_request else last_request
    else:
        tail = last_request if requests else prefix
    protected[tail:] = b"\x01" * (n - tail)
    if requests:
        protected[last_request] = True
    alone = bytearray(n)
    if shape.durable_stays_alone:
        alone[prefix:] = durable[prefix:]
    holding = bytearray(protected)
    for index in _ones(alone, tail):
        if index != last_request:
            holding[index] = False
    holders = _ones(holding, tail)
    rounds = _droppable(list(ends), list(ends.values()), holders, tail,
                        None if type(shape).round_can_go is Shape.round_can_go  # any goes
                        else partial(shape.round_can_go, views))
    turns = _droppable(requests, requests[1:] + [n] if requests else [], holders, tail,
                       None if type(shape).turn_can_go is Shape.turn_can_go
                       else partial(shape.turn_can_go, views))
    last_round = range(calls[-1], ends[calls[-1]]) if calls else range(0)
    bare = bytearray(n)  # by the request alone, so that a restored plan finds the same
    if shape.requests_stay_alone:
        size = reading.sizes.__getitem__ if reading.all_counted else reading.size
        for index in requests:
            bare[index] = size(index) <= BARE_TOKENS
    return Layout(prefix, bytes(protected), turns, rounds, bytes(reading.results),
                  bytes(alone), bytes(bare), last_round)


class _Trials:
    """Plans at kernel thresholds: elide what falls below one, drop units below another."""

    def __init__(self, reading: Reading, form: Layout, eliser: Eliser) -> None:
        self.reading, self.form, self.eliser = reading, form, eliser
        n = len(reading)
        self._blocks: list[tuple[str, int]] | None = None  # the kernel's input, if needed
        self.top = n + _ABOVE_ONE
        self._alive: dict[int, bytes] = {}  # survivors by the kernel's threshold
        self._all = b"\x01" * n
        self._classes = _packed(reading.classes)
        self.requests = requests_of(reading)
        # Per message, what every trial reads: a unit's survivors keep it, and a trial reads
        # them whole, a long history taking many trials. Flags are bytes of 0 and 1 (so a
        # level's survivors are a slice and a join), numbers array('q') bytes: the native
        # helpers read them without converting a list at every trial. Two flags' "or" is
        # that of the ints they spell, as no byte of either exceeds 1.
        either = (int.from_bytes(form.alone, "little")
                  | int.from_bytes(form.bare, "little")).to_bytes(n, "little")
        self.movable = either.translate(_NOT)
        self.not_alone = form.alone.translate(_NOT)
        self.whole = form.ballast.translate(_NOT)
        self.units = (_numbered(*form.turns, n), _numbered(*form.rounds, n))
        self._sizes: Sequence[int] | None = None
        self._tried: dict[tuple[bytes, bytes, bytes, bytes, int | None], Plan] = {}

    def packed_sizes(self) -> Sequence[int]:
        """The messages' tokens for the native helpers, packed once all are counted (until
        then, as they stand)."""
        if not self.reading.all_counted:
            return self.reading.sizes
        if self._sizes is None:
            self._sizes = _packed(self.reading.sizes)
        return self._sizes

    def survivors(self, level: int) -> bytes:
        """Who survives at `level`, 0 (all) to `top` (no non-durable message): above
        `len(history)` the level is the bits of the kernel's threshold; below, messages
        whose score underflowed to 0 go oldest first. Past about 150 half-lives every score
        is 0, and without that order a long history would lose all its old messages at once."""
        n = len(self.reading)
        if level == 0:
            return self._all  # every score is >= 0
        bits = max(level - n, 1)
        alive = self._alive.get(bits)
        if alive is None:  # kept for the trials to come
            alive = self._alive[bits] = self._alive_at(bits)
        if level < n:
            return alive[:level] + self._all[level:]
        return alive

    def _alive_at(self, bits: int) -> bytes:
        """The protected messages and the kernel's survivors at the threshold of `bits`."""
        half_life, threshold = self.reading.options.half_life, _from_bits(bits)
        alive = None if _native is None else _native.alive_at(
            self._classes, half_life, threshold, self.form.prefix, self.form.protected)
        if alive is not None:
            return alive
        # The kernel decides by position and class alone, so each block's content is its
        # own index: the texts it returns are the indices of the survivors.
        if self._blocks is None:
            self._blocks = [(str(index), cls) for index, cls in enumerate(self.reading.classes)]
        marked = bytearray(self.form.protected)
        for text in quorvex_micro.dehydrate(self._blocks, half_life, threshold,
                                            self.form.prefix)["kept"]:
            marked[int(text)] = True
        return bytes(marked)

    def _gone(self, staying: bytes, asking: bytes) -> Sequence[int]:
        """Who goes with a unit of which nothing survives in `staying`: a bare request goes
        only when it does not survive in `asking` either."""
        form = self.form
        if _native is not None:
            gone = _native.units_gone(staying, asking, self.movable, self.not_alone,
                                      form.bare, *self.units, len(form.turns[0]),
                                      len(form.rounds[0]))
            if gone is not None:
                return gone
        # The last entry stands for "in no unit", which never goes.
        turn_alive = [False] * len(form.turns[0]) + [True]
        round_alive = [False] * len(form.rounds[0]) + [True]
        holding = list(map(and_, staying, self.movable))
        turn_of, round_of = map(_unpacked, self.units)
        for number in compress(turn_of, holding):
            turn_alive[number] = True
        for number in compress(round_of, holding):
            round_alive[number] = True
        dead = map(or_, map(not_, map(turn_alive.__getitem__, turn_of)),
                   map(not_, map(round_alive.__getitem__, round_of)))
        asked = map(not_, map(and_, form.bare, asking))
        return bytes(map(and_, map(and_, self.not_alone, asked), dead))

    def later(self, level: int) -> int:
        """The level at which what `level` purges would go were it `BARE_HALF_LIVES`
        half-lives younger: where a bare request goes that its turn went at `level`."""
        n = len(self.reading)
        if level <= n:  # oldest first: as many messages further back
            back = BARE_HALF_LIVES * self.reading.options.kernel_half_life  # inf: no decay
            return 0 if back >= level else level - math.ceil(back)
        threshold = _from_bits(level - n) / 2 ** BARE_HALF_LIVES
        bits: int = struct.unpack("<I", struct.pack("<f", threshold))[0]
        return n + max(bits, 1)

    def plan(self, elide_at: int, drop_at: int, ask_at: int = 0, shrink_at: int = 0,
             bound: int | None = None) -> Plan:
        """Elide the ballast that falls at level `elide_at`, drop the units gone at
        `drop_at` but for their bare requests, which go at `ask_at`, and shrink to their
        handles the notices of results that fall at `shrink_at`. Where what stays whole
        already exceeds `bound`, no notice is made: the plan's total is then that part
        alone, over `bound` as the whole would be (most trials of a long history end so).

        A plan is made once for the same survivors: the search tries many levels between
        two messages' scores, and most of a compaction's trials repeat one before."""
        alive = self.survivors(elide_at)
        staying = alive if drop_at == elide_at else self.survivors(drop_at)
        kept = alive if shrink_at == elide_at else self.survivors(shrink_at)
        key = (alive, staying, self.survivors(ask_at), kept, bound)
        plan = self._tried.get(key)
        if plan is None:
            plan = self._tried[key] = self._plan(*key)
        return plan

    def _plan(self, alive: bytes, staying: bytes, asking: bytes, kept: bytes,
              bound: int | None) -> Plan:
        gone = self._gone(staying, asking)
        reading, eliser = self.reading, self.eliser
        views, size = reading.views, reading.size
        fates, whole, known, shortened = _fates(gone, alive, self.whole, reading.sizes,
                                                self.packed_sizes())
        plan = Plan(fates, total=reading.counted(whole, reading.options.overhead + known,
                                                 bound))
        if bound is not None and plan.total > bound:
            return plan
        for index in shortened:
            tokens = size(index)
            if kept[index] or not only_results(views[index]):
                plan.include(index, tokens, eliser.elide(index, views[index], tokens))
            else:
                plan.include(index, tokens, eliser.purge(index, views[index], tokens), SHRUNK)
        note_drops(self.reading, eliser, plan, self.requests, self.form.bare, gone)
        return plan


def _numbered(starts: list[int], stops: list[int], n: int) -> Sequence[int]:
    """Per message of `n`, the number of the unit holding it (from `starts[k]` to
    `stops[k]`), or -1, packed."""
    numbers = None if _native is None else _native.unit_numbers(starts, stops, n)
    if numbers is not None:
        return numbers
    of = [-1] * n
    for number, (start, end) in enumerate(zip(starts, stops)):
        of[start:end] = [number] * (end - start)
    return _packed(of)


def _unpacked(numbers: Sequence[int]) -> Sequence[int]:
    """Numbers `_packed` made, as ints."""
    if isinstance(numbers, bytes):
        read = array("q")
        read.frombytes(numbers)
        return read
    return numbers


def _packed(numbers: list[int]) -> Sequence[int]:
    """`numbers` as array('q') bytes, or as they are where one does not fit 64 bits (a
    counter's wild count: the native helpers decline it either way)."""
    try:
        return array("q", numbers).tobytes()
    except OverflowError:
        return numbers


def _fates(gone: Sequence[int], alive: Sequence[int], whole_kind: Sequence[int],
           sizes: list[int], packed: Sequence[int]
           ) -> tuple[bytearray, Sequence[int], int, list[int]]:
    """A trial's fates (KEPT is 1 and DROPPED 0: whether a message stays), which stay
    whole (alive, or of a kind no elision shortens), their tokens, and which stay
    shortened (`packed`: the same `sizes` as the native helper reads them)."""
    if _native is not None:
        found = _native.fates(gone, alive, whole_kind, packed)
        if found is not None:
            return found
    fates = bytearray(map(not_, gone))
    whole = bytes(map(and_, fates, map(or_, alive, whole_kind)))
    shortened = list(compress(range(len(sizes)), map(xor, fates, whole)))
    return fates, whole, sum(compress(sizes, whole)), shortened


Stage = Callable[[int, "int | None"], Plan]  # a plan at a level, bounded as `plan` is


def _lowest(fits: Stage, top: int, target: int) -> Plan:
    """The plan at the lowest level that fits, given that the highest one does."""
    low, high = 0, top
    best = fits(high, None)
    while high - low > 1:
        middle = (low + high) // 2
        trial = fits(middle, target)
        if trial.total <= target:
            high, best = middle, trial
        else:
            low = middle
    return best


def compact(reading: Reading, eliser: Eliser, *, target: int, budget: int) -> Plan:
    """The plan that keeps most while its tokens (with what is billed beside) stay within
    `target`. The newest results are clamped only to meet `budget`: a target below the
    budget is an aim, and cutting what the model just asked for is no way to reach it."""
    eliser.forget_notes()
    plan = _compact(reading, eliser, min(target, budget), budget)
    eliser.forget_notes(plan.notes)
    return plan


def _compact(reading: Reading, eliser: Eliser, target: int, budget: int) -> Plan:
    form = layout(reading)
    trials = _Trials(reading, form, eliser)
    top = trials.top
    # The gentlest cut first: tool results become notices with their notable lines, in the
    # kernel's order; then whole units go, oldest first, each leaving its handle in a
    # notice where the originals are kept, their requests outlasting them where the format
    # lets a request stand alone; only then do notices shrink to their handles.
    # (Shrinking before dropping keeps more messages but far fewer of the facts that later
    # calls need: the notable lines are where those sit.)
    stages: list[Stage] = [lambda level, bound: trials.plan(level, 0, bound=bound),
                           lambda level, bound: trials.plan(top, level, trials.later(level),
                                                            bound=bound),
                           lambda level, bound: trials.plan(top, top, level, bound=bound)]
    if eliser.originals is not None:
        stages.append(lambda level, bound: trials.plan(top, top, top, level, bound=bound))

    def gentlest(aim: int) -> Plan | None:
        for stage in stages:
            if stage(top, aim).total <= aim:
                return _lowest(stage, top, aim)
        return None

    best = trials.plan(0, 0, bound=target)
    if best.total <= target:
        return best
    found = gentlest(target)
    if found is not None:
        return found
    floor = stages[-1](top, None)
    if floor.total > budget:
        return _clamped(reading, form, eliser, floor, budget)
    # The target is out of reach: aim halfway between what must stay and the budget.
    found = gentlest((floor.total + budget) // 2)
    assert found is not None  # the floor itself is within that aim
    return found


def _clamped(reading: Reading, form: Layout, eliser: Eliser, plan: Plan, target: int) -> Plan:
    """`plan` cut further until it fits if it can: older results that share a protected
    message (an Anthropic request after tool results) become notices, then the newest
    results are clamped, largest first."""
    views, size = reading.views, reading.size
    total = plan.total
    for index in range(form.prefix, len(views)):
        if (total > target and form.protected[index] and form.ballast[index]
                and index not in form.newest and plan.fates[index] == KEPT):
            copy = eliser.elide(index, views[index], size(index))
            if copy[1] < size(index):
                plan.fates[index] = ELIDED
                plan.copies[index] = copy
                total += copy[1] - size(index)
    candidates = sorted((index for index in form.newest
                         if form.ballast[index] and plan.fates[index] == KEPT),
                        key=lambda index: (-size(index), index))
    for index in candidates:
        if total <= target:
            break
        budget, copy = _clamp_to(reading, eliser, index, total - size(index), target)
        if copy[1] < size(index):
            plan.fates[index] = CLAMPED
            plan.copies[index] = copy
            plan.clamps[index] = budget
            total += copy[1] - size(index)
    plan.total = total
    plan.over_budget = total > target
    return plan


def _clamp_to(reading: Reading, eliser: Eliser, index: int, others: int,
              target: int) -> tuple[int, Copy]:
    """The line budget that brings message `index` within `target` beside `others` tokens,
    and the copy clamped to exactly that budget (a restored plan cuts it again from the
    budget alone). The notice's own lines cost a little beyond the lines it keeps: cut again
    by the excess, a few times at most."""
    view, tokens = reading.views[index], reading.size(index)
    budget = max(target - others, _CLAMP_FLOOR)
    copy = eliser.clamp(index, view, budget, tokens)
    for tries in range(_CLAMP_TRIES):
        excess = others + copy[1] - target
        if excess <= 0 or budget == _CLAMP_FLOOR:
            break
        # Cutting more lines adds markers of its own, so a cut by the excess alone can
        # fall short again and again: the later cuts grow until the copy fits.
        budget = max(budget - (excess << max(tries - 3, 0)), _CLAMP_FLOOR)
        copy = eliser.clamp(index, view, budget, tokens)
    return budget, copy


def decay(reading: Reading, eliser: Eliser, safe_threshold: float) -> Plan:
    """The plan of the decay law alone: every message survives while its score reaches
    `safe_threshold`; the stable prefix and the open turn always stay; a request stays while
    anything it led to does, so that no answer outlives its question; units go whole, and
    in a surviving unit every purged message becomes a notice."""
    views, shape = reading.views, reading.shape
    prefix = reading.stable_prefix()
    blocks = [(str(index), cls) for index, cls in enumerate(reading.classes)]
    survivors = quorvex_micro.dehydrate(blocks, reading.options.kernel_half_life,
                                        safe_threshold, prefix)["kept"]
    alive = [False] * len(views)
    for text in survivors:
        alive[int(text)] = True
    start = max(shape.open_turn(views), prefix)
    alive[start:] = [True] * (len(views) - start)
    requests = [index for index in range(prefix, len(views)) if shape.is_request(views[index])]
    led = [alive[index] and not reading.classes[index] & DURABLE for index in range(len(views))]
    for request, after in zip(requests, requests[1:] + [len(views)]):
        alive[request] = alive[request] or any(led[request + 1:after])
    plan = Plan(bytearray(len(views)))  # DROPPED is 0
    for unit in shape.units(views):
        if any(alive[index] for index in unit) or shape.unit_always_stays(views, unit):
            for index in unit:
                _decayed(reading, eliser, plan, index, alive[index] or (
                    index == unit[0] and shape.makes_calls(views[index])))
    return plan


def _decayed(reading: Reading, eliser: Eliser, plan: Plan, index: int, whole: bool) -> None:
    """Message `index` of a surviving unit: whole, or a notice where one can be written."""
    view, tokens = reading.views[index], reading.size(index)
    elided = not whole and (reading.format.writes_any_part or only_results(view))
    plan.include(index, tokens, eliser.purge(index, view, tokens) if elided else None)
