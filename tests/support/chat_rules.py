"""The providers' rules for a message list, written from their API references and kept apart
from the library's own checks, so that a fault shared by both cannot pass unseen.

OpenAI Chat Completions: the tool messages answering an assistant message's `tool_calls`
follow it directly, one per id, before any other message; no tool message answers anything
else. Anthropic Messages: the list opens with a user message and the roles alternate; no
message is empty; the `tool_result` blocks answering an assistant message's `tool_use` blocks
open the very next message, one per id, and appear nowhere else. Calls still pending at the
end of the list are allowed: the model is being asked to go on."""


def openai_errors(messages):
    errors = []
    answering = None  # ids of the call batch being answered, while its tool messages follow
    for i, m in enumerate(messages):
        role = m["role"]
        if role == "tool":
            if answering is None or m["tool_call_id"] not in answering:
                errors.append(f"{i}: a tool message that answers no call just made")
            else:
                answering.remove(m["tool_call_id"])
            continue
        if answering:
            errors.append(f"{i}: {role} message while calls {sorted(answering)} are unanswered")
        answering = None
        if role not in ("system", "developer", "user", "assistant"):
            errors.append(f"{i}: no such role {role!r}")
        if role == "assistant" and m.get("tool_calls"):
            ids = [call["id"] for call in m["tool_calls"]]
            if len(ids) != len(set(ids)):
                errors.append(f"{i}: one call id twice")
            answering = set(ids)
        elif role == "assistant" and m.get("content") is None:
            errors.append(f"{i}: an assistant message with neither content nor calls")
    return errors


def _blocks(message):
    content = message["content"]
    return [{"type": "text", "text": content}] if isinstance(content, str) else content


def anthropic_errors(messages):
    errors = []
    for i, m in enumerate(messages):
        expected = "user" if i % 2 == 0 else "assistant"
        if m["role"] != expected:
            errors.append(f"{i}: {m['role']} where a {expected} message belongs")
        if not _blocks(m):
            errors.append(f"{i}: an empty message")
    for i, m in enumerate(messages):
        blocks = _blocks(m)
        results = [b["tool_use_id"] for b in blocks if b["type"] == "tool_result"]
        asked = [b["id"] for b in _blocks(messages[i - 1]) if b["type"] == "tool_use"] \
            if i and messages[i - 1]["role"] == "assistant" else []
        if m["role"] == "assistant" and results:
            errors.append(f"{i}: tool results in an assistant message")
        if m["role"] == "assistant" and len(set(b["id"] for b in blocks if b["type"] ==
                                                "tool_use")) != sum(b["type"] == "tool_use"
                                                                    for b in blocks):
            errors.append(f"{i}: one tool_use id twice")
        if m["role"] != "user":
            continue
        leading = []
        for b in blocks:
            if b["type"] != "tool_result":
                break
            leading.append(b["tool_use_id"])
        if len(leading) != len(results):
            errors.append(f"{i}: a tool result after other content")
        if sorted(results) != sorted(asked):
            errors.append(f"{i}: results {sorted(results)} for the calls {sorted(asked)}")
    return errors


RULES = {"openai": openai_errors, "anthropic": anthropic_errors}
