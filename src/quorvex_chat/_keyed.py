"""One plan per conversation key, for the framework adapters.

A framework calls its hook once per model call with the whole history of one of many
conversations (a LangGraph thread, a Pydantic AI conversation, an Agents SDK run). Each
conversation needs its own plan to stay cache-stable. Served by one process, a bounded map
from the key to its `Conversation` is enough. Served by a fleet of workers (several
processes behind one checkpointer or session store, serverless functions, a restart), the
plan must live where the framework keeps the conversation, or each worker plans and
compacts at its own time and the provider's cache misses: so the adapters can keep each
conversation's state, `Conversation.to_dict()` in a record, where the caller says (the
LangGraph agent state, or a store of JSON texts by key), and a worker that did not make
the last prompt restores the plan from it.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import threading
import uuid
from collections import OrderedDict
from typing import Any, Hashable, Mapping, MutableMapping, Sequence

from ._conversation import Conversation, HistoryEdited
from ._counting import TokenCounter
from ._options import Options
from ._recall import RECALL, RECALL_DESCRIPTION, Originals
from ._result import TrimResult
from ._store import STATES_TABLE, StoreLike, store_of

#: How many conversations an adapter remembers; the least recently prompted goes first.
DEFAULT_LIMIT = 4096

#: The format of a kept record: a conversation's state with what it was made beside.
RECORD_FORMAT = "quorvex_chat.adapter/1"


def _beside(system: object, tools: object) -> str:
    """A digest of what the provider bills beside the messages, so that a record knows
    whether it was planned for the system prompt and tools of this call."""
    text = json.dumps([system, tools], sort_keys=True, ensure_ascii=False, default=str)
    return hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=16).hexdigest()


class _Entry:
    __slots__ = ("beside", "conversation", "lock", "stamp")

    def __init__(self, beside: str, conversation: Conversation[Any]) -> None:
        self.beside = beside
        self.conversation = conversation
        #: The stamp of the record this conversation's last prompt wrote (None: none yet).
        self.stamp: str | None = None
        self.lock = threading.Lock()


class Conversations:
    """`Conversation`s made with the same options, by key, the least recently used evicted.

    The system prompt and tool schemas are billed beside the messages, and a `Conversation`
    counts them once, when it is made. A framework hands them over on every call, and they
    may change (a dynamic prompt, a tool chosen per call): then the provider's cache of the
    prompt is gone anyway, so the key starts a new `Conversation` billed at the new size.

    Where the states are kept: with `states` (a mutable mapping of str to str, or the path
    of a SQLite file) `prompt` reads and writes each key's record there as JSON; with
    `prompt_kept` the caller keeps the record. Either way the map in this process is a cache
    only: a conversation in it is used only when the record it last wrote is the one kept,
    and is restored from the kept record otherwise, so every process gives the prompts that
    the kept state gives.
    """

    def __init__(self, options: Options, limit: int = DEFAULT_LIMIT,
                 states: StoreLike = None) -> None:
        if not isinstance(limit, int) or isinstance(limit, bool) or limit < 1:
            raise ValueError(f"max_conversations must be a positive int, not {limit!r}")
        # One store for every conversation of the adapter: handles name texts by their digest,
        # so a recall needs no key, and whichever conversation elided a text finds it.
        self.store = store_of(options.store)  # type: ignore[arg-type]
        self.options = dataclasses.replace(options.for_conversation(), store=self.store)
        #: Where each conversation's record is kept as JSON, or None: in this process.
        self.states: MutableMapping[str, str] | None = None if states is None else store_of(
            states, table=STATES_TABLE, name="state_store")
        self.limit = limit
        self._entries: OrderedDict[Hashable, _Entry] = OrderedDict()
        self._lock = threading.Lock()

    def __len__(self) -> int:
        return len(self._entries)

    def get(self, key: Hashable) -> Conversation[Any] | None:
        """The conversation of `key`, if this process holds it."""
        entry = self._entries.get(key)
        return None if entry is None else entry.conversation

    def prompt(self, key: Hashable, history: Sequence[Any], *, system: object = None,
               tools: object = None) -> TrimResult[Any]:
        """The prompt of conversation `key` for `history`, with `system` and `tools` billed;
        its state kept in `states` when there is one."""
        if self.states is None:
            entry = self._entry(key, _beside(system, tools), system, tools, renew=True)
            # A Conversation refuses a second caller instead of waiting; two calls of one key
            # at once (a retried step, parallel branches of one thread) wait here for each
            # other.
            with entry.lock:
                return entry.conversation.prompt(history)
        name = str(key)
        text = self.states.get(name)
        kept = None if text is None else _decoded(text)
        result, record = self.prompt_kept(key, history, kept, system=system, tools=tools)
        self.states[name] = json.dumps(record, ensure_ascii=False, separators=(",", ":"))
        return result

    def prompt_kept(self, key: Hashable, history: Sequence[Any], kept: object, *,
                    system: object = None,
                    tools: object = None) -> tuple[TrimResult[Any], dict[str, Any]]:
        """The prompt of a conversation whose record the caller keeps, and the record to
        keep in its place. `kept` is the record the last prompt returned (None: this is
        the first); a record that no longer fits (other options, another system prompt, a
        state from another release) starts a fresh plan, which is always a valid one."""
        beside = _beside(system, tools)
        record = kept if isinstance(kept, Mapping) and kept.get("format") == RECORD_FORMAT \
            else None
        entry = self._entry(key, beside, system, tools, renew=False)
        with entry.lock:
            restored = False
            # Nothing kept where something was written (LangGraph without a checkpointer, a
            # bounded store that forgot it): this process's own plan is all there is.
            own = record is None and entry.stamp is not None and entry.beside == beside
            if not own and (entry.stamp is None or record is None
                            or entry.stamp != record.get("stamp") or entry.beside != beside):
                entry.beside = beside
                entry.conversation, restored = self._restored(record, beside, system, tools)
            try:
                result = entry.conversation.prompt(history)
            except HistoryEdited:
                raise
            except ValueError:
                # A state made with another token counter is refused only once it meets the
                # history; the history itself is whole, so a fresh plan serves it.
                if not restored:
                    raise
                entry.conversation = self._fresh(system, tools)
                result = entry.conversation.prompt(history)
            entry.stamp = uuid.uuid4().hex
            return result, {"format": RECORD_FORMAT, "stamp": entry.stamp, "beside": beside,
                            "conversation": entry.conversation.to_dict()}

    def _entry(self, key: Hashable, beside: str, system: object, tools: object, *,
               renew: bool) -> _Entry:
        """The entry of `key`, made fresh when there is none (or, with `renew`, when it was
        made beside another system prompt or tools)."""
        with self._lock:
            entry = self._entries.get(key)
            if entry is None or (renew and entry.beside != beside):
                entry = _Entry(beside, self._fresh(system, tools))
                self._entries[key] = entry
            self._entries.move_to_end(key)
            while len(self._entries) > self.limit:
                self._entries.popitem(last=False)
            return entry

    def _fresh(self, system: object, tools: object) -> Conversation[Any]:
        return Conversation.with_options(dataclasses.replace(self.options, system=system,
                                                             tools=tools))

    def _restored(self, record: Mapping[str, Any] | None, beside: str, system: object,
                  tools: object) -> tuple[Conversation[Any], bool]:
        """The conversation `record` describes, and whether it did; a fresh one for none."""
        if record is not None and record.get("beside") == beside:
            options = dataclasses.replace(self.options, system=system, tools=tools)
            try:
                return Conversation.restored(record.get("conversation", {}), options), True
            except ValueError:  # made with other options, or by another release
                pass
        return self._fresh(system, tools), False


def _decoded(text: str) -> object:
    try:
        return json.loads(text)
    except ValueError:  # a record damaged where it was kept: plan afresh
        return None


def named(key: Hashable, adapter: str) -> Hashable:
    """`key`, which a `key=` function returned: None names no conversation."""
    if key is None:
        raise ValueError(f"{adapter}(key=...) returned None for this call: it must name the "
                         f"call's conversation")
    return key


class Adapter:
    """What every framework adapter is made with: a budget, a counter, how many
    conversations to remember, where their states are kept, and the options of each
    `Conversation`."""

    #: The format the adapter's framework hands over.
    provider: str

    #: The recall tool's name and what it tells the model.
    recall_name, recall_description = RECALL, RECALL_DESCRIPTION

    def __init__(self, *, max_tokens: int, token_counter: TokenCounter | None = None,
                 max_conversations: int = DEFAULT_LIMIT, recall: bool = False,
                 state_store: StoreLike = None, **options: Any) -> None:
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
            max_conversations, state_store)
        #: The result of the last trim (of whichever conversation called last).
        self.last: TrimResult[Any] | None = None
        self._originals = Originals(self.conversations.store)
        if recall:
            self._offer_recall()

    def _offer_recall(self) -> None:
        """Make the framework's recall tool (each adapter registers its own)."""
        raise NotImplementedError

    def recall(self, handle: str, query: str = "") -> str:
        """The original text a notice's handle names, from any of the conversations (with
        `query`, its lines holding one of the query's words); the recall tool's answer. An
        unknown handle is answered with a text saying so, which is what the model should
        see."""
        try:
            return self._originals.recall(handle, query or None)
        except (KeyError, TypeError) as error:
            return f"[recall failed: {error.args[0]}]"
