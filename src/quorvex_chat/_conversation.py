"""`Conversation`: one conversation's prompts, grown by appending and compacted rarely.

A provider's prompt cache serves the longest prefix identical to a recent prompt. A prompt
that only grows by appending is served from the cache in full every call; one whose cut
moves every call is written afresh every call. So a `Conversation` appends while the history
fits the budget and, when the next prompt would exceed it, compacts once, well below the
budget, so that it can grow by appending again for many calls.
"""

from __future__ import annotations

import hashlib
import json
import math
import operator
import threading
from itertools import islice
from typing import Any, Callable, Generic, Iterable, Mapping, Sequence, TypeVar, cast

import quorvex_micro

from ._counting import TokenCounter, resolve_counter
from ._formats import BASE, Provider, Settled, View, Viewer, plain, write_back
from ._history import Reader
from ._history import stable_prefix as provider_prefix
from ._plan import CLAMPED, DROPPED, KEPT, Eliser, Plan, compact, pinned_by, shape
from ._tables import FLAGS, PART_TOKENS
from ._trim import DURABLE, TrimResult, _on_original, billed_beside

M = TypeVar("M")

_STATE_FORMAT = "quorvex_chat.Conversation/1"


class HistoryEdited(ValueError):
    """The history changed other than by appending since the last prompt."""


def digest(message: object) -> str:
    """A message's fingerprint: its canonical JSON, hashed. Equal messages, equal digests."""
    text = json.dumps(plain(message), sort_keys=True, ensure_ascii=False, default=str)
    return hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=8).hexdigest()


class Conversation(Generic[M]):
    """The prompts of one conversation under `max_tokens`, cache-stable between compactions.

    `prompt(history)` returns the `TrimResult` to send now for the whole history as it
    stands (grown by appending since the last call):

    - while the prompt last sent plus what was appended fits `max_tokens`, it is that prompt
      plus the new messages: the provider serves all of the previous prompt from its cache;
    - when it would not fit, the history is compacted once, by the rules of
      `trim(max_tokens=...)`, down to a lower `target`, and grows by appending again.

    The target: `target` tokens when given (an int, or a float for a share of the budget).
    By default, the highest target at which compacting pays for itself by
    `consolidation_gain`: rewriting a budget-sized prefix down to T, against reading the
    whole budget from the cache over the calls that it takes the prompt to grow back by
    the tokens appended per call so far, at `cache_read_ratio` and `cache_write_ratio`;
    but never below half the budget (what is left of `max_tokens` after `system` and
    `tools`). Higher targets keep more of the history but compact more often. Only the
    budget, never the target, makes the newest tool results clamped.

    State: `to_dict()` is the plan of the prompt last sent, JSON-serializable;
    `Conversation.from_dict(state, **the same options)` restores it, and the restored object
    gives exactly the prompts this one would.

    A history edited rather than appended to (a message before the planned part changed,
    removed or reordered) is detected by each message's fingerprint: the conversation then
    starts a fresh plan (`on_edit="replan"`, the default, counted in `replans`) or raises
    `HistoryEdited` (`on_edit="raise"`). Messages are compared by identity first and by
    content when the object differs; a message mutated in place is sent as it now is, but
    its elided notice is not made again.

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
                 tools: object = None, target: int | float | None = None,
                 cache_read_ratio: float = 0.1, cache_write_ratio: float = 1.25,
                 on_edit: str = "replan", pin: Callable[[Any], bool] | None = None,
                 exclude_tools: Iterable[str] = (), keep_recent_results: int = 0) -> None:
        if not isinstance(max_tokens, int) or isinstance(max_tokens, bool) or max_tokens < 0:
            raise ValueError(f"max_tokens must be a non-negative int, not {max_tokens!r}")
        Settled(provider)  # refuses a provider that is not a format
        if on_edit not in ("replan", "raise"):
            raise ValueError(f"on_edit must be 'replan' or 'raise', not {on_edit!r}")
        if target is not None and not (isinstance(target, (int, float)) and target >= 0):
            raise ValueError(f"target must be a non-negative number or None, not {target!r}")
        if stable_prefix is not None and stable_prefix < 0:
            raise ValueError("stable_prefix must not be negative")
        self.max_tokens = max_tokens
        self.half_life = half_life
        self._given_provider = provider
        self._stable_prefix = stable_prefix
        self._target = target
        self._ratios = (cache_read_ratio, cache_write_ratio)
        self._on_edit = on_edit
        self._pins: dict[str, Any] = {"pin": pin, "exclude_tools": tuple(exclude_tools),
                                      "keep_recent_results": keep_recent_results}
        table = {**FLAGS, **flags} if flags else FLAGS
        costs = {**PART_TOKENS, **part_tokens} if part_tokens else PART_TOKENS
        self._reader = Reader(table, costs, resolve_counter(token_counter))
        self._overhead = billed_beside(self._reader, system, tools)
        self._options = {"max_tokens": max_tokens, "half_life": half_life,
                         "provider": provider, "stable_prefix": stable_prefix,
                         "flags": dict(flags or {}), "part_tokens": dict(part_tokens or {}),
                         "overhead_tokens": self._overhead, "target": target,
                         "ratios": list(self._ratios), "pin": pin is not None,
                         "exclude_tools": sorted(self._pins["exclude_tools"]),
                         "keep_recent_results": keep_recent_results}
        self._lock = threading.Lock()
        #: Fresh plans started because the history was edited.
        self.replans = 0
        #: Compactions made so far.
        self.compactions = 0
        self._reset()

    def _reset(self) -> None:
        self._provider: Provider | None = self._given_provider
        self._settled = Settled(self._given_provider)
        self._viewer = Viewer()
        self._views: list[View] = []
        self._sizes: list[int] = []
        self._classes: list[int] = []
        self._digests: list[str] = []
        self._objects: list[object] = []
        self._fates: list[int] = []
        self._clamps: dict[int, int] = {}
        self._over = False
        self._appended = 0  # tokens appended to the history over all calls
        self._calls = 0
        self._materialised = False
        self._eliser = Eliser(self._reader.counted, self._reader.content_cost,
                              self._reader.count)
        self._out: list[M] = []
        self._kept: list[int] = []
        self._elided: list[int] = []
        self._clamped: list[int] = []
        self._out_tokens: list[int] = []

    # -- state --------------------------------------------------------------------------

    def to_dict(self) -> dict[str, Any]:
        """The plan of the prompt last sent, as plain JSON values."""
        return {"format": _STATE_FORMAT, "options": json.loads(json.dumps(self._options)),
                "provider": self._provider, "fates": "".join(map(str, self._fates)),
                "tokens": list(self._sizes), "classes": list(self._classes),
                "digests": list(self._digests),
                "clamps": {str(index): budget for index, budget in self._clamps.items()},
                "over_budget": self._over, "appended": self._appended, "calls": self._calls,
                "replans": self.replans, "compactions": self.compactions}

    @classmethod
    def from_dict(cls, state: Mapping[str, Any], **options: Any) -> Conversation[Any]:
        """A conversation restored from `to_dict()`, made with the same options."""
        conversation: Conversation[Any] = cls(**options)
        if not isinstance(state, Mapping) or state.get("format") != _STATE_FORMAT:
            raise ValueError(f"not a Conversation state: expected format {_STATE_FORMAT!r}")
        if state.get("options") != json.loads(json.dumps(conversation._options)):
            raise ValueError("the options differ from those the state was made with: "
                             "restore it with the same max_tokens, half_life, provider, "
                             "stable_prefix, flags, part_tokens, system, tools and target")
        fates = [int(fate) for fate in state["fates"]]
        columns = (state["tokens"], state["classes"], state["digests"])
        if any(len(column) != len(fates) for column in columns):
            raise ValueError("a Conversation state whose columns differ in length")
        conversation._provider = state["provider"]
        conversation._fates = fates
        conversation._sizes = [int(tokens) for tokens in state["tokens"]]
        conversation._classes = [int(flags) for flags in state["classes"]]
        conversation._digests = [str(value) for value in state["digests"]]
        conversation._objects = [None] * len(fates)
        conversation._clamps = {int(index): int(budget)
                                for index, budget in state["clamps"].items()}
        conversation._over = bool(state["over_budget"])
        conversation._appended = int(state["appended"])
        conversation._calls = int(state["calls"])
        conversation.replans = int(state["replans"])
        conversation.compactions = int(state["compactions"])
        return conversation

    # -- prompts ------------------------------------------------------------------------

    def prompt(self, history: Sequence[M]) -> TrimResult[M]:
        """The prompt to send now for `history`, the whole list grown by appending."""
        if isinstance(history, (str, bytes)) or not isinstance(history, Sequence):
            raise TypeError(f"history must be a list of messages, not {type(history).__name__}")
        if not self._lock.acquire(blocking=False):
            raise RuntimeError("Conversation.prompt is already running in another thread: "
                               "one Conversation serves one caller at a time")
        try:
            return self._prompt(history)
        finally:
            self._lock.release()

    def _prompt(self, history: Sequence[M]) -> TrimResult[M]:
        known = len(self._fates)
        edited = self._first_edit(history, known)
        if edited is not None:
            if self._on_edit == "raise":
                raise HistoryEdited(
                    f"message {edited}: the history changed other than by appending since "
                    f"the last prompt (a message changed, removed or reordered)")
            self.replans += 1
            appended, calls = self._appended, self._calls
            self._reset()
            self._appended, self._calls = appended, calls
            known = 0
        if not self._materialised:
            self._views = []
            for index, message in enumerate(islice(history, known)):
                self._settled.add(index, message)
                self._views.append(self._viewer.view(index, message))
            if known and self._reader.measure(known - 1, self._views[-1])[1] != \
                    self._sizes[known - 1]:
                raise ValueError("the token_counter differs from the one the state was made "
                                 "with: restore it with the same counter")
            self._materialise(history)
        appended = 0
        for index in range(known, len(history)):
            message = history[index]
            self._settled.add(index, message)
            view = self._viewer.view(index, message)
            self._views.append(view)
            flags, tokens = self._reader.measure(index, view)
            self._sizes.append(tokens)
            self._classes.append(flags)
            self._digests.append(digest(message))
            self._objects.append(message)
            self._fates.append(KEPT)
            self._out.append(message)
            self._kept.append(index)
            self._out_tokens.append(tokens)
            appended += tokens
        if history:
            self._provider = self._settled.format
        self._appended += appended
        self._calls += 1
        total = self._overhead + sum(self._out_tokens)
        if total > self.max_tokens:
            self._compact(history)
        else:
            self._over = False
        return self._result()

    def _first_edit(self, history: Sequence[M], known: int) -> int | None:
        """The first planned message that is no longer what was planned, or None."""
        if len(history) < known:
            return len(history)
        if all(map(operator.is_, islice(history, known), self._objects)):
            return None
        for index, (now, before) in enumerate(zip(islice(history, known), self._objects)):
            if now is before:
                continue
            if digest(now) != self._digests[index]:
                return index
            self._objects[index] = now
        return None

    def _materialise(self, history: Sequence[M]) -> None:
        """The prompt lists rebuilt from the fates (after a restore, or a fresh start)."""
        self._out, self._kept, self._elided, self._clamped, self._out_tokens = [], [], [], [], []
        for index, fate in enumerate(self._fates):
            if fate == DROPPED:
                continue
            self._kept.append(index)
            if fate == KEPT:
                self._out.append(history[index])
                self._out_tokens.append(self._sizes[index])
                continue
            if fate == CLAMPED:
                copy, tokens = self._eliser.clamp(self._views[index], self._clamps[index])
                self._clamped.append(index)
            else:
                copy, tokens = self._eliser.elide(index, self._views[index])
            self._elided.append(index)
            fmt = self._provider or self._settled.format
            self._out.append(cast(M, write_back(fmt, history[index], self._views[index], copy)))
            self._out_tokens.append(tokens)
        self._materialised = True

    def target(self) -> int:
        """The tokens a compaction aims at now (see the class docstring)."""
        budget = self.max_tokens - self._overhead
        if isinstance(self._target, float):
            return self._overhead + int(self._target * budget)
        if self._target is not None:
            return min(int(self._target), self.max_tokens)
        growth = max(self._appended / max(self._calls, 1), 1.0)
        read, write = self._ratios

        def pays(kept: int) -> bool:
            calls = max(math.ceil((budget - kept) / growth), 1)
            gain = quorvex_micro.consolidation_gain(budget, budget - kept, calls, read, write)
            return bool(gain["consolidate"])

        # Never below half the budget: lower targets cost little less on the bundled
        # sessions and lose many more of the facts a later turn needs.
        low, high = budget // 2, budget
        if not pays(low):
            return self._overhead + low
        while high - low > 1:
            middle = (low + high) // 2
            if pays(middle):
                low = middle
            else:
                high = middle
        return self._overhead + low

    def _compact(self, history: Sequence[M]) -> None:
        # The format as the history now settles it: a history of user text alone reads as
        # any of several, and its first tool call decides.
        base = BASE[self._settled.format]
        views = self._views
        prefix = (provider_prefix(views, base) if self._stable_prefix is None
                  else min(self._stable_prefix, len(views)))
        pins = {**self._pins, "pin": _on_original(self._pins["pin"], views, history)}
        form = shape(views, base, prefix, [bool(cls & DURABLE) for cls in self._classes],
                     pinned_by(views, base, **pins))
        plan: Plan = compact(views, self._sizes, self._classes, form, self._eliser,
                             target=self.target(), half_life=self.half_life,
                             overhead=self._overhead, budget=self.max_tokens)
        self.compactions += 1
        self._fates = plan.fates
        self._clamps = dict(plan.clamps)
        self._over = plan.over_budget
        self._materialise(history)

    def _result(self) -> TrimResult[M]:
        sizes = tuple(self._sizes)
        return TrimResult(messages=tuple(self._out), kept=tuple(self._kept),
                          elided=tuple(self._elided),
                          tokens_before=sum(sizes) + self._overhead,
                          tokens_after=sum(self._out_tokens) + self._overhead,
                          half_life=self.half_life, over_budget=self._over,
                          provider=self._provider or "anthropic", max_tokens=self.max_tokens,
                          input_tokens=sizes, message_tokens=tuple(self._out_tokens),
                          clamped=tuple(self._clamped), overhead_tokens=self._overhead)

