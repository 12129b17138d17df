"""The two shapes a history can have, and every question compaction asks of one.

Chat Completions (`CALLS`): an assistant message's tool calls are answered by tool messages
after it. Anthropic Messages (`TURNS`): user and assistant alternate, and a call's results
open the next user message. Each wire format is read into views of one of the two (see
`_formats`); above this module nothing asks which format or shape a history is in.
"""

from __future__ import annotations

from bisect import bisect_left
from collections.abc import Mapping, Sequence
from typing import Any

View = dict[str, Any]
ATTACHED = "_attached"  # a view key: the message goes wherever the one after it goes


def _parts(view: Mapping[str, Any]) -> list[Any]:
    content = view.get("content")
    return content if isinstance(content, list) else []


def _tool_results(view: Mapping[str, Any]) -> list[Mapping[str, Any]]:
    return [part for part in _parts(view)
            if isinstance(part, Mapping) and part.get("type") == "tool_result"]


def only_results(view: Mapping[str, Any]) -> bool:
    """A message that holds nothing but tool results."""
    content = view.get("content")
    return view.get("role") == "tool" or isinstance(content, list) and bool(content) and all(
        isinstance(part, Mapping) and part.get("type") == "tool_result" for part in content)


def holds_results(view: Mapping[str, Any]) -> bool:
    """A message carrying a tool result, which an elision can shorten."""
    return view.get("role") == "tool" or bool(_tool_results(view))


class Shape:
    """What compaction asks of a history of one shape. Views are plain dicts."""

    #: Durable messages stay where they are when their unit goes (Chat Completions takes a
    #: system or developer message anywhere, so one need not hold its turn back).
    durable_stays_alone = False
    #: A person's request may stand without the answer it led to, before the next one
    #: (Chat Completions takes two user messages in a row; alternating formats do not).
    requests_stay_alone = False

    def stable_prefix(self, views: Sequence[View]) -> int:
        raise NotImplementedError

    def instructions(self, views: Sequence[View]) -> int:
        """How many leading messages are standing instructions (a system prompt sent inside
        the history rather than beside it)."""
        return 0

    def is_request(self, view: View) -> bool:
        """A message a person sent."""
        raise NotImplementedError

    def makes_calls(self, view: View) -> bool:
        raise NotImplementedError

    def calls(self, view: View) -> list[tuple[str, str]]:
        """(id, tool name) of each call the message makes."""
        raise NotImplementedError

    def answered(self, view: View) -> list[str]:
        """The ids of the calls whose results the message carries."""
        raise NotImplementedError

    def rounds(self, views: Sequence[View], prefix: int,
               callers: Sequence[int]) -> dict[int, int]:
        """Start -> end of every call round after `prefix`: a call with its results
        (`callers`: the messages that make calls, ascending). A round ending before the last
        message is final, and the rounds after it are those of the callers from its end on,
        found alone: a reading finds them only so, once each."""
        raise NotImplementedError

    def check(self, index: int, view: View, called: set[str]) -> None:
        """Refuse a message no provider takes: a result that answers no call made before it
        (`called`, which this extends by the message's own calls)."""
        called.update(ident for ident, _ in self.calls(view))
        for ident in self.answered(view):
            if ident not in called:
                raise ValueError(f"message {index}: a tool result that answers no call made "
                                 f"before it (id {ident!r})")

    def round_can_go(self, views: Sequence[View], start: int, end: int) -> bool:
        return True

    def turn_can_go(self, views: Sequence[View], start: int, end: int) -> bool:
        return True

    def units(self, views: Sequence[View]) -> list[list[int]]:
        """The indices grouped into the units that survive or go together, for decay."""
        raise NotImplementedError

    def unit_always_stays(self, views: Sequence[View], unit: Sequence[int]) -> bool:
        return False

    def validate(self, views: Sequence[View]) -> list[str]:
        """The ways `views` break the provider's ordering rules (pending calls at the end
        are allowed)."""
        raise NotImplementedError

    def open_turn(self, views: Sequence[View]) -> int:
        """Where the open turn starts: the last request (a history without one: 0)."""
        for index in range(len(views) - 1, -1, -1):
            if self.is_request(views[index]):
                return index
        return 0


class CallShape(Shape):
    """Chat Completions: calls in `tool_calls`, each answered by a `tool` message."""

    durable_stays_alone = True
    requests_stay_alone = True

    def stable_prefix(self, views: Sequence[View]) -> int:
        """The leading system and developer messages."""
        count = 0
        while count < len(views) and views[count].get("role") in ("system", "developer"):
            count += 1
        return count

    def instructions(self, views: Sequence[View]) -> int:
        return self.stable_prefix(views)

    def is_request(self, view: View) -> bool:
        return view.get("role") == "user"

    def makes_calls(self, view: View) -> bool:
        return view.get("role") == "assistant" and bool(view.get("tool_calls"))

    def calls(self, view: View) -> list[tuple[str, str]]:
        found = []
        for call in view.get("tool_calls") or ():
            if isinstance(call, Mapping):
                function = call.get("function")
                name = function.get("name") if isinstance(function, Mapping) else None
                found.append((str(call.get("id")), str(name)))
        return found

    def answered(self, view: View) -> list[str]:
        return [str(view.get("tool_call_id"))] if view.get("role") == "tool" else []

    def check(self, index: int, view: View, called: set[str]) -> None:
        if view.get("role") == "tool" and view.get("tool_call_id") is None:
            raise ValueError(f"message {index}: a tool message without tool_call_id")
        for call in view.get("tool_calls") or ():
            function = call.get("function") if isinstance(call, Mapping) else None
            arguments = function.get("arguments", "") if isinstance(function, Mapping) else ""
            if not isinstance(arguments, str):
                raise ValueError(f"message {index}: tool call arguments must be a JSON string, "
                                 f"not {type(arguments).__name__}")
        super().check(index, view, called)

    def round_end(self, views: Sequence[View], start: int) -> int:
        """Where the round opened at `start` ends: after the tool messages answering it and
        the further calls made while some are unanswered (Responses items carry parallel
        calls one per item), with any item held to the one after it (reasoning)."""
        pending = {ident for ident, _ in self.calls(views[start])}
        end = start + 1
        while end < len(views):
            view = views[end]
            if view.get("role") == "tool":
                pending.discard(str(view.get("tool_call_id")))
            elif pending and (view.get("tool_calls") or view.get(ATTACHED)):
                pending.update(ident for ident, _ in self.calls(view))
            else:
                break
            end += 1
        return end

    def rounds(self, views: Sequence[View], prefix: int,
               callers: Sequence[int]) -> dict[int, int]:
        ends: dict[int, int] = {}
        last_end = -1
        for call in callers[bisect_left(callers, prefix):]:
            if call < last_end:
                continue  # a parallel call of the round before, as its own item
            start = call
            while start > prefix and views[start - 1].get(ATTACHED):
                start -= 1  # reasoning goes with the calls it led to
            last_end = ends[start] = self.round_end(views, call)
        return ends

    def units(self, views: Sequence[View]) -> list[list[int]]:
        groups: list[list[int]] = []
        index = 0
        while index < len(views):
            start = index
            while index < len(views) and views[index].get(ATTACHED):
                index += 1
            if index < len(views) and views[index].get("tool_calls"):
                index = self.round_end(views, index)
            else:
                index = min(index + 1, len(views))
            groups.append(list(range(start, index)))
        return groups

    def validate(self, views: Sequence[View]) -> list[str]:
        errors: list[str] = []
        waiting: set[str] = set()
        for index, view in enumerate(views):
            role = view.get("role")
            if role == "tool":
                if view.get("tool_call_id") not in waiting:
                    errors.append(f"{index}: tool message answers no pending call")
                waiting.discard(str(view.get("tool_call_id")))
                continue
            calls = (view.get("tool_calls") or []) if role == "assistant" else []
            ids = {str(call.get("id")) for call in calls}
            if waiting or len(ids) != len(calls):
                errors.append(f"{index}: calls {sorted(waiting)} unanswered, or a repeated "
                              f"call id")
            waiting = ids
            if role not in ("system", "developer", "user", "assistant") or (
                    role == "assistant" and view.get("content") is None and not calls):
                errors.append(f"{index}: unknown role, or an assistant message without content")
        return errors


def validate_items(views: Sequence[View]) -> list[str]:
    """OpenAI Responses items (read as Chat Completions views): every output answers a call
    made before it, each call id once; the calls made are answered before the next message;
    a reasoning item is followed by another model item."""
    errors: list[str] = []
    waiting: set[str] = set()
    seen: set[str] = set()
    for index, view in enumerate(views):
        if view.get("role") == "tool":
            if view.get("tool_call_id") not in waiting:
                errors.append(f"{index}: output answers no pending call")
            waiting.discard(str(view.get("tool_call_id")))
            continue
        calls = [str(call.get("id")) for call in view.get("tool_calls") or ()]
        if calls or view.get(ATTACHED):
            if seen.intersection(calls):
                errors.append(f"{index}: a repeated call id")
            seen.update(calls)
            waiting.update(calls)
        elif waiting:
            errors.append(f"{index}: calls {sorted(waiting)} unanswered")
            waiting = set()
        if view.get(ATTACHED) and index + 1 < len(views) and \
                views[index + 1].get("role") != "assistant":
            errors.append(f"{index}: a reasoning item without the item it leads to")
    return errors


class TurnShape(Shape):
    """Anthropic Messages: alternating roles, calls as `tool_use` blocks, their results as
    the `tool_result` blocks opening the next user message."""

    def stable_prefix(self, views: Sequence[View]) -> int:
        """None: the system prompt lives beside the messages. A `cache_control` mark is a
        cache hint, never protection: Anthropic's own recipe moves one to the newest message
        every call, which would otherwise freeze the whole history (`cache_marks` places
        the breakpoints on a prompt; `stable_prefix=` protects messages)."""
        return 0

    def is_request(self, view: View) -> bool:
        """A user message that is not only tool results."""
        if view.get("role") != "user":
            return False
        content = view.get("content")
        return not isinstance(content, list) or any(
            not isinstance(part, Mapping) or part.get("type") != "tool_result"
            for part in content)

    def makes_calls(self, view: View) -> bool:
        return view.get("role") == "assistant" and any(
            isinstance(part, Mapping) and part.get("type") == "tool_use"
            for part in _parts(view))

    def calls(self, view: View) -> list[tuple[str, str]]:
        return [(str(part.get("id")), str(part.get("name"))) for part in _parts(view)
                if isinstance(part, Mapping) and part.get("type") == "tool_use"]

    def answered(self, view: View) -> list[str]:
        return [str(part.get("tool_use_id")) for part in _tool_results(view)]

    def rounds(self, views: Sequence[View], prefix: int,
               callers: Sequence[int]) -> dict[int, int]:
        ends: dict[int, int] = {}
        for start in callers[bisect_left(callers, prefix):]:
            end = start + 1
            ends[start] = end + 1 if end < len(views) and \
                views[end].get("role") == "user" else end
        return ends

    def round_can_go(self, views: Sequence[View], start: int, end: int) -> bool:
        # The results must not share a message with a request: that message stays.
        return end - start == 2 and not self.is_request(views[end - 1])

    def turn_can_go(self, views: Sequence[View], start: int, end: int) -> bool:
        # Only while the roles still alternate without it and no result of it stays behind.
        return (views[end - 1].get("role") == "assistant" and not _tool_results(views[start])
                and not (end < len(views) and _tool_results(views[end]))
                and not (start > 0 and views[start - 1].get("role") != "assistant"))

    def units(self, views: Sequence[View]) -> list[list[int]]:
        groups: list[list[int]] = []
        for index, view in enumerate(views):
            if view.get("role") == "assistant" or not groups:
                groups.append([index])
            else:
                groups[-1].append(index)
        return groups

    def unit_always_stays(self, views: Sequence[View], unit: Sequence[int]) -> bool:
        # The messages before the first assistant message: a user message must come first.
        return views[unit[0]].get("role") != "assistant"

    def validate(self, views: Sequence[View]) -> list[str]:
        errors: list[str] = []
        waiting: list[str] = []
        for index, view in enumerate(views):
            parts = [part for part in _parts(view) if isinstance(part, Mapping)] \
                if isinstance(view.get("content"), list) else [{"type": "text"}]
            kinds = [part.get("type") for part in parts]
            if view.get("role") != ("user", "assistant")[index % 2]:
                errors.append(f"{index}: {view.get('role')} where the alternation wants the "
                              f"other")
            if view.get("role") == "assistant":
                waiting = [str(part.get("id")) for part in parts
                           if part.get("type") == "tool_use"]
                if "tool_result" in kinds or len(set(waiting)) != len(waiting):
                    errors.append(f"{index}: tool_result in an assistant message, or a "
                                  f"repeated id")
                continue
            results = [str(part.get("tool_use_id")) for part in parts
                       if part.get("type") == "tool_result"]
            if sorted(results) != sorted(waiting) or "tool_result" in kinds[len(results):]:
                errors.append(f"{index}: results {results} do not open the message "
                              f"answering {waiting}")
            waiting = []
        return errors


CALLS = CallShape()
TURNS = TurnShape()
