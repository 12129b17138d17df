"""Elided copies of views: tool results become notices, made once per message and kept.

Under a budget a result is elided to a notice that keeps its notable lines, and the newest
results, when even they do not fit, are clamped to their head, notable lines and tail.
Without a budget (decay alone) every purged part of a surviving unit becomes a notice of its
size, so that what stays reads as the conversation it was.
"""

from __future__ import annotations

from bisect import bisect_left, bisect_right
from collections.abc import Iterable, Iterator, Mapping, Sequence
from heapq import heapify, heappop
from itertools import accumulate, compress, islice, repeat
from operator import itemgetter, le
from typing import Any

from ._measure import Meter, to_json
from ._notable import (KEEP_WHOLE_TOKENS, NOTABLE_LINES, NOTABLE_TOKENS, Notable, clamp_notice,
                       cut, elision_notice, line_score, read_notable)
from ._recall import Originals, digest_of, encoded, hasher, short_handle, with_handle
from ._shapes import View, holds_results

FLOOD_NOTICE = "[flood collapsed: "  # how `screen` begins its notices

Copy = tuple[View, int]  # an elided view and its tokens


def _text_of(content: object) -> str:
    if isinstance(content, str):
        return content
    if isinstance(content, list):
        return "\n".join(str(part.get("text", "")) for part in content
                         if isinstance(part, Mapping) and part.get("type") == "text")
    return ""


def _is_result(part: object) -> bool:
    return isinstance(part, Mapping) and part.get("type") == "tool_result"


def _without_content(part: Mapping[str, Any], notice: str) -> dict[str, Any]:
    """A tool result part holding `notice`: its id (and is_error) kept, its cache mark not."""
    return {key: value for key, value in part.items()
            if key not in ("content", "cache_control")} | {"content": notice}


def _shown(view: View) -> str:
    """A view as a line or more of plain text, for the transcript of what was dropped."""
    return "".join(_shown_pieces(view))


#: The pieces between others in transcripts, made once: a store holds a transcript as its
#: pieces, and every part of every compaction would otherwise hold its own copies.
_PREFIXES = {role: f"{role}: " for role in ("user", "assistant", "tool", "system", "model",
                                            "developer", "function")}
_RESULT, _LINE, _MESSAGES = "(result) ", "\n", "\n\n"


def _shown_pieces(view: View) -> list[str]:
    """`_shown(view)` as the strings it joins, the message's own texts among them."""
    content = view.get("content")
    role = view.get("role")
    pieces = [(_PREFIXES.get(role) if isinstance(role, str) else None) or f"{role}: "]
    for part in [{"type": "text", "text": content}] if isinstance(content, str) else \
            content if isinstance(content, list) else ():
        if len(pieces) > 1:
            pieces.append(_LINE)
        kind = part.get("type") if isinstance(part, Mapping) else None
        if kind == "tool_result":
            result = part.get("content")
            pieces += (_RESULT, _text_of(result) or to_json(result))
        elif kind == "tool_use":
            pieces.append(f"(call {part.get('name')}) {to_json(part.get('input'))}")
        elif kind == "thinking":
            pieces.append(f"(thinking) {part.get('thinking')}")
        elif isinstance(part, Mapping) and isinstance(part.get("text"), str):
            pieces.append(part["text"])
        else:
            pieces.append(to_json(part))
    for call in view.get("tool_calls") or ():
        function = call.get("function") if isinstance(call, Mapping) else None
        if isinstance(function, Mapping):
            if len(pieces) > 1:
                pieces.append(_LINE)
            pieces.append(f"(call {function.get('name')}) {function.get('arguments')}")
    return pieces


#: A digest round's order: its keys (-score, message, tokens), sorted, and their messages
#: and tokens apart (read at the speed of a copy), with how many messages offered it holds.
Order = tuple[list[tuple[float, int, int]], list[int], list[int], int]


def _ordered(keys: list[tuple[float, int, int]], added: int) -> Order:
    return keys, list(map(itemgetter(1), keys)), list(map(itemgetter(2), keys)), added


class Stretch:
    """Messages by index as a key: a dropped stretch of a long history holds thousands, a
    tuple hashes every one at each lookup, and a compaction's trials look the same
    stretches up again and again. Hashed by its ends and length, compared whole."""

    __slots__ = ("indices", "later", "_hash")

    def __init__(self, indices: tuple[int, ...], later: bool = False) -> None:
        self.indices, self.later = indices, later
        self._hash = hash((len(indices), indices[:1], indices[-1:], later))

    def __hash__(self) -> int:
        return self._hash

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, Stretch) and self._hash == other._hash
                and self.later == other.later and self.indices == other.indices)


Note = tuple[list[Stretch], str, int]  # the parts' messages, the notice, its tokens
NOTE_PARTS = 16  # the most pieces a notice's stretch of dropped messages spans
#: What the notice of dropped messages keeps of what they said, at most.
DIGEST_TOKENS = 2 * NOTABLE_TOKENS
DIGEST_LINE_TOKENS = NOTABLE_TOKENS // NOTABLE_LINES
#: The digest grows with the budget, to this share of a recalled part (a quarter of the
#: budget): an eighth of the budget. Chosen on generated sessions whose facts are needed up
#: to 300 messages later, where it kept 46% of them in the prompt at 8,000 tokens for 0.27x
#: the cost of no trimming; a quarter kept 49% for 0.31x, but its notice took so much of a
#: compacted prompt that the example session compacted half as often again.
DIGEST_SHARE = 0.5
#: The digest hears from the newest this many of a notice's messages; those before are
#: behind its handles alone. Reading every dropped message for its most notable line made
#: the first call on a long history cost as much again as counting it, and a digest holds a
#: few dozen lines however long its stretch: 2,048 messages reach well past the 300 after
#: which the sessions that chose the digest's share need their facts.
DIGEST_REACH = 2048


def _result_texts(view: View) -> list[str]:
    """The texts of a view's tool results."""
    content = view.get("content")
    if view.get("role") == "tool":
        return [_text_of(content)]
    return [_text_of(part.get("content")) for part in content or ()
            if isinstance(part, Mapping) and part.get("type") == "tool_result"]


_FED_STEP = 8
_REACH_MARGIN = DIGEST_REACH // 8  # messages read before a digest's reach, kept for the next


def _common_start(one: tuple[int, ...], other: tuple[int, ...]) -> int:
    """How many items `one` and `other` start with alike (compared a slice at a time)."""
    low, high = 0, min(len(one), len(other))
    if one[:high] == other[:high]:
        return high
    while high - low > 1:  # one[:low] == other[:low], one[:high] != other[:high]
        middle = (low + high) // 2
        if one[:middle] == other[:middle]:
            low = middle
        else:
            high = middle
    return low


class Eliser:
    """Elided and clamped copies of one history's views, by the history's meter. With
    `originals`, every notice names the handle its original is kept under."""

    def __init__(self, meter: Meter, originals: Originals | None = None,
                 part_tokens: int = 0) -> None:
        self.meter = meter
        self.originals = originals
        self.part_tokens = part_tokens  # the most a recalled part of dropped messages holds
        self._elided: dict[int, Copy] = {}
        self._clamped: dict[tuple[int, int], Copy] = {}
        self._purged: dict[int, Copy] = {}
        self._notes: dict[Stretch, Note] = {}  # by the messages a notice stands for, and where
        self._shown_notes: dict[Stretch, tuple[str, int]] = {}
        #: Each message's lines for a digest, most notable first: [score, line, tokens].
        self._offers: dict[int, list[list[Any]]] = {}
        #: The messages among them offering a line counted as no tokens (a counter may
        #: count a short line so): the only lines a digest's spent allowance still takes.
        self._free: set[int] = set()
        #: Each result's offers, from the one reading that also makes its notice.
        self._result_offers: dict[str, list[list[Any]]] = {}
        #: Each message as a transcript shows it, pieced since the compaction began, and at
        #: the one before: the next compaction hashes and stores most of the same messages
        #: again, and these are all it keeps of them.
        self._shown: dict[int, list[str]] = {}
        self._shown_before: dict[int, list[str]] = {}
        #: By the message a part starts at, the part last hashed from it, and the digest
        #: state after each of its messages.
        self._fed: dict[int, tuple[tuple[int, ...], list[Any]]] = {}
        self._starts = [0]  # where each message read starts, in tokens of the history
        #: Each part's digest, whose short form is its planned handle (`short_handle`).
        self._digests: dict[Stretch, str] = {}
        self._tried: set[Stretch] = set()  # the parts named since the notices were let go
        #: The first message a digest read since the compaction began: its shallower trials
        #: read from before where the notices it keeps do, and the next one's do again.
        self._reached: int | None = None
        self._stored: dict[Stretch, str] = {}  # the handle each part is stored under
        #: By rank, every message offering a line at that rank, that line's most notable
        #: first: its keys (-score, message, the line's tokens), the messages, the tokens,
        #: and how many of `_added` it holds. Brought up to date by merging in the messages
        #: offered since.
        self._order: dict[int, Order] = {}
        self._added: list[int] = []  # the messages offered since the orders were begun
        #: The original each notice of an elided or clamped message names, by handle.
        self.named: dict[str, str] = {}

    def _read(self, text: str) -> Notable:
        read = read_notable(text, self.meter.counted_many)
        self._result_offers[text] = [[score, cut(read.lines[line]), cost]
                                     for score, line, cost in read.ranked]
        return read

    def _transcript(self, part: Sequence[int], views: Sequence[View]) -> tuple[str, ...]:
        """The text of dropped messages `part`, as its handle was made of, in pieces."""
        pieces: list[str] = []
        shown = self._shown
        for index in part:
            if pieces:
                pieces.append(_MESSAGES)
            pieces += shown.get(index) or self._pieces(index, views)  # never an empty list
        return tuple(pieces)

    def _pieces(self, index: int, views: Sequence[View]) -> list[str]:
        """Message `index` as a transcript shows it, in pieces (see `_shown`)."""
        shown = self._shown.get(index)
        if shown is None:
            shown = self._shown_before.pop(index, None)
            if shown is None:
                shown = _shown_pieces(views[index])
            self._shown[index] = shown
        return shown

    def _part_digest(self, part: tuple[int, ...], views: Sequence[View]) -> str:
        """`digest_of` the transcript of `part`, hashed on from the digest of what it
        shares with the part last hashed from the same message: the trials of a compaction
        move where a stretch ends, and its last part can be a sizeable share of the history.
        The digest's state is kept every `_FED_STEP` messages."""
        shown = self._shown
        before, fed = self._fed.get(part[0], ((), []))
        del fed[_common_start(before, part) // _FED_STEP:]
        state = fed[-1].copy() if fed else None
        for position in range(len(fed) * _FED_STEP, len(part)):
            if state is None:
                state = hasher()
            else:
                state.update(encoded(_MESSAGES))
            index = part[position]  # one update, not one a piece:
            state.update(encoded("".join(shown.get(index) or self._pieces(index, views))))
            if (position + 1) % _FED_STEP == 0:
                fed.append(state.copy())
        self._fed[part[0]] = (part, fed)
        return digest_of(state)

    def elide(self, index: int, view: View, size: int | None = None) -> Copy:
        """Its tool results as notices with their notable lines. `size`, where given, is
        the message's tokens as read (so too for `clamp` and `purge`)."""
        if index not in self._elided:
            self._elided[index] = self._framed(self._copy(view, None, size))
        return self._elided[index]

    def clamp(self, index: int, view: View, budget: int, size: int | None = None) -> Copy:
        """Its tool results cut to about `budget` tokens together."""
        key = (index, budget)
        if key not in self._clamped:
            self._clamped[key] = self._framed(self._copy(view, budget, size))
        return self._clamped[key]

    def _result_tokens(self, view: View, size: int | None) -> int | None:
        """`content_cost` of what a notice of `view` stands for (its content, or its lone tool
        result part's), from its tokens as read where they tell it: a result was counted
        when read, and a long one costs as much to count again as the rest of its notice
        does to make."""
        if size is None:
            return None
        content = view.get("content")
        if view.get("role") != "tool" and isinstance(content, list):
            # A lone result part costs what its content does, unless it bears a text.
            if len(content) != 1 or not _is_result(content[0]) or \
                    isinstance(content[0].get("text"), str):
                return None
        return self.meter.content_tokens(view, size)

    def _notice(self, content: object, budget: int | None,
                tokens: int | None = None) -> str | None:
        meter = self.meter
        if tokens is None:
            tokens = meter.content_cost(content)
        if budget is None and tokens <= KEEP_WHOLE_TOKENS:
            return None
        text = _text_of(content) if not isinstance(content, str) else content
        if text.startswith(FLOOD_NOTICE):
            return None  # already as small as it should get
        if budget is None:
            notice = elision_notice(text, tokens, meter.counted_many, meter.identity,
                                    lambda: self._read(text))
        else:
            notice = clamp_notice(text, tokens, budget, meter.counted_many)
        return self._named(notice, text)

    def _named(self, notice: str, text: str) -> str:
        if self.originals is None:
            return notice
        handle = self.originals.keep(text)[0]
        self.named[handle] = text
        return with_handle(notice, handle)

    def _copy(self, view: View, budget: int | None, size: int | None) -> Copy:
        meter = self.meter
        content = view.get("content")
        known = self._result_tokens(view, size)
        if view.get("role") == "tool":
            notice = self._notice(content, budget, known)
            if notice is None:
                return dict(view), meter.content_cost(content) if known is None else known
            return {**view, "content": notice}, meter.counted(notice)
        parts: list[Any] = []
        tokens = 0
        results = [part for part in content if _is_result(part)] \
            if isinstance(content, list) else []
        share = None if budget is None else max(budget // max(len(results), 1), 1)
        for part in content if isinstance(content, list) else ():
            if _is_result(part):
                notice = self._notice(part.get("content"), share, known)
                if notice is not None:
                    parts.append(_without_content(part, notice))
                    tokens += meter.counted(notice)
                    continue
            parts.append(part)
            tokens += meter.content_cost([part]) if known is None else known
        return {**view, "content": parts}, tokens

    def note(self, gone: tuple[int, ...], views: Sequence[View], sizes: Sequence[int],
             later: bool) -> Note:
        """The notice that stands for the dropped messages `gone` in the request after them
        (`later`: before them), naming its parts' handles. Each part's handle is its
        digest; the part is stored only when a prompt shows the notice (`kept_note`)."""
        key = Stretch(gone, later)
        note = self._notes.get(key)
        if note is None:
            parts = self._parts(gone, sizes)
            starts = self._starts
            # A part of consecutive messages (most of them) is summed from where they start.
            tokens = sum(starts[part[-1] + 1] - starts[part[0]]
                         if part[-1] - part[0] + 1 == len(part)
                         else sum(map(sizes.__getitem__, part)) for part in parts)
            digests, keys, named = self._digests, [], []
            for part in parts:
                keys.append(Stretch(part))
                digest = digests.get(keys[-1])
                if digest is None:
                    digest = digests[keys[-1]] = self._part_digest(part, views)
                self._tried.add(keys[-1])
                named.append(short_handle(digest))
            noun = "message" if len(gone) == 1 else "messages"
            split = f" in {len(parts)} parts, oldest first" if len(parts) > 1 else ""
            window = gone[-DIGEST_REACH:]
            if window and (self._reached is None or window[0] < self._reached):
                self._reached = window[0]
            lines = self._digest(window, views)
            notice = "\n".join([
                f"[{len(gone):,} {'later' if later else 'earlier'} {noun} elided: "
                f"{tokens:,} tokens{split}; recall "
                f"{', '.join(named)}"
                f"{'; their notable lines follow' if lines else ''}]", *lines])
            # The parts are kept as indices: a compaction tries many spans, and their texts
            # are made again only for the notices a prompt shows.
            note = self._notes[key] = (keys, notice, self.meter.counted(notice))
        return note

    def _parts(self, gone: tuple[int, ...], sizes: Sequence[int]) -> list[tuple[int, ...]]:
        """`gone` cut where the history is cut into pieces of `size` tokens, counted from
        its start, the least size from a quarter of the budget up (doubling) that spans it
        with no more than `NOTE_PARTS` pieces: a part is what a piece holds of it, the
        messages that start in the piece. So a part recalled about fits the prompt where
        the stretch allows, and the same messages make the same part at every compaction,
        where a stretch cut from its own start would shift every part as it grows: the
        store holds a part once, and a compaction hashes only the parts it has not met.
        (Cutting a piece's last message off where it reaches past the piece kept parts
        within `size`, but named more handles, and the prompt kept fewer facts.)"""
        starts = self._starts
        if len(starts) <= len(sizes):
            starts += islice(accumulate(sizes[len(starts) - 1:], initial=starts[-1]), 1, None)
        span = starts[gone[-1] + 1] - starts[gone[0]]
        size = max(self.part_tokens, 1)
        while span // size + 1 > NOTE_PARTS:
            size *= 2
        # A piece at a time, by bisection: a long stretch holds thousands of messages and
        # at most `NOTE_PARTS` pieces.
        at = starts.__getitem__
        parts: list[tuple[int, ...]] = []
        low = 0
        while low < len(gone):
            high = bisect_left(gone, (at(gone[low]) // size + 1) * size, low, key=at)
            parts.append(gone[low:high])
            low = high
        return parts

    def forget_notes(self, keep: Mapping[int, tuple[int, ...]] | None = None) -> None:
        """Drop the notices of spans tried before but those of `keep` (request: the messages
        its notice stands for): a new compaction tries its own. Where a compaction begins
        (no `keep`), the messages pieced for transcripts before the last one began go too,
        which would otherwise double what is held."""
        kept = set() if keep is None else {Stretch(gone, request < gone[0])
                                            for request, gone in keep.items()}
        self._notes = {key: note for key, note in self._notes.items() if key in kept}
        if keep is not None:
            # A part the kept notices name recurs at the next compaction (its messages stay
            # dropped), and so do those of this compaction's deepest trials, which the next
            # one begins with (the newest part of all it could drop, hundreds of messages
            # long): their digests (and so their handles) are kept for it, and every other is
            # made again.
            digests = self._digests
            self._digests = {part: digests[part] for part in self._tried}
            self._digests.update((part, digests[part]) for note in self._notes.values()
                                 for part in note[0])
            self._tried = set()
            self._stored = {part: handle for part, handle in self._stored.items()
                            if part in self._digests}
            # So do the digest states of those parts: the newest part of the deepest trials
            # grows by what the next compaction drops, and is hashed on from where it ended.
            starts = {part.indices[0] for part in self._digests}
            self._fed = {start: fed for start, fed in self._fed.items() if start in starts}
            # The digests of later compactions read from about where this one's did: the
            # lines of messages well before are let go (read again should one need them).
            # Where the trials begin moves back and forth by a hundred messages or so from
            # one compaction to the next, and a margin keeps it from reading them again.
            reach = min((gone[-DIGEST_REACH:][0] for gone in keep.values()), default=0)
            if self._reached is not None:
                reach = min(reach, self._reached)
            reach -= _REACH_MARGIN
            old = [index for index in self._offers if index < reach]
            if old:
                # The orders lose them where they stand, still sorted: a compaction lets go
                # of a few, and sorting all it keeps again would cost more than its digests.
                orders = {rank: [key for key in self._order_at(rank)[0] if key[1] >= reach]
                          for rank in self._order}
                for index in old:
                    del self._offers[index]
                    self._free.discard(index)
                self._added.clear()
                self._order = {rank: _ordered(keys, 0) for rank, keys in orders.items()}
        self._shown_notes = {key: shown for key, shown in self._shown_notes.items()
                             if key in kept}
        if keep is None:  # a compaction begins
            self._shown_before, self._shown = self._shown, {}
            self._reached = None

    def _digest(self, gone: tuple[int, ...], views: Sequence[View]) -> list[str]:
        """The most notable of what the dropped messages said, within a notice's allowance.
        Each message offers its lines most notable first (a result the lines its notice
        keeps, other messages their lines as they stand); the digest takes every message's
        first line before any message's second, the more notable first within a round, so
        that a long stretch of turns is heard from throughout and not only at its start."""
        tokens = max(DIGEST_TOKENS, int(self.part_tokens * DIGEST_SHARE))
        most = tokens // DIGEST_LINE_TOKENS
        offers = self._offers
        stretch = set(gone)
        for index in sorted(stretch.difference(offers)):  # most were offered before
            self._ranked(index, views[index])
        # A stretch of much of what was read walks each round in an order kept for all the
        # messages read; a short one sorts its own.
        members = stretch if 8 * len(gone) >= len(offers) else None
        chosen: list[tuple[int, int, str]] = []
        seen: set[str] = set()
        spent = 0
        rank = 0
        full = False
        # Once a line does not fit, only the lines within what is left can follow: the walk
        # goes on through those alone (`after`: from the message whose line did not fit),
        # narrowed again whenever a line taken since leaves less.
        left: int | None = None
        after: int | None = None
        while len(chosen) < most and not full:
            walk: Iterable[int]
            if left is None or members is None:
                met, walk = False, self._round(gone, rank, members)
            else:
                met, walk = self._within(members, rank, left, after)
                after = None
            for index in walk:
                met = True
                offer = offers[index][rank]
                line = offer[1]
                if line in seen:
                    continue
                if spent + offer[2] > tokens:
                    if members is not None and (left is None or tokens - spent < left):
                        left, after = tokens - spent, index
                        break
                    continue
                seen.add(line)
                chosen.append((index, rank, line))
                spent += offer[2]
                if len(chosen) >= most:
                    break
                # The allowance is most often spent to the token long before the lines
                # run out: from then on only a line counted as no tokens could be taken.
                if spent == tokens and (not self._free or self._free.isdisjoint(gone)):
                    full = True
                    break
            else:
                if not met:
                    break
                rank += 1
                continue
            if after is None:
                break
        return [line for _, _, line in sorted(chosen)]

    def _within(self, members: set[int], rank: int, left: int,
                after: int | None) -> tuple[bool, Iterator[int]]:
        """Whether any of `members` has a line at `rank`, and those whose line there costs
        no more than `left`, in the order of `_round` (after `after`'s, where given). Most
        of a long stretch's lines no longer fit an allowance nearly spent: they are passed
        over at the speed of a copy, not one by one."""
        keys, order, costs, _ = self._order_at(rank)
        start = 0
        if after is not None:
            offer = self._offers[after][rank]
            start = bisect_right(keys, (-offer[0], after, offer[2]))
        met = after is not None or any(map(members.__contains__, order))
        fits = compress(islice(order, start, None),
                        map(le, islice(costs, start, None), repeat(left)))
        return met, filter(members.__contains__, fits)

    def _round(self, gone: tuple[int, ...], rank: int,
               members: set[int] | None) -> Iterator[int]:
        """The messages of `gone` with a line at `rank`, that line's most notable first
        (the earlier first among equals)."""
        offers = self._offers
        if members is None:
            # A heap, not a sort: a round is read only as far as it is taken.
            round_ = [(-offers[index][rank][0], index) for index in gone
                      if len(offers[index]) > rank]
            heapify(round_)
            while round_:
                yield heappop(round_)[1]
            return
        yield from filter(members.__contains__, self._order_at(rank)[1])

    def _order_at(self, rank: int) -> Order:
        """The order at `rank`, brought up to date."""
        offers, added = self._offers, self._added
        kept = self._order.get(rank)
        if kept is not None and kept[3] == len(added):
            return kept
        if kept is None:
            keys = sorted((-ranked[rank][0], index, ranked[rank][2])
                          for index, ranked in offers.items() if len(ranked) > rank)
        else:
            # Two sorted runs, which the sort merges: a compaction offers the messages it
            # newly drops, not all it has read.
            keys = kept[0]
            keys += [(-offers[index][rank][0], index, offers[index][rank][2])
                     for index in added[kept[3]:] if len(offers[index]) > rank]
            keys.sort()
        kept = self._order[rank] = _ordered(keys, len(added))
        return kept

    def _ranked(self, index: int, view: View) -> list[list[Any]]:
        ranked = self._offers.get(index)
        if ranked is None:
            ranked = []
            if holds_results(view):
                for text in _result_texts(view):
                    if text not in self._result_offers:
                        self._read(text)
                    ranked += self._result_offers[text]
            else:
                lines = [line for line in _shown(view).splitlines() if line.strip()]
                offered = [cut(line) for line in lines]
                ranked = [[line_score(line), shown, cost] for line, shown, cost
                          in zip(lines, offered, self.meter.counted_many(offered))]
                ranked.sort(key=lambda offer: -offer[0])
            if any(offer[2] == 0 for offer in ranked):
                self._free.add(index)
            self._offers[index] = ranked
            self._added.append(index)
        return ranked

    def kept_note(self, gone: tuple[int, ...], later: bool,
                  views: Sequence[View]) -> tuple[str, int]:
        """The notice of `gone` with its parts stored, and its tokens (the same unless a
        short handle was taken by another text, which lengthens it)."""
        key = Stretch(gone, later)
        shown = self._shown_notes.get(key)
        if shown is not None:
            return shown
        parts, notice, tokens = self._notes[key]
        assert self.originals is not None
        # Once per notice shown, after the compaction that placed it: kept, the shown texts
        # would double the history held until the next compaction.
        stored = self._stored
        # A part stored by an earlier compaction is written again as the store's newest (in
        # one write for all of them), without making its text again.
        missing = set(self.originals.again([stored[part] for part in parts if part in stored]))
        for part in parts:
            handle = stored.get(part)
            if handle is None or handle in missing:
                handle = stored[part] = self.originals.keep(
                    self._transcript(part.indices, views), self._digests[part])[0]
            planned = short_handle(self._digests[part])
            if handle != planned:
                notice = notice.replace(planned, handle)
        if notice != self._notes[key][1]:
            tokens = self.meter.counted(notice)
        shown = self._shown_notes[key] = (notice, tokens)
        return shown

    def purge(self, index: int, view: View, size: int | None = None) -> Copy:
        """Every payload as a notice of its size: tool results keep their ids and place, so
        the call they answer stays answered; other parts collapse into one text after them."""
        if index not in self._purged:
            self._purged[index] = self._framed(self._purged_copy(view, size))
        return self._purged[index]

    def _framed(self, copy: Copy) -> Copy:
        """A copy's tokens of content, with what it is billed beside them."""
        return copy[0], copy[1] + self.meter.framing(copy[0])

    def _purged_copy(self, view: View, size: int | None) -> Copy:
        meter = self.meter
        content = view.get("content")
        known = self._result_tokens(view, size)
        if not isinstance(content, list):
            what = "tool result elided" if view.get("role") in ("tool", "function") else "elided"
            tokens = meter.content_cost(content) if known is None else known
            notice = self._named(f"[{what}: {tokens:,} tokens]", _text_of(content))
            return {**view, "content": notice}, meter.counted(notice)
        parts: list[dict[str, Any]] = []
        tokens, rest = 0, 0
        for part in content:
            if _is_result(part):
                cost = meter.content_cost(part.get("content")) if known is None else known
                notice = self._named(f"[tool result elided: {cost:,} tokens]",
                                     _text_of(part.get("content")))
                parts.append(_without_content(part, notice))
                tokens += meter.counted(notice)
            else:
                rest += meter.content_cost([part])
        if len(parts) < len(content):
            notice = self._named(f"[elided: {rest:,} tokens]", _text_of(
                [part for part in content if not _is_result(part)]))
            parts.append({"type": "text", "text": notice})
            tokens += meter.counted(notice)
        return {**view, "content": parts}, tokens
