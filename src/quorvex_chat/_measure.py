"""What a message costs and how the kernel classes it: tokens by the caller's counter, flags by
the flag table."""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any, Callable, Hashable

Message = Mapping[str, Any]

#: Tokens a provider bills around each message beyond its content (its role and the
#: separators of the chat format: about 3 in o200k's Chat Completions framing, rounded up),
#: for a `name`, and around each tool call. Counted for every format alike, so that a prompt
#: of many short messages stays within its budget as billed.
MESSAGE_FRAMING = 4
NAME_FRAMING = 1
CALL_FRAMING = 4


def kernel_text(text: str) -> str:
    """`text` as the native kernels take it: a lone surrogate (which `json.loads` gives for
    an escaped half pair) cannot be UTF-8, so it reads as U+FFFD there."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return text.encode("utf-16", "surrogatepass").decode("utf-16", "replace")
    return text


def to_json(value: object) -> str:
    """The JSON text a non-text value is counted (and shown) as."""
    return json.dumps(value, ensure_ascii=False, default=str)


class Meter:
    """Class flags and token costs of views, by one flag table, cost table and counter."""

    def __init__(self, flags: Mapping[str, int], part_tokens: Mapping[str, int],
                 count: Callable[[str], int], identity: Hashable = None,
                 count_many: Callable[[list[str]], list[int]] | None = None) -> None:
        self.flags = flags
        self.part_tokens = part_tokens
        self.count = count
        self.count_many: Callable[[list[str]], list[int]] = \
            (lambda texts: list(map(count, texts))) if count_many is None else count_many
        #: What the counting is known by across calls: the caller's own counter (an encoder
        #: is wrapped anew each time), so that notices made once are found again.
        self.identity: Hashable = count if identity is None else identity

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
        calls = message.get("tool_calls") or ()
        if calls:
            flags, parts = flags | role_flags, parts + len(calls)
        return (flags if parts else role_flags), tokens + self.framing(message)

    def content_tokens(self, message: Message, tokens: int) -> int:
        """`content_cost` of a message's content, from the `tokens` `measure` gave it: what it
        is billed beside its content taken off, so that no text is counted again."""
        return tokens - self.framing(message)

    def framing(self, message: Message) -> int:
        """What a message is billed beside its content: `MESSAGE_FRAMING` for its role and
        separators, `NAME_FRAMING` for a name, and for each tool call `CALL_FRAMING` with
        its name and arguments where they stand outside the content (`tool_calls`)."""
        tokens = MESSAGE_FRAMING + (NAME_FRAMING if message.get("name") else 0)
        content = message.get("content")
        for part in content if isinstance(content, list) else ():
            if isinstance(part, Mapping) and part.get("type") == "tool_use":
                tokens += CALL_FRAMING
        for call in message.get("tool_calls") or ():
            function = call.get("function") if isinstance(call, Mapping) else None
            if isinstance(function, Mapping):
                tokens += (self.counted(str(function.get("name", "")))
                           + self.counted(str(function.get("arguments", ""))))
            else:
                tokens += self.counted(to_json(call))
            tokens += CALL_FRAMING
        return tokens

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
            return (self.counted(str(part.get("name", "")))
                    + self.counted(to_json(part.get("input"))))
        if kind == "tool_result":
            return self.content_cost(part.get("content"))
        if isinstance(kind, str) and kind in self.part_tokens:
            return self.part_tokens[kind]
        return self.counted(to_json(part))

    def content_cost(self, content: object) -> int:
        """Tokens of a content value: a string, a list of parts, or nothing."""
        if isinstance(content, str):
            return self.counted(content)
        if isinstance(content, list):
            return sum(self.part_cost(part) if isinstance(part, Mapping) else
                       self.counted(to_json(part)) for part in content)
        return 0 if content is None else self.counted(to_json(content))

    def counted(self, text: str) -> int:
        tokens = self.count(text)
        if not isinstance(tokens, int) or tokens < 0:
            raise ValueError(f"token_counter returned {tokens!r}, not a count")
        return tokens

    def counted_many(self, texts: list[str]) -> list[int]:
        """`counted` of each of `texts`, in one batch where the counter takes one."""
        counts = self.count_many(texts)
        for tokens in counts:
            if not isinstance(tokens, int) or tokens < 0:
                raise ValueError(f"token_counter returned {tokens!r}, not a count")
        return counts

    def beside(self, system: object, tools: object) -> int:
        """Tokens of what the provider bills beside the messages: a system prompt, tool
        schemas."""
        tokens = 0
        if system is not None:
            tokens += self.content_cost(system)
        if tools is not None:
            tokens += self.content_cost(tools if isinstance(tools, str) else to_json(tools))
        return tokens
