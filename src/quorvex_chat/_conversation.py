"""`Conversation`: one conversation's prompts, grown by appending and compacted rarely.

A provider's prompt cache serves the longest prefix identical to a recent prompt. A prompt
that only grows by appending is served from the cache in full every call; one whose cut
moves every call is written afresh every call. So a `Conversation` appends while the history
fits the budget and, when the next prompt would exceed it, compacts once, well below the
budget, so that it can grow by appending again for many calls.
"""

from __future__ import annotations

import math
import threading
import warnings
from collections.abc import Iterable, Mapping, MutableMapping, Sequence
from typing import Any, Callable, Generic, TypeVar

from ._counting import TokenCounter
from ._elision import Eliser
from ._formats import Provider
from ._lookup import SHARE, Lookup, asks_as_result, notice
from ._options import Options
from ._plan import (DROPPED, KEPT, Plan, add_run, compact, layout, note_drops,
                    requests_of, runs_in_prompt)
from ._reading import DURABLE, Reading
from ._shapes import holds_results
from ._measure import to_json
from ._recall import HANDLE_PATTERN, Originals, answer, call_of, recall_tool
from ._render import copy_of, extended, render
from ._result import TrimResult
from ._state import check_plan, restored_plan, saved_state
from ._store import StoreLike, store_of

M = TypeVar("M")

#: A compaction keeps at least this many tokens where that leaves `ROOM_TOKENS` free (and
#: `ROOM_CALLS` calls' growth): most facts a turn needs came a few turns before it (a
#: quarter of those of the generated sessions within 12 messages), and half of a small
#: budget holds too few turns. Chosen on the training seeds at 8,000 tokens: 512 of 594
#: needs kept at 0.33x the cost of no trimming, against 499 at 0.28x for half the budget;
#: room for two calls' growth kept 503, for three 499. At 4,000 a compaction so near the
#: budget keeps more of them (339 against 324) but compacts so often that the bundled
#: sessions lose facts to it, so the room keeps it at half there.
RECENT_TOKENS = 6000
ROOM_TOKENS = 2000
ROOM_CALLS = 1


class HistoryEdited(ValueError):
    """The history changed other than by appending since the last prompt."""


class Conversation(Generic[M]):
    """The prompts of one conversation under `max_tokens`, cache-stable between compactions.

    `prompt(history)` returns the `TrimResult` to send now for the whole history as it
    stands (grown by appending since the last call):

    - while the prompt last sent plus what was appended fits `max_tokens`, it is that prompt
      plus the new messages: the provider serves all of the previous prompt from its cache;
    - when it would not fit, the history is compacted once, by the rules of
      `trim(max_tokens=...)`, down to a lower `target`, and grows by appending again.

    The target: `target` when given, a share of the budget (what is left of `max_tokens`
    after `system` and `tools`), 0 < target <= 1. By default, half the budget, but never
    below `RECENT_TOKENS` (6,000) where that leaves `ROOM_TOKENS` (2,000) of the budget, and
    the tokens a call appends on average, to grow in (so 0.75 of 8,000 tokens, half of 4,000
    or of 12,000 and more). At any cache prices a lower target costs less per call: the
    rewrite is smaller and comes less often, and the reads between are smaller, so the
    floor is set by what later turns need. (`cache_read_ratio` and `cache_write_ratio` no
    longer change it; they are deprecated.) Higher targets keep more of the history but
    compact more often. Only the budget, never the target, makes the newest tool results
    clamped.

    State: `to_dict()` is the plan of the prompt last sent, JSON-serializable;
    `Conversation.from_dict(state, **the same options)` restores it, and the restored object
    gives exactly the prompts this one would.

    A history edited rather than appended to (a message before the planned part changed,
    removed or reordered) is detected by each message's fingerprint: the conversation then
    starts a fresh plan (`on_edit="replan"`, the default, counted in `replans`) or raises
    `HistoryEdited` (`on_edit="raise"`). Content, not identity, decides: a message changed
    in place (grown, redacted) is an edit, and an equal copy is not. Between compactions the
    prompt's own messages are compared by content every call and the others by identity; a
    compaction compares them all. The prompt holds the objects of the history given to this
    call.

    Nothing leaves beyond recall: every notice names a handle (`HANDLE_PATTERN`) under
    which `store` keeps the original text, by default in memory; a SQLite path or any
    mutable mapping of handle to text keeps it elsewhere. `recall(handle)` returns it; offer
    the model `recall_tool()` and answer its calls with `answer_recall(call)`. A new request
    that points at what the prompt no longer shows whole carries those lines back itself
    (`recall_lines`, on by default): at most 3 a clause and 4% of the budget, written once
    into the request so that the prompt before it stays cached. In Chat Completions and
    Anthropic dicts, a short tool result after the model's last calls (a ticket, the next
    item of a checklist) is read as a request too.

    `pin`, `exclude_tools` and `keep_recent_results` keep messages whole, as in `trim`,
    which also says which formats a history may be in.

    One `Conversation` serves one caller at a time: a call made while another is running
    in a different thread raises RuntimeError instead of corrupting the plan. Use one per
    conversation, or serialise the calls.
    """

    def __init__(self, *, max_tokens: int, token_counter: TokenCounter | None = None,
                 provider: Provider | None = None, half_life: float = 6.0,
                 stable_prefix: int | None = None, flags: Mapping[str, int] | None = None,
                 part_tokens: Mapping[str, int] | None = None, system: object = None,
                 tools: object = None, target: float | None = None,
                 cache_read_ratio: float = 0.1, cache_write_ratio: float = 1.25,
                 on_edit: str = "replan", pin: Callable[[Any], bool] | None = None,
                 exclude_tools: Iterable[str] = (), keep_recent_results: int = 0,
                 store: StoreLike = None, recall_lines: bool = True) -> None:
        if max_tokens is None:  # a Conversation exists to keep a budget
            raise ValueError("max_tokens must be a non-negative int, not None")
        if (cache_read_ratio, cache_write_ratio) != (0.1, 1.25):
            warnings.warn("cache_read_ratio and cache_write_ratio no longer change the "
                          "compaction target (a lower target costs less at any cache "
                          "prices) and go in the next release", DeprecationWarning,
                          stacklevel=2)
        self._start(Options(
            max_tokens=max_tokens, token_counter=token_counter, provider=provider,
            half_life=half_life, stable_prefix=stable_prefix, flags=flags,
            part_tokens=part_tokens, system=system, tools=tools, target=target,
            cache_read_ratio=cache_read_ratio, cache_write_ratio=cache_write_ratio,
            on_edit=on_edit, pin=pin, exclude_tools=exclude_tools,
            keep_recent_results=keep_recent_results, store=store, recall_lines=recall_lines))

    @classmethod
    def with_options(cls, options: Options) -> Conversation[Any]:
        """A conversation by options already made (the adapters make theirs once)."""
        conversation: Conversation[Any] = cls.__new__(cls)
        conversation._start(options)
        return conversation

    def _start(self, options: Options) -> None:
        self.options = options.for_conversation()
        self._originals = Originals(store_of(options.store))  # type: ignore[arg-type]
        self.max_tokens: int = options.max_tokens  # type: ignore[assignment]
        self.half_life = options.half_life
        self._lock = threading.Lock()
        #: Fresh plans started because the history was edited.
        self.replans = 0
        #: Compactions made so far.
        self.compactions = 0
        self._appended = 0  # tokens appended to the history over all calls
        self._calls = 0
        self._length = 0  # messages in the history of the last call
        self._reset()

    def _reset(self) -> None:
        self._reading = Reading(self.options, fingerprints=True)
        self._eliser = Eliser(self.options.meter, self._originals,
                              max(self.max_tokens // 4, 1))
        self._plan = Plan(bytearray(), total=self.options.overhead)
        self._lookup = Lookup()
        self._frozen: int | None = None  # the messages read at the last compaction
        self._live: list[tuple[int, int]] = []  # runs of the messages the plan does not drop
        self._last: TrimResult[Any] | None = None  # the prompt last returned
        #: A state restored by `from_dict`, checked against the history at the next call.
        self._saved: dict[str, Any] | None = None

    # -- state --------------------------------------------------------------------------

    def to_dict(self) -> dict[str, Any]:
        """The plan of the prompt last sent, as plain JSON values."""
        if self._saved is not None:  # restored and not yet prompted: the same state again
            return dict(self._saved["state"])
        return saved_state(self.options, self._reading, self._plan, provider=self.provider,
                           appended=self._appended, calls=self._calls, frozen=self._frozen,
                           replans=self.replans, compactions=self.compactions,
                           handles=self._handles())

    def _handles(self) -> list[str]:
        """The handles the prompt last sent names, in its order."""
        last = self._last
        if last is None:
            return []
        found = HANDLE_PATTERN.findall(to_json([self._reading.views[index]
                                                if index not in self._plan.copies else
                                                self._plan.copies[index][0]
                                                for index in last.elided]))
        for request, gone in self._plan.notes.items():
            found += HANDLE_PATTERN.findall(self._eliser.kept_note(gone, request < gone[0],
                                                             self._reading.views)[0])
        return list(dict.fromkeys(found))

    @classmethod
    def from_dict(cls, state: Mapping[str, Any], **options: Any) -> Conversation[Any]:
        """A conversation restored from `to_dict()`, made with the same options."""
        conversation: Conversation[Any] = cls(**options)
        conversation._restore(state)
        return conversation

    @classmethod
    def restored(cls, state: Mapping[str, Any], options: Options) -> Conversation[Any]:
        """`from_dict` by options already made (the adapters restore with theirs)."""
        conversation = cls.with_options(options)
        conversation._restore(state)
        return conversation

    def _restore(self, state: Mapping[str, Any]) -> None:
        saved = restored_plan(state, self.options)
        self._saved = saved
        self._appended, self._calls = saved["appended"], saved["calls"]
        self.replans, self.compactions = saved["replans"], saved["compactions"]

    @property
    def provider(self) -> Provider | None:
        """The format of the history as read so far (None: nothing read yet)."""
        if self._saved is not None:
            return self._saved["provider"]  # type: ignore[no-any-return]
        return self._reading.provider

    # -- recall -------------------------------------------------------------------------

    @property
    def store(self) -> MutableMapping[str, str]:
        """The originals of what the prompts elide, by handle."""
        return self._originals.store

    def recall(self, handle: str, query: str | None = None) -> str:
        """The original text that a notice's `handle` names (with `query`, only its lines
        that hold one of the query's words); KeyError for a handle that is not stored
        (never made, or forgotten by a bounded store)."""
        return self._originals.recall(handle, query)

    def recall_tool(self, provider: Provider | None = None) -> dict[str, Any]:
        """The schema of the recall tool to offer the model beside the others, in the
        tool shape of `provider` (by default the history's): Chat Completions, Responses,
        Anthropic or Gemini."""
        return recall_tool(self._format_for(provider))

    def answer_recall(self, call: Mapping[str, Any],
                      provider: Provider | None = None) -> dict[str, Any]:
        """The tool result message that answers the model's recall `call` (a tool call of
        the history's format) with the original: append it to the history and prompt
        again. An unknown handle is answered with a result saying so, for the model."""
        fmt = self._format_for(provider)
        _, arguments, _ = call_of(call)
        handle, query = arguments.get("handle"), arguments.get("query")
        try:
            text = self.recall(handle if isinstance(handle, str) else "",
                               query if isinstance(query, str) else None)
        except KeyError as error:
            text = f"[recall failed: {error.args[0]}]"
        return answer(fmt, call, text)

    def _format_for(self, provider: Provider | None) -> str:
        chosen = provider or self.provider or self.options.provider
        if chosen is None:
            raise ValueError("no format yet: pass provider=, or prompt a history first")
        return chosen

    # -- prompts ------------------------------------------------------------------------

    def prompt(self, history: Sequence[M]) -> TrimResult[M]:
        """The prompt to send now for `history`, the whole list grown by appending."""
        if type(history) is not list and (isinstance(history, (str, bytes)) or
                                          not isinstance(history, Sequence)):
            raise TypeError(f"history must be a list of messages, not {type(history).__name__}")
        if not self._lock.acquire(False):  # not waiting
            raise RuntimeError("Conversation.prompt is already running in another thread: "
                               "one Conversation serves one caller at a time")
        try:
            return self._prompt(history)
        finally:
            self._lock.release()

    def _prompt(self, history: Sequence[M]) -> TrimResult[M]:
        # Between compactions only the prompt's own messages are fingerprinted each call;
        # a compaction, which reads every message, checks them all first.
        edited = self._adopt(history) if self._saved is not None else \
            self._reading.first_edit(history, self._live)
        if edited is not None:
            self._edited(edited)
        last = self._last
        if last is not None and len(last._counts) == len(history) == self._length and \
                not self._reading.swapped and self._plan.total <= self.max_tokens:
            self._calls += 1  # nothing appended, nothing moved: the very prompt again
            self._plan.over_budget = False
            return last
        start = self._length
        self._grow(history)
        self._appended += sum(self._reading.sizes[self._length:])
        self._length = len(history)
        self._calls += 1
        if self._plan.total <= self.max_tokens:
            self._plan.over_budget = False
        else:
            edited = self._reading.first_edit(history)
            if edited is not None:
                self._edited(edited)
                self._grow(history)
                start = 0
            self._compact(self._asked(start))
            self._frozen = len(history)
            self._last = None
        self._look_up(start)
        return self._render(history)

    def _asked(self, start: int) -> bool:
        """Whether a request came in since message `start` that may get recalled lines."""
        return self.options.recall_lines and bool(self._awaiting(start))

    def _compact(self, asked: bool) -> None:
        """A fresh plan at the target, leaving room for the lines a new request recalls;
        the requests that stay keep their recalled lines while the target has room for
        them, the newest first."""
        carried = self._plan.lookups
        budget = self.max_tokens - (int(SHARE * self.max_tokens) if asked else 0)
        plan = compact(self._reading, self._eliser, target=min(self.target(), budget),
                       budget=budget)
        if plan.over_budget and budget < self.max_tokens:  # no room to leave: the budget
            plan = compact(self._reading, self._eliser, target=self.target(),
                           budget=self.max_tokens)
        self._plan = plan
        self.compactions += 1
        self._live = runs_in_prompt(plan.fates)
        # Within the aim, not the budget: a prompt compacted back up to the budget would
        # compact again at the next call.
        aim = min(self.target(), budget)
        for index in sorted(carried, reverse=True):
            tokens = carried[index][1]
            if plan.fates[index] != DROPPED and plan.total + tokens <= aim:
                plan.lookups[index] = carried[index]
                plan.total += tokens
        self._retain()

    def _retain(self) -> None:
        """Write the originals that the new plan's elided messages name to the store again,
        as its newest texts. A compaction writes there the originals of what its trials
        elide and the parts of its notices (a long history's dropped stretch, again at
        every compaction), and a bounded store forgets its oldest texts first: those must
        be texts no prompt names now, never an original the prompt shows a handle of."""
        named = self._eliser.named
        shown = HANDLE_PATTERN.findall(to_json([copy for copy, _ in self._plan.copies.values()]))
        self._originals.store.update({handle: named[handle] for handle in shown
                                      if handle in named})

    def _awaiting(self, start: int) -> list[int]:
        """The messages appended since message `start` that ask and that the model has not
        answered yet: the requests after the last message it wrote, and where the caller's
        own messages can carry a note, the short tool results after its last calls (a
        ticket, a checklist's next item). An answered request gains nothing from lines
        recalled now, and a first call on a long history would look up every request."""
        reading = self._reading
        shape, views, classes, sizes = reading.shape, reading.views, reading.classes, \
            reading.sizes
        results = reading.format.writes_any_part

        def asks(index: int) -> bool:
            return shape.is_request(views[index]) or (
                results and asks_as_result(views[index], sizes[index]))

        index = len(views)
        while index > start and (shape.is_request(views[index - 1]) or (
                results and holds_results(views[index - 1])) or classes[index - 1] & DURABLE):
            index -= 1
        return [index for index in range(max(index, reading.stable_prefix()), len(views))
                if asks(index)]

    def _look_up(self, start: int) -> None:
        """Recall for each message appended since the last call that asks and is not yet
        answered (`_awaiting`) the lines it points at among the messages the prompt no
        longer holds whole, within the budget."""
        if not self.options.recall_lines or start == len(self._reading.views):
            return  # nothing appended asks
        reading, plan = self._reading, self._plan
        room = min(int(SHARE * self.max_tokens), self.max_tokens - plan.total)
        for index in self._awaiting(start):
            if room <= 0:
                break
            if plan.fates[index] == DROPPED:
                continue
            lines = self._lookup.lines_for(reading, plan, self._eliser, index,
                                           self.max_tokens)
            while lines:
                text = notice(lines)
                tokens = self.options.meter.counted(text)
                if tokens <= room:
                    plan.lookups[index] = (text, tokens)
                    plan.total += tokens
                    room -= tokens
                    break
                lines.pop()

    def _edited(self, index: int) -> None:
        if self.options.on_edit == "raise":
            raise HistoryEdited(
                f"message {index}: the history changed other than by appending since the "
                f"last prompt (a message changed, removed or reordered)")
        self.replans += 1
        self._reset()

    def _grow(self, history: Sequence[M]) -> None:
        """Read the messages appended since the last call; the plan keeps them whole."""
        plan = self._plan
        start = len(plan.fates)
        if len(history) <= start:
            return  # nothing appended: a repeated call reads nothing
        try:
            self._reading.extend(history)
        finally:
            # A malformed message stops the reading at it: the plan still takes in those
            # read before it, or its total would count them short from then on.
            read = len(self._reading)
            plan.total += sum(self._reading.sizes[start:read])
            plan.fates += bytes([KEPT]) * (read - start)
            add_run(self._live, start, read)

    def _render(self, history: Sequence[M]) -> TrimResult[M]:
        """The prompt: the last one extended by what was appended, while nothing else moved
        (an append-only call costs what it appends), else rendered from the plan."""
        stable = self._reading.stable_prefix() if self._frozen is None else self._frozen
        last = self._last
        if last is None or self._reading.swapped or last.provider != self._reading.provider:
            result = render(self._reading, self._plan, history, self._eliser, stable=stable)
        else:  # a call with nothing appended returned the last prompt before this
            result = extended(last, self._reading, history, stable, self._plan)
        self._last = result
        return result

    def _adopt(self, history: Sequence[M]) -> int | None:
        """Take up a restored plan for `history`: the first message the state does not
        describe, or None once the plan is in place."""
        saved, self._saved = self._saved, None
        assert saved is not None
        fates = saved["fates"]
        if len(history) < len(fates):
            return len(history)
        self._reading.extend(history[:len(fates)])
        reading = self._reading
        edited = next((index for index, (now, then) in enumerate(zip(reading.digests,
                                                                     saved["digests"]))
                       if now != then), None)
        if edited is not None:
            return edited
        if reading.sizes != saved["tokens"] or reading.classes != saved["classes"]:
            raise ValueError("the token_counter differs from the one the state was made "
                             "with: restore it with the same counter")
        counted = self.options.meter.counted
        plan = Plan(fates, clamps=saved["clamps"], over_budget=saved["over_budget"],
                    lookups={index: (text, counted(text))
                             for index, text in saved["lookups"].items()})
        self._frozen = saved["frozen"]
        plan.total = self.options.overhead + sum(
            reading.sizes[index] if fate == KEPT else copy_of(reading, plan, self._eliser,
                                                              index)[1]
            for index, fate in enumerate(fates) if fate != DROPPED) + sum(
            tokens for _, tokens in plan.lookups.values())
        # The notes were placed when the plan was made, among the messages read then.
        frozen = len(fates) if self._frozen is None else self._frozen
        note_drops(reading, self._eliser, plan,
                   [index for index in requests_of(reading) if index < frozen],
                   layout(reading).bare)
        check_plan(reading, plan)
        self._plan = plan
        self._live = runs_in_prompt(fates)
        self._length = len(fates)
        return None

    def target(self) -> int:
        """The tokens a compaction aims at now (see the class docstring)."""
        overhead = self.options.overhead
        budget = max(self.max_tokens - overhead, 0)
        if self.options.target is not None:
            return overhead + int(self.options.target * budget)
        growth = max(self._appended / max(self._calls, 1), 1.0)
        # The floor alone (the class docstring says why no price lifts it): half the budget
        # (lower targets cost little less on the bundled sessions and lose many more of the
        # facts a later turn needs), nor below the newest `RECENT_TOKENS` where the budget
        # leaves room beside them.
        room = max(ROOM_TOKENS, math.ceil(ROOM_CALLS * growth))
        return overhead + max(budget // 2, min(RECENT_TOKENS, budget - room))
