"""One `Conversation` per conversation key, for the framework adapters.

A framework calls its hook once per model call with the whole history of one of many
conversations (a LangGraph thread, a Pydantic AI conversation, an Agents SDK run). Each
conversation needs its own plan to stay cache-stable, so the adapters keep a bounded map
from a key to its `Conversation`.
"""

from __future__ import annotations

import dataclasses
import json
import threading
from collections import OrderedDict
from typing import Any, Hashable, Sequence

from ._conversation import Conversation
from ._counting import TokenCounter
from ._options import Options
from ._recall import RECALL, RECALL_DESCRIPTION, Originals
from ._result import TrimResult
from ._store import store_of

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

    def __init__(self, options: Options, limit: int = DEFAULT_LIMIT) -> None:
        if not isinstance(limit, int) or isinstance(limit, bool) or limit < 1:
            raise ValueError(f"max_conversations must be a positive int, not {limit!r}")
        # One store for every conversation of the adapter: handles name texts by their digest,
        # so a recall needs no key, and whichever conversation elided a text finds it.
        self.store = store_of(options.store)  # type: ignore[arg-type]
        self.options = dataclasses.replace(options.for_conversation(), store=self.store)
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
                options = dataclasses.replace(self.options, system=system, tools=tools)
                entry = _Entry(beside, Conversation.with_options(options))
                self._entries[key] = entry
            self._entries.move_to_end(key)
            while len(self._entries) > self.limit:
                self._entries.popitem(last=False)
        # A Conversation refuses a second caller instead of waiting; two calls of one key at
        # once (a retried step, parallel branches of one thread) wait here for each other.
        with entry.lock:
            return entry.conversation.prompt(history)


class Adapter:
    """What every framework adapter is made with: a budget, a counter, how many
    conversations to remember, and the options of each `Conversation`."""

    #: The format the adapter's framework hands over.
    provider: str

    #: The recall tool's name and what it tells the model.
    recall_name, recall_description = RECALL, RECALL_DESCRIPTION

    def __init__(self, *, max_tokens: int, token_counter: TokenCounter | None = None,
                 max_conversations: int = DEFAULT_LIMIT, recall: bool = False,
                 **options: Any) -> None:
        super().__init__()  # the framework's own base class, after this one
        if not isinstance(recall, bool):
            raise TypeError(f"recall must be a bool, not {type(recall).__name__}")
        #: Whether the adapter offers the model its recall tool.
        self.offers_recall = recall
        for reserved in ("system", "tools"):
            if reserved in options:
                raise TypeError(f"{reserved}= is read from the framework on every call; "
                                f"it cannot be given here")
        options.setdefault("provider", self.provider)
        # Made once so that a wrong option fails where the adapter is wired in, not on the
        # first model call.
        self.conversations = Conversations(
            Options(max_tokens=max_tokens, token_counter=token_counter, **options),
            max_conversations)
        #: The result of the last trim (of whichever conversation called last).
        self.last: TrimResult[Any] | None = None
        self._originals = Originals(self.conversations.store)
        if recall:
            self._offer_recall()

    def _offer_recall(self) -> None:
        """Make the framework's recall tool (each adapter registers its own)."""
        raise NotImplementedError

    def recall(self, handle: str) -> str:
        """The original text a notice's handle names, from any of the conversations; the
        recall tool's answer. An unknown handle is answered with a text saying so, which
        is what the model should see."""
        try:
            return self._originals.recall(handle)
        except (KeyError, TypeError) as error:
            return f"[recall failed: {error.args[0]}]"
