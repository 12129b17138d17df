"""Handles: what a notice names so that the model can fetch the original back.

A handle is a digest of the original text, so the same text gets the same handle in every
process and on every worker, and a store shared between them needs no coordination. Two
texts whose short digests collide (a tool result crafted to, say) do not share a handle: the
later one takes a longer prefix of its digest, so a recall never returns another's text.
"""

from __future__ import annotations

import base64
import hashlib
import json
import re
from typing import Any, Mapping, MutableMapping

from ._notable import result_lines
from ._store import MemoryStore

#: A handle inside a notice.
HANDLE_PATTERN = re.compile(r"qv:[a-z2-7]{10,52}(?![a-z2-7])")

#: The name of the tool that fetches an original back.
RECALL = "recall"
_SHORT = 10  # base32 characters: 50 bits
RECALL_DESCRIPTION = ("Fetch the full original text of a tool result or of earlier messages "
                      "that the conversation shortened. Call it with a handle shown in a "
                      "notice, like qv:abcdefghij, when you need more than the notice shows; "
                      "with a query, only the original's lines that hold one of its words "
                      "come back.")
_PARAMETERS = {"type": "object",
               "properties": {"handle": {"type": "string",
                                         "description": "The handle shown in the notice."},
                              "query": {"type": "string",
                                        "description": "Optional words to look for: only "
                                        "the lines holding one of them come back. Use it "
                                        "when the original is large."}},
               "required": ["handle"], "additionalProperties": False}
#: What a query answers at most: its first matching lines, and terms read of it.
QUERY_LINES = 200
QUERY_TERMS = 16


def hasher() -> Any:
    """What a text's handle is a digest of; fed its UTF-8 form in pieces, it gives that
    text's `digest_of`."""
    return hashlib.blake2b(digest_size=32)


def encoded(text: str) -> bytes:
    return text.encode("utf-8", "surrogatepass")


def _digest(text: str | tuple[str, ...]) -> str:
    """Of `text`, or of the concatenation of its pieces."""
    fed = hasher()
    for piece in (text,) if isinstance(text, str) else text:
        fed.update(encoded(piece))
    return _base32(fed.digest())


def _base32(raw: bytes) -> str:
    return base64.b32encode(raw).decode("ascii").rstrip("=").lower()


def handle_for(text: str) -> str:
    """The handle `text` is stored under unless a colliding text took it first."""
    return short_handle(_digest(text))


def digest_of(fed: Any) -> str:
    """The whole digest of the text a `hasher` was fed, as `Originals.keep` takes it."""
    return _base32(fed.digest())


def short_handle(digest: str) -> str:
    """The handle a text of `digest` is stored under unless a colliding text took it."""
    return "qv:" + digest[:_SHORT]


def with_handle(notice: str, handle: str) -> str:
    """`notice` naming `handle` at the end of its first line, inside its bracket."""
    first, newline, rest = notice.partition("\n")
    return f"{first[:-1]}; recall {handle}]{newline}{rest}"


class Originals:
    """A store of originals, written by handle."""

    def __init__(self, store: MutableMapping[str, str]) -> None:
        self.store = store

    def keep(self, text: str | tuple[str, ...], digest: str | None = None) -> tuple[str, str]:
        """Store `text` (or the concatenation of its pieces), written again if it is there
        (a bounded store forgets the texts written longest ago first): its handle, and the
        one it would have had if no colliding text had taken that first (`handle_for`).
        `digest`, where given, is the text's (`digest_of` a hasher fed it), known already."""
        pieces = (text,) if isinstance(text, str) else text
        digest = _digest(pieces) if digest is None else digest
        store, whole = self.store, None
        for length in range(_SHORT, len(digest) + 1):
            handle = "qv:" + digest[:length]
            if type(store) is MemoryStore:
                # As pieces: a store in this process shares them with every other text. (Not
                # a subclass's: it may read or write its texts its own way.)
                if store._keep_pieces(handle, pieces):
                    return handle, short_handle(digest)
                continue
            whole = "".join(pieces) if whole is None else whole
            held = store.get(handle)
            if held is None or held == whole:
                store[handle] = whole
                return handle, short_handle(digest)
        raise RuntimeError("every prefix of this text's digest names another text")

    def again(self, handles: list[str]) -> list[str]:
        """Write the texts of `handles` again, as the store's newest: the handles it no
        longer holds."""
        store = self.store
        if type(store) is MemoryStore:
            return store._again(handles)
        texts = {handle: store.get(handle) for handle in handles}
        store.update({handle: text for handle, text in texts.items() if text is not None})
        return [handle for handle, text in texts.items() if text is None]

    def recall(self, handle: str, query: str | None = None) -> str:
        if not isinstance(handle, str):
            raise TypeError(f"handle must be a str, not {type(handle).__name__}")
        text = self.store.get(handle.strip())
        if text is None:
            raise KeyError(f"unknown handle {handle!r}: no original is stored under it "
                           f"(a handle looks like qv:abcdefghij)")
        return text if not query else matching(text, query)


def matching(text: str, query: str) -> str:
    """The lines (JSON: the rows) of `text` holding any word of `query`, case aside: a large
    original read for what the model looks for, not sent whole into a budget it would
    overflow."""
    if not isinstance(query, str):
        raise TypeError(f"query must be a str, not {type(query).__name__}")
    terms = [term for term in query.lower().split()[:QUERY_TERMS] if term]
    lines = result_lines(text)  # JSON by its rows
    found = [line for line in lines if any(term in line.lower() for term in terms)]
    shown = found[:QUERY_LINES]
    more = f", the first {len(shown):,} shown" if len(found) > len(shown) else ""
    return "\n".join([f"[{len(found):,} of {len(lines):,} lines hold {query!r}{more}]",
                      *shown])


def recall_tool(provider: str) -> dict[str, Any]:
    """The recall tool's schema in `provider`'s shape of a tool definition."""
    parameters = json.loads(json.dumps(_PARAMETERS))
    if provider == "openai":
        return {"type": "function", "function": {
            "name": RECALL, "description": RECALL_DESCRIPTION, "parameters": parameters}}
    if provider == "responses":
        return {"type": "function", "name": RECALL, "description": RECALL_DESCRIPTION,
                "parameters": parameters}
    if provider == "anthropic":
        return {"name": RECALL, "description": RECALL_DESCRIPTION, "input_schema": parameters}
    if provider == "gemini":
        del parameters["additionalProperties"]  # not in Gemini's schema subset
        return {"function_declarations": [{"name": RECALL, "description": RECALL_DESCRIPTION,
                                           "parameters": parameters}]}
    raise ValueError(f"the recall tool is written for 'openai', 'responses', 'anthropic' "
                     f"and 'gemini'; the adapters register their own, not {provider!r}")


def _arguments(value: object) -> Mapping[str, Any]:
    if isinstance(value, str):
        try:
            value = json.loads(value)
        except ValueError:
            return {}
    return value if isinstance(value, Mapping) else {}


def call_of(call: Mapping[str, Any]) -> tuple[str, Mapping[str, Any], str | None]:
    """(id, arguments, name) of one tool call: a Chat Completions tool call, an Anthropic
    tool_use block, a Responses function_call item or a Gemini function_call part."""
    if not isinstance(call, Mapping):
        raise TypeError(f"call must be a tool call dict, not {type(call).__name__}")
    if "function" in call and isinstance(call["function"], Mapping):  # Chat Completions
        function = call["function"]
        return str(call.get("id", "")), _arguments(function.get("arguments")), \
            function.get("name")
    if call.get("type") == "tool_use":
        return str(call.get("id", "")), _arguments(call.get("input")), call.get("name")
    if call.get("type") == "function_call":
        return str(call.get("call_id", "")), _arguments(call.get("arguments")), \
            call.get("name")
    inner = call.get("function_call", call.get("functionCall"))
    if isinstance(inner, Mapping):  # Gemini
        return str(inner.get("id", "")), _arguments(inner.get("args")), inner.get("name")
    raise ValueError("call is not a tool call of a format the recall tool answers "
                     "(Chat Completions, Responses, Anthropic or Gemini)")


def answer(provider: str, call: Mapping[str, Any], text: str) -> dict[str, Any]:
    """The tool result message that answers `call` with `text`, in `provider`'s format."""
    ident, _, _ = call_of(call)
    if provider == "openai":
        return {"role": "tool", "tool_call_id": ident, "content": text}
    if provider == "responses":
        return {"type": "function_call_output", "call_id": ident, "output": text}
    if provider == "anthropic":
        return {"role": "user", "content": [{"type": "tool_result", "tool_use_id": ident,
                                             "content": text}]}
    if provider == "gemini":
        response: dict[str, Any] = {"name": RECALL, "response": {"text": text}}
        if ident:
            response["id"] = ident
        key = "functionResponse" if "functionCall" in call else "function_response"
        return {"role": "user", "parts": [{key: response}]}
    raise ValueError(f"recall results are written for 'openai', 'responses', 'anthropic' "
                     f"and 'gemini', not {provider!r}")
