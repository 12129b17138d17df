"""The providers' ordering rules for a prompt, from their API references: what the replay
checks every prompt against. Calls still pending at the end of a prompt are allowed."""

from __future__ import annotations

from typing import Any, Callable, Mapping, Sequence

from ._formats import ATTACHED, BASE, Viewer


def _parts(message: Mapping[str, Any]) -> list[Mapping[str, Any]]:
    content = message.get("content")
    if isinstance(content, list):
        return [part for part in content if isinstance(part, Mapping)]
    return [{"type": "text"}]


def openai_errors(messages: Sequence[Mapping[str, Any]]) -> list[str]:
    """OpenAI: an assistant message's tool_calls are answered, one tool message per id, before
    any other message, and a tool message answers such a call."""
    errors: list[str] = []
    waiting: set[str] = set()
    for index, message in enumerate(messages):
        role = message.get("role")
        if role == "tool":
            if message.get("tool_call_id") not in waiting:
                errors.append(f"{index}: tool message answers no pending call")
            waiting.discard(str(message.get("tool_call_id")))
            continue
        calls = (message.get("tool_calls") or []) if role == "assistant" else []
        ids = {str(call.get("id")) for call in calls}
        if waiting or len(ids) != len(calls):
            errors.append(f"{index}: calls {sorted(waiting)} unanswered, or a repeated call id")
        waiting = ids
        if role not in ("system", "developer", "user", "assistant") or (
                role == "assistant" and message.get("content") is None and not calls):
            errors.append(f"{index}: unknown role, or an assistant message without content")
    return errors


def anthropic_errors(messages: Sequence[Mapping[str, Any]]) -> list[str]:
    """Anthropic: user first, roles alternate, an assistant message's tool_use ids are
    answered by tool_result blocks opening the next (user) message, and only there."""
    errors: list[str] = []
    waiting: list[str] = []
    for index, message in enumerate(messages):
        parts = _parts(message)
        kinds = [part.get("type") for part in parts]
        if message.get("role") != ("user", "assistant")[index % 2]:
            errors.append(f"{index}: {message.get('role')} where the alternation wants the other")
        if message.get("role") == "assistant":
            waiting = [str(part.get("id")) for part in parts if part.get("type") == "tool_use"]
            if "tool_result" in kinds or len(set(waiting)) != len(waiting):
                errors.append(f"{index}: tool_result in an assistant message, or a repeated id")
            continue
        results = [str(part.get("tool_use_id")) for part in parts
                   if part.get("type") == "tool_result"]
        if sorted(results) != sorted(waiting) or "tool_result" in kinds[len(results):]:
            errors.append(f"{index}: results {results} do not open the message answering "
                          f"{waiting}")
        waiting = []
    return errors


def responses_errors(views: Sequence[Mapping[str, Any]]) -> list[str]:
    """OpenAI Responses (items read as Chat Completions views): every output answers a call
    made before it, each call id once; the calls made are answered before the next message;
    a reasoning item is followed by another model item."""
    errors: list[str] = []
    waiting: set[str] = set()
    seen: set[str] = set()
    for index, view in enumerate(views):
        role = view.get("role")
        if role == "tool":
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


RULES: Mapping[str, Callable[[Sequence[Mapping[str, Any]]], list[str]]] = {
    "openai": openai_errors, "anthropic": anthropic_errors, "responses": responses_errors}


def prompt_errors(messages: Sequence[object], provider: str) -> list[str]:
    """The ways `messages`, in the format `provider`, break that provider's ordering rules."""
    viewer = Viewer()
    views = [viewer.view(index, message) for index, message in enumerate(messages)]
    return RULES.get(provider, RULES[BASE[provider]])(views)
