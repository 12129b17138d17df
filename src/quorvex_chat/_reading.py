"""`Reading`: a history as compaction reads it, one message at a time, grown by appending.

A reading holds, per message, its view (see `_formats`), its kernel class flags, its tokens
and, when asked, its fingerprint, so that a conversation reads each message once however
many calls it takes part in.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
from bisect import bisect_left
from collections.abc import Callable, Iterable, Sequence
from itertools import compress
from operator import and_
from typing import Any

import quorvex_micro

from ._formats import FORMAT, Format, Provider, Settled, Viewer, plain
from ._measure import Meter
from ._options import Options
from ._shapes import Shape, View, holds_results

try:
    from . import _native
except ImportError:  # a tree without the build: the walks and checks are Python's alone
    _native = None  # type: ignore[assignment]


DURABLE = quorvex_micro.SYSTEM | quorvex_micro.FACT  # the classes no threshold purges
CACHE_MARK = "cache_control"
_ATOMS = frozenset({str, int, float, bool, bytes, type(None)})


def _unmarked(value: Any) -> Any:
    """`value` without its `cache_control` marks: a mark that moves is no edit."""
    if isinstance(value, dict):
        return {key: _unmarked(item) for key, item in value.items() if key != CACHE_MARK}
    if isinstance(value, list):
        return [_unmarked(item) for item in value]
    return value


def leaves(message: object) -> list[object]:
    """What a message is made of, cheaply: its atoms (held, so that no freed object's
    address is taken for another's) and the length of every container, in order. Two
    messages with equal leaves have the same content; a message changed in place has other
    leaves, whatever its identity. An object that keeps no `__dict__` is held whole and so
    falls back to its fingerprint."""
    if _native is not None:
        walked = _native.leaves(message)
        if walked is not None:
            return walked
    found: list[object] = []
    _walk(message, found)
    return found


def _same_leaves(message: object, known: list[object]) -> bool:
    """Whether `message` still has the leaves `known`."""
    if _native is not None:
        same = _native.same_leaves(message, known)
        if same is not None:
            return same
    return leaves(message) == known


def _walk(value: Any, found: list[object]) -> None:
    kind = type(value)
    if kind is str:
        found.append(value)
    elif kind is dict:
        found.append(len(value))
        for key, item in value.items():
            if key != CACHE_MARK:
                found.append(key)
                if type(item) is str:
                    found.append(item)
                else:
                    _walk(item, found)
    elif kind is list or kind is tuple:
        found.append((kind, len(value)))
        for item in value:
            if type(item) is str:
                found.append(item)
            else:
                _walk(item, found)
    elif kind in _ATOMS:
        found.append((kind, value))  # True == 1 == 1.0, but they are not one content
    elif hasattr(value, "__dict__"):
        found.append(kind)
        _walk(vars(value), found)
    else:
        found.append(digest(value))


def _canonical(value: object) -> object:
    """A value JSON has no form for, by its content: a dataclass (a Pydantic AI message) by
    its fields, anything else by its text. Not by its repr, nor by whether a whole number is
    a float, which differ between equal messages (one read back from JSON names its UTC
    another way, and its float fields come back as 0.0), so that a history stored and read
    back, as every worker of a fleet reads it, is no edit."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {"": type(value).__name__, **{field.name: _fields(getattr(value, field.name))
                                             for field in dataclasses.fields(value)}}
    return str(value)


def _fields(value: object) -> object:
    if isinstance(value, float) and value.is_integer():
        return int(value)
    if isinstance(value, dict):
        return {key: _fields(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_fields(item) for item in value]
    return _canonical(value) if dataclasses.is_dataclass(value) else value


# What json.dumps(..., sort_keys=True, ensure_ascii=False, default=_canonical) writes,
# without making an encoder per message.
_CANONICAL_JSON = json.JSONEncoder(sort_keys=True, ensure_ascii=False, default=_canonical).encode


def digest(message: object, value: Any = None) -> str:
    """A message's fingerprint: its canonical JSON, hashed, its cache marks left out. Equal
    messages, equal digests. `value`, where given, is `plain(message)`."""
    if value is None:
        value = plain(message)
    text = _CANONICAL_JSON(value)
    if '"cache_control"' in text:  # else no key is a mark, and nothing need be left out
        text = _CANONICAL_JSON(_unmarked(value))
    return hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=8).hexdigest()


class Reading:
    """The views, classes, tokens (and fingerprints) of a history's messages, in order."""

    def __init__(self, options: Options, *, fingerprints: bool = False,
                 lazy: bool = False) -> None:
        self.options = options
        self.fingerprints = fingerprints
        self._settled = Settled(options.provider)
        self._viewer = Viewer()
        self.views: list[View] = []
        self.classes: list[int] = []
        #: Tokens of each message; 0 for one not counted yet (see `deferred`), so that a sum
        #: of sizes is never more than the tokens it stands for.
        self.sizes: list[int] = []
        self._sum = 0  # of `sizes`
        #: With `lazy`, the tool results are classed when read and counted when first needed
        #: (`size`, `counted`, `total`): they are most of what counting costs, and a trim of
        #: a long history never needs most of its old ones.
        self.lazy = lazy
        self.deferred: list[bool] = []
        self._uncounted = 0
        #: Per message, 1 where it carries a tool result (what an elision can shorten), and
        #: where its class is durable: flags a compaction reads of every message, kept as
        #: bytes so that it copies them rather than walks them.
        self.results = bytearray()
        self.durable = bytearray()
        self.numbers: list[int] = []  # each message's index, one int object each
        #: By what each finds, the messages found so far: (the shape they were found by,
        #: the messages read then, the indices found).
        self._found: dict[str, tuple[Shape | None, int, list[int]]] = {}
        #: The rounds found final, for a shape and prefix: (shape, prefix, start -> end,
        #: where the rounds after them begin).
        self._final: tuple[Shape | None, int, dict[int, int], int] = (None, 0, {}, 0)
        self._blind = Meter(options.meter.flags, options.meter.part_tokens, _no_tokens)
        self.digests: list[str] = []
        #: The leaves of each message read, so that an unchanged history is known cheaply.
        self._leaves: list[list[object]] = []
        #: Per message, what the native check made of its object and leaves to know them
        #: again by address; it stands for those only, so it goes when they do.
        self._images = None if _native is None else _native.Images()
        self.objects: list[object] = []
        self._called: set[str] = set()  # the ids of every call made so far
        #: The last `first_edit` took an equal copy in place of an object read.
        self.swapped = False

    def __len__(self) -> int:
        return len(self.views)

    @property
    def format(self) -> Format:
        """The format as the messages so far settle it (a history of user and assistant text
        alone reads as any of several: its first tool call decides)."""
        return FORMAT[self._settled.format]

    @property
    def provider(self) -> Provider | None:
        """The format's name; None for an empty history of no given format."""
        if not self.views and self.options.provider is None:
            return None
        return self.format.name

    @property
    def shape(self) -> Shape:
        return self.format.shape

    def extend(self, history: Sequence[Any]) -> int:
        """Read the messages of `history` past those read so far; their tokens."""
        meter = self.options.meter
        added = 0
        for index in range(len(self.views), len(history)):
            message = history[index]
            data = plain(message) if type(message) is dict else None  # made once, not twice
            self._settled.add(index, message, data)
            view = self._viewer.view(index, message, data)
            self.shape.check(index, view, self._called)
            results = holds_results(view)
            later = self.lazy and results
            if later:
                flags, tokens = self._blind.measure(index, view)[0], 0
            else:
                flags, tokens = meter.measure(index, view)
            self.views.append(view)
            self.classes.append(flags)
            self.sizes.append(tokens)
            self.deferred.append(later)
            self.results.append(results)
            self.durable.append(bool(flags & DURABLE))
            self.numbers.append(index)
            self._uncounted += later
            self._sum += tokens
            self.objects.append(message)
            if self.fingerprints:
                self.digests.append(digest(message, data))
                self._leaves.append(leaves(message))
            added += tokens
        return added

    def first_edit(self, history: Sequence[Any],
                   among: Iterable[int | tuple[int, int]] | None = None) -> int | None:
        """The first message read whose content `history` no longer holds, or None.

        Content, not identity, decides: a message changed in place is an edit (its tokens
        and notice are stale), and an equal copy is not (it is taken in place of the object
        read, so the prompt holds the caller's own; `swapped` says so). The messages
        `among` are checked (default: all): between compactions the prompt's own, since
        those it shows must be what the caller holds, while a dropped message changed, in
        place or for another object, counts from the compaction that reads it again. A
        call then costs what the prompt holds, not what the history does. An item of
        `among` is an index or a run (start, stop) of them."""
        known = len(self.views)
        self.swapped = False
        if len(history) < known:
            return len(history)
        asked: list[int | tuple[int, int]] = [(0, known)] if among is None else \
            among if type(among) is list else list(among)
        images = self._images
        unlike = None if images is None else \
            _native.unlike(history, self.objects, self._leaves, images, asked)
        # Those the native walk passes over are still as read; the rest Python checks.
        suspects = unlike if unlike is not None else \
            [index for item in asked
             for index in (range(*item) if isinstance(item, tuple) else (item,))]
        for index in sorted(suspects) if suspects else ():
            if index >= known:
                continue
            now = history[index]
            if not _same_leaves(now, self._leaves[index]):
                if digest(now) != self.digests[index]:
                    return index
                self._leaves[index] = leaves(now)
                if images is not None:
                    images.forget(index)
            if now is not self.objects[index]:
                self.objects[index], self.swapped = now, True
                if images is not None:
                    images.forget(index)
        return None

    def requests(self) -> list[int]:
        """Every message a person sent, in order (the stable prefix's too), by the shape the
        history has now."""
        return self._found_by("requests", self.shape.is_request)

    def callers(self) -> list[int]:
        """Every message that makes tool calls, in order, by the shape the history has now."""
        return self._found_by("callers", self.shape.makes_calls)

    def rounds(self, prefix: int) -> dict[int, int]:
        """Start -> end of every call round after `prefix`, by the shape the history has now.
        A round that ends before the last message is final, and those after it are found
        from the callers after it alone: a compaction finds only the rounds still open,
        not the thousands of a long history."""
        shape = self.shape
        if self._final[0] is not shape or self._final[1] != prefix:
            self._final = (shape, prefix, {}, prefix)
        final, resume = self._final[2], self._final[3]
        callers = self.callers()
        found = shape.rounds(self.views, prefix, callers[bisect_left(callers, resume):])
        ends = dict(final)  # the caller's own: `final` grows at later calls
        ends.update(found)
        for start, end in found.items():
            if end >= len(self.views):
                break
            final[start] = resume = end
        self._final = (shape, prefix, final, resume)
        return ends

    def _found_by(self, what: str, test: Callable[[View], bool]) -> list[int]:
        # Each message is found by itself, so those read before are kept while the shape
        # holds.
        shape, views = self.shape, self.views
        known, read, found = self._found.get(what, (None, 0, []))
        if known is not shape:
            read, found = 0, []
        found += [index for index in range(read, len(views)) if test(views[index])]
        self._found[what] = (shape, len(views), found)
        return found

    def stable_prefix(self) -> int:
        given = self.options.stable_prefix
        views = self.views
        return self.shape.stable_prefix(views) if given is None else min(given, len(views))

    def size(self, index: int) -> int:
        """Tokens of message `index`, counted now if they were not yet."""
        if self.deferred[index]:
            tokens = self.options.meter.measure(index, self.views[index])[1]
            self.sizes[index] = tokens
            self.deferred[index] = False
            self._sum += tokens
            self._uncounted -= 1
        return self.sizes[index]

    @property
    def all_counted(self) -> bool:
        """Whether every message read is counted (`sizes` then holds still)."""
        return not self._uncounted

    def counted(self, among: Sequence[int], known: int, bound: int | None = None) -> int:
        """`known` (the sum of `sizes` where `among` holds, and anything beside) with the
        messages among those not counted yet counted in, newest first, until the sum passes
        `bound`: then it is a part, over `bound` as the whole is."""
        if not self._uncounted:
            return known
        for index in reversed(list(compress(range(len(among)), map(and_, among,
                                                                     self.deferred)))):
            if bound is not None and known > bound:
                break
            known += self.size(index)
        return known

    def fits(self, limit: int) -> bool:
        """Whether the whole history, with what is billed beside it, fits `limit`."""
        return self.counted(self.deferred, self.total(counting=False), limit) <= limit

    def total(self, *, counting: bool = True) -> int:
        """Tokens of every message with what is billed beside them; without `counting`,
        of those counted so far."""
        if counting and self._uncounted:
            self.counted(self.deferred, 0)
        return self._sum + self.options.overhead

    def counts(self) -> tuple[tuple[int, ...], int]:
        """Every message's tokens and `total`, all counted."""
        total = self.total()
        return tuple(self.sizes), total


def _no_tokens(text: str) -> int:
    return 0


def read(history: Sequence[Any], options: Options, *, fingerprints: bool = False,
         lazy: bool = False) -> Reading:
    """A reading of the whole of `history`."""
    if isinstance(history, (str, bytes)) or not isinstance(history, Sequence):
        raise TypeError(f"messages must be a list of messages, not {type(history).__name__}")
    reading = Reading(options, fingerprints=fingerprints, lazy=lazy)
    reading.extend(history)
    return reading
