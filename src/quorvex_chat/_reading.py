"""`Reading`: a history as compaction reads it, one message at a time, grown by appending.

A reading holds, per message, its view (see `_formats`), its kernel class flags, its tokens
and, when asked, its fingerprint, so that a conversation reads each message once however
many calls it takes part in.
"""

from __future__ import annotations

import hashlib
import json
import operator
from itertools import islice
from typing import Any, Sequence

from ._formats import FORMAT, Format, Settled, Viewer, plain
from ._options import Options
from ._shapes import Shape, View


def digest(message: object) -> str:
    """A message's fingerprint: its canonical JSON, hashed. Equal messages, equal digests."""
    text = json.dumps(plain(message), sort_keys=True, ensure_ascii=False, default=str)
    return hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=8).hexdigest()


class Reading:
    """The views, classes, tokens (and fingerprints) of a history's messages, in order."""

    def __init__(self, options: Options, *, fingerprints: bool = False) -> None:
        self.options = options
        self.fingerprints = fingerprints
        self._settled = Settled(options.provider)
        self._viewer = Viewer()
        self.views: list[View] = []
        self.classes: list[int] = []
        self.sizes: list[int] = []
        self.digests: list[str] = []
        #: The message objects read, so that an unchanged history is known by identity.
        self.objects: list[object] = []

    def __len__(self) -> int:
        return len(self.views)

    @property
    def format(self) -> Format:
        """The format as the messages so far settle it (a history of user and assistant text
        alone reads as any of several: its first tool call decides)."""
        return FORMAT[self._settled.format]

    @property
    def shape(self) -> Shape:
        return self.format.shape

    def extend(self, history: Sequence[Any]) -> int:
        """Read the messages of `history` past those read so far; their tokens."""
        meter = self.options.meter
        added = 0
        for index in range(len(self.views), len(history)):
            message = history[index]
            self._settled.add(index, message)
            view = self._viewer.view(index, message)
            flags, tokens = meter.measure(index, view)
            self.views.append(view)
            self.classes.append(flags)
            self.sizes.append(tokens)
            self.objects.append(message)
            if self.fingerprints:
                self.digests.append(digest(message))
            added += tokens
        return added

    def first_edit(self, history: Sequence[Any]) -> int | None:
        """The first message read that `history` no longer holds as it was, or None.

        Compared by identity first and by fingerprint where the object differs; an equal
        copy is taken in place of the object read, so the prompt holds the caller's own."""
        known = len(self.views)
        if len(history) < known:
            return len(history)
        if all(map(operator.is_, islice(history, known), self.objects)):
            return None
        for index, (now, before) in enumerate(zip(islice(history, known), self.objects)):
            if now is before:
                continue
            if digest(now) != self.digests[index]:
                return index
            self.objects[index] = now
        return None

    def stable_prefix(self) -> int:
        given = self.options.stable_prefix
        views = self.views
        return self.shape.stable_prefix(views) if given is None else min(given, len(views))

    def total(self) -> int:
        return sum(self.sizes) + self.options.overhead


def read(history: Sequence[Any], options: Options, *, fingerprints: bool = False) -> Reading:
    """A reading of the whole of `history`."""
    if isinstance(history, (str, bytes)) or not isinstance(history, Sequence):
        raise TypeError(f"messages must be a list of messages, not {type(history).__name__}")
    reading = Reading(options, fingerprints=fingerprints)
    reading.extend(history)
    return reading
