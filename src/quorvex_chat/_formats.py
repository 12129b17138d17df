"""The wire formats a history may be in, and each message's view in the base format it follows.

Compaction reasons about two shapes of history. Chat Completions: an assistant message whose
tool calls are answered by tool messages after it. Anthropic Messages: user and assistant
alternate, and a call's results open the next user message. Each other format is read, one
message at a time and one to one, as a view in one of the two:

- OpenAI Responses items follow Chat Completions: a `function_call` is an assistant view that
  calls, its `function_call_output` a tool view, a `reasoning` item an assistant view held to
  the item after it;
- LangChain messages follow Chat Completions, message type by message type;
- Gemini contents follow Anthropic (role `model` is the assistant; a `functionResponse` answers
  the `functionCall` in the same place of the content before it);
- Pydantic AI `ModelRequest`/`ModelResponse` follow Anthropic, part by part.

Views are plain dicts and internal; the prompt holds the caller's own objects. A message is
written back (an elided copy) as the same type it came in: a dict for a dict, `model_copy`
for a pydantic model, `dataclasses.replace` for a dataclass.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any, Callable, Literal

from ._measure import to_json
from ._shapes import ATTACHED, CALLS, TURNS, Shape, View, validate_items

Provider = Literal["openai", "anthropic", "responses", "gemini", "langchain", "pydantic_ai"]

FORMATS: tuple[Provider, ...] = ("openai", "anthropic", "responses", "gemini", "langchain",
                                 "pydantic_ai")
#: When several formats read a history (user and assistant text alone), the first of them.
PREFERENCE: tuple[Provider, ...] = ("anthropic", "openai", "responses", "gemini", "langchain",
                                    "pydantic_ai")
NAMES: Mapping[str, str] = MappingProxyType({
    "openai": "OpenAI Chat Completions", "anthropic": "Anthropic Messages",
    "responses": "OpenAI Responses", "gemini": "Gemini", "langchain": "LangChain",
    "pydantic_ai": "Pydantic AI"})

_TEXT_ROLES = frozenset({"openai", "anthropic", "responses"})
_OPENAI_ROLES = frozenset({"system", "developer", "tool", "function"})
_PART_FORMATS: Mapping[str, frozenset[str]] = {
    "text": frozenset({"openai", "anthropic"}),
    "image_url": frozenset({"openai"}), "input_audio": frozenset({"openai"}),
    "file": frozenset({"openai"}), "refusal": frozenset({"openai", "responses"}),
    **{kind: frozenset({"responses"}) for kind in (
        "input_text", "output_text", "input_image", "input_file", "input_audio_content",
        "summary_text", "reasoning_text")},
    **{kind: frozenset({"anthropic"}) for kind in (
        "image", "document", "tool_use", "tool_result", "thinking", "redacted_thinking",
        "server_tool_use", "web_search_tool_result", "search_result", "container_upload",
        "web_fetch_tool_result", "code_execution_tool_result", "mcp_tool_use",
        "mcp_tool_result")},
}
#: Responses items that call a tool of the caller's, whose output item comes back as
#: `<type>_output` with the same call_id.
_CALL_ITEMS = frozenset({"function_call", "custom_tool_call", "computer_call",
                         "local_shell_call", "shell_call", "apply_patch_call"})
_OUTPUT_ITEMS = frozenset(kind + "_output" for kind in _CALL_ITEMS)
_OTHER_ITEMS = frozenset({"reasoning", "item_reference", "mcp_list_tools", "mcp_approval_request",
                          "mcp_approval_response", "compaction"})
#: Encrypted reasoning is opaque: it counts a token per this many characters of its base64.
ENCRYPTED_CHARS_PER_TOKEN = 4


def _module(value: object) -> str:
    return type(value).__module__ or ""


_ATOMS = frozenset({str, int, float, bool, type(None)})


def plain(value: Any) -> Any:
    """`value` with every pydantic model in it dumped to dicts (None fields dropped); the
    value itself when nothing in it needs converting. Called on every message of every
    call, so plain dicts and lists are walked by exact type, copied only where they change."""
    kind = type(value)
    if kind in _ATOMS:
        return value
    if kind is dict or kind is list or kind is tuple:
        copy: Any = None
        pairs = value.items() if kind is dict else enumerate(value)
        for key, item in pairs:
            if type(item) in _ATOMS:
                continue
            new = plain(item)
            if new is not item:
                if copy is None:
                    copy = dict(value) if kind is dict else list(value)
                copy[key] = new
        return value if copy is None else copy
    if isinstance(value, Mapping):
        return {key: plain(item) for key, item in value.items()}
    dump = getattr(value, "model_dump", None)
    if callable(dump):
        return plain(dump(exclude_none=True))
    return value


def _is_langchain(message: object) -> bool:
    return _module(message).startswith("langchain_core.messages")


def _is_pydantic_ai(message: object) -> bool:
    return _module(message).startswith("pydantic_ai") and hasattr(message, "parts")


def describe(message: object) -> str:
    """A few words on what a message looks like, for error messages."""
    if not isinstance(message, Mapping):
        return f"a {type(message).__name__}"
    keys = ", ".join(repr(key) for key in list(message)[:5])
    return f"a dict with keys {keys}" if keys else "an empty dict"


def candidates(index: int, message: object, data: Any = None) -> frozenset[str]:
    """The formats `message` can be in; ValueError when it is in none. `data`, where given,
    is `plain(message)` of a dict (so too for `Settled.add` and `Viewer.view`)."""
    if data is None:
        if type(message) is not dict:  # a dict is neither framework's message
            if _is_langchain(message):
                return frozenset({"langchain"})
            if _is_pydantic_ai(message):
                return frozenset({"pydantic_ai"})
        data = plain(message)
    if not isinstance(data, Mapping):
        raise TypeError(f"message {index}: expected a message (a dict, or an SDK or framework "
                        f"message object), got {type(message).__name__}")
    kind = data.get("type")
    if "parts" in data and "content" not in data:
        if data.get("role", "user") not in ("user", "model", "function", "tool"):
            raise ValueError(f"message {index}: a Gemini content has role 'user' or 'model', "
                             f"not {data.get('role')!r}")
        return frozenset({"gemini"})
    if isinstance(kind, str) and kind != "message":
        if kind in _CALL_ITEMS or kind in _OUTPUT_ITEMS or kind in _OTHER_ITEMS or \
                kind.endswith("_call"):
            return frozenset({"responses"})
        raise ValueError(f"message {index}: {describe(data)} of type {kind!r} matches no "
                         f"supported format")
    role = data.get("role")
    if role is not None and not isinstance(role, str):
        raise TypeError(f"message {index}: 'role' must be a str")
    if not isinstance(role, str) or "content" not in data and "tool_calls" not in data:
        raise ValueError(
            f"message {index}: matches no supported format ({describe(data)}): expected an "
            f"OpenAI Chat Completions or Anthropic message (role and content), an OpenAI "
            f"Responses item (type), a Gemini content (role and parts), or a LangChain or "
            f"Pydantic AI message")
    formats = set(_TEXT_ROLES)
    if kind == "message":  # an Anthropic `Message` (a reply, its content a list) is so typed too
        anthropic = role == "assistant" and isinstance(data.get("content"), list)
        formats &= {"responses", "anthropic"} if anthropic else {"responses"}
    if role in _OPENAI_ROLES or "tool_calls" in data or "tool_call_id" in data:
        formats &= {"openai"} if role not in ("system", "developer") else {
            "openai", "responses", "anthropic"}
        if role == "developer":
            formats.discard("anthropic")
    elif role not in ("user", "assistant"):
        raise ValueError(f"message {index}: role {role!r} is in no supported format")
    content = data.get("content")
    for part in content if isinstance(content, list) else ():
        if not isinstance(part, Mapping):
            raise TypeError(f"message {index}: a content part must be a dict, got "
                            f"{type(part).__name__}")
        fits = _PART_FORMATS.get(str(part.get("type")))
        if "cache_control" in part:
            fits = frozenset({"anthropic"})
        if fits is not None:
            formats &= fits
    if not formats:
        raise ValueError(f"message {index}: its content parts mix formats "
                         f"({', '.join(sorted(str(p.get('type')) for p in content or ()))})")
    return frozenset(formats)


class Settled:
    """The format of a history, settled message by message as it grows."""

    def __init__(self, given: str | None = None) -> None:
        if given is not None and given not in FORMATS:
            raise ValueError(f"provider must be one of {', '.join(map(repr, FORMATS))} or None, "
                             f"not {given!r}")
        self.given = given
        self.formats: frozenset[str] = frozenset(FORMATS) if given is None else frozenset({given})
        #: A system, developer or tool role was seen: of the formats left, OpenAI's first.
        self.openai_roles = False

    def add(self, index: int, message: object, data: Any = None) -> None:
        fits = candidates(index, message, data)
        if self.given is not None and self.given not in fits:
            raise ValueError(f"message {index}: not an {NAMES[self.given]} message "
                             f"({describe(message)} reads as {_names(fits)}), but provider="
                             f"{self.given!r} was given")
        narrowed = self.formats & fits
        if not narrowed:
            raise ValueError(f"message {index}: reads as {_names(fits)}, while the messages "
                             f"before it read as {_names(self.formats)}: a history holds one "
                             f"format")
        self.formats = narrowed
        role = message.get("role") if isinstance(message, Mapping) else None
        self.openai_roles = self.openai_roles or role in _OPENAI_ROLES

    @property
    def format(self) -> Provider:
        if self.openai_roles and "openai" in self.formats:
            return "openai"
        for name in PREFERENCE:
            if name in self.formats:
                return name
        raise AssertionError("no format left")  # add() refuses to leave none


def _names(formats: frozenset[str]) -> str:
    return " or ".join(NAMES[name] for name in PREFERENCE if name in formats)


# -- views ---------------------------------------------------------------------------------


class Viewer:
    """Views of one history's messages, made in order (Gemini pairs results by position)."""

    def __init__(self) -> None:
        self.pending: list[str] = []  # Gemini: ids of the calls the last model content made

    def view(self, index: int, message: object, data: Any = None) -> View:
        if data is None:
            if type(message) is not dict:
                if _is_langchain(message):
                    return _langchain_view(message)
                if _is_pydantic_ai(message):
                    return _pydantic_ai_view(index, message)
            data = plain(message)
        if "parts" in data and "content" not in data:
            return self._gemini_view(index, data)
        kind = data.get("type")
        if isinstance(kind, str) and kind != "message":
            return _responses_view(data)
        if kind == "message":  # a Responses message item, or an Anthropic `Message`
            return {"role": data.get("role"), "content": data.get("content")}
        return data  # type: ignore[no-any-return]

    def _gemini_view(self, index: int, data: Mapping[str, Any]) -> View:
        role = "assistant" if data.get("role") == "model" else "user"
        parts: list[View] = []
        answered = 0
        calls: list[str] = []
        for number, part in enumerate(data.get("parts") or ()):
            call = _either(part, "functionCall", "function_call")
            response = _either(part, "functionResponse", "function_response")
            blob = _either(part, "inlineData", "inline_data") or _either(
                part, "fileData", "file_data")
            if call is not None:
                ident = str(call.get("id") or f"call-{index}-{number}")
                calls.append(ident)
                parts.append({"type": "tool_use", "id": ident, "name": call.get("name"),
                              "input": call.get("args")})
            elif response is not None:
                answers = response.get("id") or (self.pending[answered]
                                                 if answered < len(self.pending) else None)
                answered += 1
                parts.append({"type": "tool_result", "tool_use_id": str(answers),
                              "content": _response_text(response.get("response"))})
            elif blob is not None:
                mime = str(blob.get("mimeType") or blob.get("mime_type") or "")
                parts.append({"type": "image" if mime.startswith("image/") else "document"})
            elif isinstance(part.get("text"), str):
                parts.append({"type": "thinking", "thinking": part["text"]} if part.get("thought")
                             else {"type": "text", "text": part["text"]})
            else:
                parts.append({"type": "opaque", "json": to_json(part)})
        if role == "assistant":
            self.pending = calls
        elif answered:
            self.pending = []
        return {"role": role, "content": parts}


def _either(part: Mapping[str, Any], camel: str, snake: str) -> Any:
    value = part.get(camel)
    return part.get(snake) if value is None else value


def _response_text(response: object) -> str:
    """The text of a tool's answer: an `output` or `result` string as it is, else JSON."""
    if isinstance(response, Mapping) and len(response) == 1:
        (value,) = response.values()
        if isinstance(value, str):
            return value
    return response if isinstance(response, str) else to_json(response)


def _responses_view(item: Mapping[str, Any]) -> View:
    kind = item["type"]
    if kind in _CALL_ITEMS or kind.endswith("_call") and "call_id" in item and kind != "mcp_call":
        arguments = item.get("arguments", item.get("input", item.get("action")))
        return {"role": "assistant", "content": None, "tool_calls": [{
            "id": str(item.get("call_id")), "type": "function",
            "function": {"name": str(item.get("name", kind)),
                         "arguments": arguments if isinstance(arguments, str)
                         else to_json(arguments)}}]}
    if kind in _OUTPUT_ITEMS:
        output = item.get("output")
        return {"role": "tool", "tool_call_id": str(item.get("call_id")),
                "content": output if isinstance(output, (str, list)) else to_json(output)}
    if kind == "reasoning":
        texts = [str(part.get("text", "")) for key in ("summary", "content")
                 for part in item.get(key) or () if isinstance(part, Mapping)]
        encrypted = item.get("encrypted_content")
        extra = len(encrypted) // ENCRYPTED_CHARS_PER_TOKEN if isinstance(encrypted, str) else 0
        return {"role": "assistant", ATTACHED: True, "content": [
            {"type": "thinking", "thinking": "\n".join(texts), "extra_tokens": extra}]}
    # Server-side tool items (web search, MCP, ...) are the model's own: opaque, whole.
    return {"role": "assistant", "content": [{"type": "opaque", "json": to_json(item)}]}


def _langchain_view(message: Any) -> View:
    kind = getattr(message, "type", None)
    role = {"human": "user", "ai": "assistant", "system": "system", "tool": "tool",
            "function": "function", "chat": getattr(message, "role", "user"),
            "developer": "developer"}.get(str(kind))
    if role is None:
        raise ValueError(f"a LangChain {type(message).__name__} (type {kind!r}) is no message "
                         f"a model reads")
    content = plain(message.content)
    view: View = {"role": role, "content": content}
    calls = getattr(message, "tool_calls", None) or []
    if role == "assistant" and calls:
        view["tool_calls"] = [{"id": str(call.get("id")), "type": "function", "function": {
            "name": call.get("name"), "arguments": to_json(call.get("args"))}} for call in calls]
        if isinstance(content, list):  # the same calls again, as Anthropic-style blocks
            view["content"] = [part for part in content if not (
                isinstance(part, Mapping) and part.get("type") == "tool_use")]
    if role == "tool":
        view["tool_call_id"] = str(getattr(message, "tool_call_id", ""))
    return view


def _pydantic_ai_view(index: int, message: Any) -> View:
    kind = getattr(message, "kind", None)
    role = {"request": "user", "response": "assistant"}.get(str(kind))
    if role is None:
        raise ValueError(f"message {index}: a Pydantic AI {type(message).__name__} is neither "
                         f"a ModelRequest nor a ModelResponse")
    parts: list[View] = []
    for part in message.parts:
        part_kind = getattr(part, "part_kind", "")
        content = getattr(part, "content", None)
        if part_kind == "system-prompt":
            parts.append({"type": "system", "text": str(content)})
        elif part_kind == "tool-call":
            parts.append({"type": "tool_use", "id": str(part.tool_call_id),
                          "name": part.tool_name, "input": part.args})
        elif part_kind in ("tool-return", "retry-prompt") and getattr(part, "tool_name", None):
            parts.append({"type": "tool_result", "tool_use_id": str(part.tool_call_id),
                          "content": content if isinstance(content, str)
                          else to_json(plain(content))})
        elif part_kind == "thinking":
            parts.append({"type": "thinking", "thinking": str(content or "")})
        elif isinstance(content, str):
            parts.append({"type": "text", "text": content})
        else:
            parts.append({"type": "opaque", "json": to_json(content)})
    return {"role": role, "content": parts}


# -- writing back ---------------------------------------------------------------------------


def _updated(original: Any, **changes: Any) -> Any:
    """A copy of `original` with `changes`, of the same type."""
    if isinstance(original, Mapping):
        return {**original, **changes}
    copy = getattr(original, "model_copy", None)
    if callable(copy):
        return copy(update=changes)
    if dataclasses.is_dataclass(original) and not isinstance(original, type):
        return dataclasses.replace(original, **changes)
    raise TypeError(f"cannot copy a {type(original).__name__}")


def _field(original: Any, name: str) -> Any:
    return original.get(name) if isinstance(original, Mapping) else getattr(original, name)


def _changed_parts(view: View, copy: View) -> dict[int, Any] | None:
    """The parts of an elided copy that differ from its view's, by position; None when the
    content is no list of parts and is replaced whole."""
    new, old = copy.get("content"), view.get("content")
    if not isinstance(new, list) or not isinstance(old, list):
        return None
    return {number: part for number, (part, before) in enumerate(zip(new, old))
            if part is not before}


def _write_parts(original: Any, view: View, copy: View) -> Any:
    """A dict message (Chat Completions, Anthropic, LangChain): the copy's parts in place."""
    changed = _changed_parts(view, copy)
    if changed is None:
        return _updated(original, content=copy.get("content"))
    parts = list(_field(original, "content"))
    for number, part in changed.items():
        parts[number] = part
    return _updated(original, content=parts)


def _write_item(original: Any, view: View, copy: View) -> Any:
    return _updated(original, output=copy.get("content"))


def _write_gemini(original: Any, view: View, copy: View) -> Any:
    changed = _changed_parts(view, copy)
    if changed is None:
        return _updated(original, content=copy.get("content"))
    parts = list(_field(original, "parts"))
    for number, part in changed.items():
        parts[number] = _gemini_result(parts[number], part["content"])
    return _updated(original, parts=parts)


def _write_pydantic_ai(original: Any, view: View, copy: View) -> Any:
    changed = _changed_parts(view, copy)
    if changed is None:
        return _updated(original, content=copy.get("content"))
    parts = list(original.parts)
    for number, part in changed.items():
        parts[number] = dataclasses.replace(parts[number], content=part["content"])
    return _updated(original, parts=parts)


def _gemini_result(part: Any, notice: str) -> Any:
    if isinstance(part, Mapping):
        key = "functionResponse" if "functionResponse" in part else "function_response"
        return {**part, key: {**part[key], "response": {"output": notice}}}
    response = part.function_response
    return part.model_copy(update={"function_response": response.model_copy(
        update={"response": {"output": notice}})})


def _is_answer(part: Any) -> bool:
    if isinstance(part, Mapping):
        return part.get("type") == "tool_result" or "functionResponse" in part \
            or "function_response" in part
    return getattr(part, "function_response", None) is not None \
        or getattr(part, "part_kind", "") in ("tool-return", "retry-prompt")


def _noted(parts: Sequence[Any], note: Any) -> list[Any]:
    """`note` after the tool results a message opens with: providers want those first."""
    at = 0
    while at < len(parts) and _is_answer(parts[at]):
        at += 1
    return [*parts[:at], note, *parts[at:]]


def _noted_content(content: Any, part: Mapping[str, Any]) -> list[Any]:
    if isinstance(content, str):  # the text becomes a part of its own, after the notice
        return [part, {**part, "text": content}]
    return _noted(list(content or ()), part)


def _note_parts(original: Any, notice: str) -> Any:
    """A request (Chat Completions, Anthropic, LangChain) with `notice` as a text part."""
    return _updated(original, content=_noted_content(_field(original, "content"),
                                                     {"type": "text", "text": notice}))


def _note_item(original: Any, notice: str) -> Any:
    return _updated(original, content=_noted_content(_field(original, "content"),
                                                     {"type": "input_text", "text": notice}))


def _note_gemini(original: Any, notice: str) -> Any:
    parts = list(_field(original, "parts") or ())
    if isinstance(original, Mapping):
        return _updated(original, parts=_noted(parts, {"text": notice}))
    return _updated(original, parts=_noted(parts, type(parts[0])(text=notice)))


def _note_pydantic_ai(original: Any, notice: str) -> Any:
    parts = list(original.parts)
    prompt = next(part for part in parts if getattr(part, "part_kind", "") == "user-prompt")
    return _updated(original, parts=_noted(parts, dataclasses.replace(prompt, content=notice)))


_UNMARKABLE = frozenset({"thinking", "redacted_thinking"})  # Anthropic refuses a mark there


def _mark_anthropic(messages: Sequence[Any], at: set[int]) -> list[Any]:
    """Anthropic: `cache_control` on the last block (not thinking) of each message in `at`,
    and off every other block, so that a stale rolling mark no longer moves the cache."""
    out: list[Any] = []
    for index, message in enumerate(messages):
        content = message.get("content") if isinstance(message, Mapping) else None
        blocks = [{"type": "text", "text": content}] if isinstance(content, str) else \
            list(content) if isinstance(content, list) else []
        marked = any(isinstance(block, Mapping) and "cache_control" in block for block in blocks)
        if index not in at and not marked:
            out.append(message)
            continue
        blocks = [{key: value for key, value in block.items() if key != "cache_control"}
                  if isinstance(block, Mapping) else block for block in blocks]
        last = next((number for number in range(len(blocks) - 1, -1, -1)
                     if isinstance(blocks[number], Mapping)
                     and blocks[number].get("type") not in _UNMARKABLE), None)
        if index in at and last is not None:
            blocks[last] = {**blocks[last], "cache_control": {"type": "ephemeral"}}
        out.append({**message, "content": blocks})
    return out


@dataclass(frozen=True, slots=True)
class Format:
    """One wire format: the shape its views take and how an elided copy is written back."""

    name: Provider
    title: str
    shape: Shape
    #: `original` with the notices of `copy` (an elided copy of its `view`) in place.
    write_back: Callable[[Any, View, View], Any]
    #: Every part of a view can be written back, not only tool results: the caller's own
    #: dicts are. Other formats elide only the messages that hold nothing but results.
    writes_any_part: bool
    validate: Callable[[Sequence[View]], list[str]]
    #: A request with a notice as its first text, for what was dropped around it.
    write_note: Callable[[Any, str], Any]
    #: The messages with prompt-cache breakpoints at the given indices and none elsewhere,
    #: for a provider whose cache takes them from the messages.
    mark_cache: Callable[[Sequence[Any], set[int]], list[Any]] | None = None


FORMAT: Mapping[str, Format] = MappingProxyType({
    "openai": Format("openai", NAMES["openai"], CALLS, _write_parts, True, CALLS.validate,
                     _note_parts),
    "anthropic": Format("anthropic", NAMES["anthropic"], TURNS, _write_parts, True,
                        TURNS.validate, _note_parts, _mark_anthropic),
    "responses": Format("responses", NAMES["responses"], CALLS, _write_item, False,
                        validate_items, _note_item),
    "gemini": Format("gemini", NAMES["gemini"], TURNS, _write_gemini, False, TURNS.validate,
                     _note_gemini),
    "langchain": Format("langchain", NAMES["langchain"], CALLS, _write_parts, False,
                        CALLS.validate, _note_parts),
    "pydantic_ai": Format("pydantic_ai", NAMES["pydantic_ai"], TURNS, _write_pydantic_ai,
                          False, TURNS.validate, _note_pydantic_ai),
})


def views_of(messages: Sequence[object]) -> list[View]:
    """The views of a history's messages, in order."""
    viewer = Viewer()
    return [viewer.view(index, message) for index, message in enumerate(messages)]


def prompt_errors(messages: Sequence[object], fmt: str) -> list[str]:
    """The ways `messages`, in the format `fmt`, break that provider's ordering rules."""
    return FORMAT[fmt].validate(views_of(messages))
