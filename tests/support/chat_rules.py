"""The providers' rules for a message list, from their API references. OpenAI: an assistant
message's `tool_calls` are answered, one `tool` message per id, before any other message, and
a `tool` message answers such a call. Anthropic: user first, roles alternate, an assistant
message's `tool_use` ids are answered by `tool_result` blocks opening the next (user) message,
and only there. Calls still pending at the end of the list are allowed."""


def openai_errors(messages):
    errors, waiting = [], set()
    for i, m in enumerate(messages):
        if m["role"] == "tool":
            if m["tool_call_id"] not in waiting:
                errors.append(f"{i}: tool message answers no pending call")
            waiting.discard(m["tool_call_id"])
            continue
        calls = (m.get("tool_calls") or []) if m["role"] == "assistant" else []
        if waiting or len({c["id"] for c in calls}) != len(calls):
            errors.append(f"{i}: calls {sorted(waiting)} unanswered, or a repeated call id")
        waiting = {c["id"] for c in calls}
        if m["role"] not in ("system", "developer", "user", "assistant") or (
                m["role"] == "assistant" and m["content"] is None and not calls):
            errors.append(f"{i}: unknown role, or an assistant message without content")
    return errors


def anthropic_errors(messages):
    errors, waiting = [], []
    for i, m in enumerate(messages):
        parts = [{"type": "text"}] if isinstance(m["content"], str) else m["content"]
        kinds = [p["type"] for p in parts]
        if m["role"] != ("user", "assistant")[i % 2]:
            errors.append(f"{i}: {m['role']} where the alternation wants the other role")
        if m["role"] == "assistant":
            waiting = [p["id"] for p in parts if p["type"] == "tool_use"]
            if "tool_result" in kinds or len(set(waiting)) != len(waiting):
                errors.append(f"{i}: tool_result in an assistant message, or a repeated id")
            continue
        results = [p["tool_use_id"] for p in parts if p["type"] == "tool_result"]
        if sorted(results) != sorted(waiting) or "tool_result" in kinds[len(results):]:
            errors.append(f"{i}: results {results} do not open the message answering {waiting}")
        waiting = []
    return errors


RULES = {"openai": openai_errors, "anthropic": anthropic_errors}
