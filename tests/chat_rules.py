"""The two providers' rules for a message list, as their API references state them.

OpenAI Chat Completions: an assistant message with `tool_calls` must be followed by one `tool`
message per call id and by nothing else until all are answered; a `tool` message answers a
call of that assistant message; an assistant message without tool calls has content.
Anthropic Messages: user first, then strictly alternating roles; the `tool_use` blocks of an
assistant message are answered by `tool_result` blocks, one per id, at the start of the very
next user message, and a `tool_result` answers only the assistant message just before it.
Calls still pending at the end of the list (their results not in yet) are allowed.
"""


def openai_errors(messages):
    errors, waiting = [], set()
    for i, m in enumerate(messages):
        role = m["role"]
        if role not in ("system", "developer", "user", "assistant", "tool"):
            errors.append(f"{i}: unknown role {role!r}")
        if role == "tool":
            if m.get("tool_call_id") not in waiting:
                errors.append(f"{i}: tool message answers no pending call")
            waiting.discard(m.get("tool_call_id"))
            continue
        if waiting:
            errors.append(f"{i}: calls {sorted(waiting)} unanswered")
        calls = (m.get("tool_calls") or []) if role == "assistant" else []
        waiting = {call["id"] for call in calls}
        if len(waiting) != len(calls):
            errors.append(f"{i}: repeated call id")
        if role == "assistant" and m.get("content") is None and not calls:
            errors.append(f"{i}: assistant message without content or calls")
    return errors


def blocks(message):
    content = message["content"]
    return [{"type": "text", "text": content}] if isinstance(content, str) else content


def anthropic_errors(messages):
    errors, waiting = [], set()
    if messages and messages[0]["role"] != "user":
        errors.append("0: the first message is not a user message")
    for i, m in enumerate(messages):
        if m["role"] not in ("user", "assistant"):
            errors.append(f"{i}: unknown role {m['role']!r}")
        if i and m["role"] == messages[i - 1]["role"]:
            errors.append(f"{i}: two {m['role']} messages in a row")
        kinds = [b["type"] for b in blocks(m)]
        if m["role"] == "assistant":
            ids = [b["id"] for b in blocks(m) if b["type"] == "tool_use"]
            waiting = set(ids)
            if "tool_result" in kinds or len(waiting) != len(ids):
                errors.append(f"{i}: tool_result in an assistant message, or a repeated id")
            continue
        results = [b["tool_use_id"] for b in blocks(m) if b["type"] == "tool_result"]
        if sorted(results) != sorted(waiting) or kinds[:len(results)] != ["tool_result"] * len(
                results):
            errors.append(f"{i}: results {results} do not open the message answering {waiting}")
        waiting = set()
    return errors


RULES = {"openai": openai_errors, "anthropic": anthropic_errors}
