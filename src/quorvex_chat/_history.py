"""Reading a chat history: its provider, each message's class and cost, and its structure."""

from __future__ import annotations

import json
from typing import Any, Callable, Mapping, Sequence

from ._formats import ATTACHED, Base, Provider, detect

Message = Mapping[str, Any]


def detect_provider(messages: Sequence[object]) -> Provider:
    """The format `messages` is in: "openai" (Chat Completions), "anthropic" (Messages),
    "responses" (OpenAI Responses input items), "gemini" (contents), "langchain" or
    "pydantic_ai" (those frameworks' message objects).

    Each message is read for the formats it can be in, and the history is in the one they
    share. A history of user and assistant text alone, which every format but Gemini's
    reads, is read as Anthropic (its rules keep the roles alternating, which the others
    accept too); one with a system, developer or tool role as OpenAI. ValueError names the
    first message that matches no format, or whose format differs from the messages before it.
    """
    return detect(messages)


class Reader:
    """Class flags and token costs of messages, by one flag table, cost table and counter."""

    def __init__(self, flags: Mapping[str, int], part_tokens: Mapping[str, int],
                 count: Callable[[str], int]) -> None:
        self.flags = flags
        self.part_tokens = part_tokens
        self.count = count

    def measure(self, index: int, message: Message) -> tuple[int, int]:
        """(class flags, tokens) of one message's view; TypeError names it when malformed."""
        role = message.get("role")
        if not isinstance(role, str):
            raise TypeError(f"message {index}: 'role' must be a str")
        role_flags = self.flags.get(role, 0)
        content = message.get("content")
        # A message without any part (content null, no tool calls) is classed by its role.
        flags, tokens, parts = 0, 0, 0
        if isinstance(content, str):
            flags, tokens, parts = role_flags, self.counted(content), 1
        elif isinstance(content, list):
            for part in content:
                if not isinstance(part, Mapping):
                    raise TypeError(f"message {index}: a content part must be a dict, "
                                    f"got {type(part).__name__}")
                kind = part.get("type")
                flags |= self.flags.get(kind, role_flags) if isinstance(kind, str) else role_flags
                tokens += self.part_cost(part)
                parts += 1
        elif content is not None:
            raise TypeError(f"message {index}: 'content' must be a str, a list of parts or "
                            f"None, got {type(content).__name__}")
        for call in message.get("tool_calls") or ():
            function = call.get("function") if isinstance(call, Mapping) else None
            if isinstance(function, Mapping):
                tokens += (self.counted(str(function.get("name", "")))
                           + self.counted(str(function.get("arguments", ""))))
            else:
                tokens += self.counted(_json(call))
            flags |= role_flags
            parts += 1
        return (flags if parts else role_flags), tokens

    def part_cost(self, part: Mapping[str, Any]) -> int:
        """Tokens of one content part (or of a tool result's nested content)."""
        kind = part.get("type")
        if kind == "thinking" and isinstance(part.get("thinking"), str):
            return self.counted(part["thinking"]) + int(part.get("extra_tokens", 0))
        if kind == "refusal" and isinstance(part.get("refusal"), str):
            return self.counted(part["refusal"])
        if isinstance(part.get("text"), str) and kind not in self.part_tokens:
            return self.counted(part["text"])  # text, input_text, output_text, ...
        if kind == "opaque":
            return self.counted(str(part.get("json")))
        if kind == "tool_use":
            return self.counted(str(part.get("name", ""))) + self.counted(_json(part.get("input")))
        if kind == "tool_result":
            return self.content_cost(part.get("content"))
        if isinstance(kind, str) and kind in self.part_tokens:
            return self.part_tokens[kind]
        return self.counted(_json(part))

    def content_cost(self, content: object) -> int:
        """Tokens of a content value: a string, a list of parts, or nothing."""
        if isinstance(content, str):
            return self.counted(content)
        if isinstance(content, list):
            return sum(self.part_cost(part) if isinstance(part, Mapping) else
                       self.counted(_json(part)) for part in content)
        return 0 if content is None else self.counted(_json(content))

    def counted(self, text: str) -> int:
        tokens = self.count(text)
        if not isinstance(tokens, int) or tokens < 0:
            raise ValueError(f"token_counter returned {tokens!r}, not a count")
        return tokens


def _json(value: object) -> str:
    return json.dumps(value, ensure_ascii=False, default=str)


def stable_prefix(messages: Sequence[Message], provider: Base) -> int:
    """How many leading messages form the provider's cache-stable prefix.

    OpenAI: the leading system and developer messages. Anthropic: every message up to and
    including the first one that carries a cache_control mark (none: no prefix). Marks after
    the first are cache hints, not protection: Anthropic's rolling breakpoint on the newest
    message must not freeze the whole history.
    """
    if provider == "openai":
        count = 0
        while count < len(messages) and messages[count].get("role") in ("system", "developer"):
            count += 1
        return count
    for index, message in enumerate(messages):
        content = message.get("content")
        if isinstance(content, list) and any(
                isinstance(part, Mapping) and "cache_control" in part for part in content):
            return index + 1
    return 0


def is_request(message: Message, provider: Base) -> bool:
    """A message a person sent (for Anthropic: a user message that is not only tool results)."""
    if message.get("role") != "user":
        return False
    content = message.get("content")
    if provider == "openai" or not isinstance(content, list):
        return True
    return any(not isinstance(part, Mapping) or part.get("type") != "tool_result"
               for part in content)


def open_turn(messages: Sequence[Message], provider: Base) -> int:
    """Index where the open turn starts: the last request, and everything after it.

    A history without any request yet is open as a whole.
    """
    for index in range(len(messages) - 1, -1, -1):
        if is_request(messages[index], provider):
            return index
    return 0


def call_ids(message: Message) -> list[str]:
    """The ids of the tool calls an (OpenAI-shaped) assistant message makes."""
    return [str(call.get("id")) for call in message.get("tool_calls") or ()
            if isinstance(call, Mapping)]


def round_end(messages: Sequence[Message], start: int) -> int:
    """Where the call round opened at `start` (an OpenAI-shaped assistant message that calls)
    ends: after the tool messages answering it, and the further calls made while some are
    still unanswered (Responses items carry parallel calls one per item), with any item
    held to the one after it (reasoning)."""
    pending = set(call_ids(messages[start]))
    end = start + 1
    while end < len(messages):
        message = messages[end]
        if message.get("role") == "tool":
            pending.discard(str(message.get("tool_call_id")))
        elif pending and (message.get("tool_calls") or message.get(ATTACHED)):
            pending.update(call_ids(message))
        else:
            break
        end += 1
    return end


def units(messages: Sequence[Message], provider: Base) -> list[list[int]]:
    """The indices grouped into the units that survive or go together.

    OpenAI: an assistant message with tool_calls and the tool messages right after it form
    one unit (with the further calls made before all are answered, and the reasoning item
    before it, for Responses items); every other message is a unit of its own. Anthropic:
    an assistant message and the messages up to the next assistant message (the tool
    results and the person's answer) form one unit, and the messages before the first
    assistant message another. Dropping whole units of either kind keeps calls with their
    results, and for Anthropic keeps the roles alternating and a user message first.
    """
    groups: list[list[int]] = []
    if provider == "openai":
        index = 0
        while index < len(messages):
            start = index
            while index < len(messages) and messages[index].get(ATTACHED):
                index += 1
            if index < len(messages) and messages[index].get("tool_calls"):
                index = round_end(messages, index)
            else:
                index = min(index + 1, len(messages))
            groups.append(list(range(start, index)))
        return groups
    for index, message in enumerate(messages):
        if message.get("role") == "assistant" or not groups:
            groups.append([index])
        else:
            groups[-1].append(index)
    return groups


def elide(message: Message, count: Callable[[str], int],
          cost: Callable[[object], int]) -> tuple[dict[str, Any], int]:
    """A copy of `message` whose payload is replaced by short notices, and its tokens.

    Tool results keep their ids (and Anthropic's is_error) and their place, so the call they
    answer stays answered; any other parts collapse into one text notice after them.
    """
    content = message.get("content")
    if not isinstance(content, list):
        what = "tool result elided" if message.get("role") in ("tool", "function") else "elided"
        notice = f"[{what}: {cost(content):,} tokens]"
        return {**message, "content": notice}, count(notice)
    parts: list[dict[str, Any]] = []
    tokens, rest = 0, 0
    for part in content:
        if isinstance(part, Mapping) and part.get("type") == "tool_result":
            notice = f"[tool result elided: {cost(part.get('content')):,} tokens]"
            parts.append({key: value for key, value in part.items()
                          if key not in ("content", "cache_control")} | {"content": notice})
            tokens += count(notice)
        else:
            rest += cost([part])
    if len(parts) < len(content):
        notice = f"[elided: {rest:,} tokens]"
        parts.append({"type": "text", "text": notice})
        tokens += count(notice)
    return {**message, "content": parts}, tokens
