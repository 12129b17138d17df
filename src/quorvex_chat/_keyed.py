"""One `Conversation` per conversation key, for the framework adapters.

A framework calls its hook once per model call with the whole history of one of many
conversations (a LangGraph thread, a Pydantic AI conversation, an Agents SDK run). Each
conversation needs its own plan to stay cache-stable, so the adapters keep a bounded map
from a key to its `Conversation`.
"""

from __future__ import annotations

import json
import threading
from collections import OrderedDict
from typing import Any, Hashable, Sequence

from ._conversation import Conversation
from ._trim import TrimResult

#: How many conversations an adapter remembers; the least recently prompted goes first.
DEFAULT_LIMIT = 4096


class _Entry:
    __slots__ = ("beside", "conversation", "lock")

    def __init__(self, beside: str, conversation: Conversation[Any]) -> None:
        self.beside = beside
        self.conversation = conversation
        self.lock = threading.Lock()


class Conversations:
    """`Conversation`s made with the same options, by key, the least recently used evicted.

    The system prompt and tool schemas are billed beside the messages, and a `Conversation`
    counts them once, when it is made. A framework hands them over on every call, and they
    may change (a dynamic prompt, a tool chosen per call): then the provider's cache of the
    prompt is gone anyway, so the key starts a new `Conversation` billed at the new size.
    """

    def __init__(self, options: dict[str, Any], limit: int = DEFAULT_LIMIT) -> None:
        if not isinstance(limit, int) or isinstance(limit, bool) or limit < 1:
            raise ValueError(f"max_conversations must be a positive int, not {limit!r}")
        for reserved in ("system", "tools"):
            if reserved in options:
                raise TypeError(f"{reserved}= is read from the framework on every call; "
                                f"it cannot be given here")
        # Made once so that a wrong option fails where the adapter is wired in, not on the
        # first model call.
        Conversation(**options)
        self.options = options
        self.limit = limit
        self._entries: OrderedDict[Hashable, _Entry] = OrderedDict()
        self._lock = threading.Lock()

    def __len__(self) -> int:
        return len(self._entries)

    def get(self, key: Hashable) -> Conversation[Any] | None:
        """The conversation of `key`, if it is remembered."""
        entry = self._entries.get(key)
        return None if entry is None else entry.conversation

    def prompt(self, key: Hashable, history: Sequence[Any], *, system: object = None,
               tools: object = None) -> TrimResult[Any]:
        """The prompt of conversation `key` for `history`, with `system` and `tools` billed."""
        beside = json.dumps([system, tools], sort_keys=True, ensure_ascii=False, default=str)
        with self._lock:
            entry = self._entries.get(key)
            if entry is None or entry.beside != beside:
                entry = _Entry(beside, Conversation(**self.options, system=system, tools=tools))
                self._entries[key] = entry
            self._entries.move_to_end(key)
            while len(self._entries) > self.limit:
                self._entries.popitem(last=False)
        # A Conversation refuses a second caller instead of waiting; two calls of one key at
        # once (a retried step, parallel branches of one thread) wait here for each other.
        with entry.lock:
            return entry.conversation.prompt(history)
