"""Histories re-encoded in the other wire formats, and read back, written from the providers'
and frameworks' public docs without the library's own readers: the tests' second opinion."""
import json


def _text(content):
    if isinstance(content, str):
        return content
    return "".join(part.get("text", "") for part in content or () if part.get("type") == "text")


# -- OpenAI Responses items <-> Chat Completions ----------------------------------------------

def to_responses(history):
    items = []
    for m in history:
        if m["role"] == "tool":
            items.append({"type": "function_call_output", "call_id": m["tool_call_id"],
                          "output": m["content"]})
        elif m["role"] == "assistant":
            if m.get("tool_calls"):
                items.append({"type": "reasoning", "id": f"rs_{len(items)}", "summary": [
                    {"type": "summary_text", "text": "thinking it over"}],
                    "encrypted_content": "Z" * 400})
                items += [{"type": "function_call", "call_id": c["id"],
                           "name": c["function"]["name"],
                           "arguments": c["function"]["arguments"]} for c in m["tool_calls"]]
            if m.get("content"):
                items.append({"type": "message", "role": "assistant", "content": [
                    {"type": "output_text", "text": _text(m["content"])}]})
        else:
            content = m["content"]
            items.append({"type": "message", "role": m["role"], "content": content
                          if isinstance(content, str) else
                          [{"type": "input_text", "text": p["text"]} for p in content]})
    return items


def from_responses(items):
    """Chat Completions messages; a reasoning item must lead to a call or a message (unless
    the model's output is still arriving: it ends the history)."""
    out = []
    for n, item in enumerate(items):
        kind = item.get("type", "message")
        if kind == "reasoning":
            follower = items[n + 1].get("type") if n + 1 < len(items) else "message"
            assert follower in ("function_call", "message"), f"{n}: reasoning leads nowhere"
            continue
        if kind == "function_call":
            call = {"id": item["call_id"], "type": "function",
                    "function": {"name": item["name"], "arguments": item["arguments"]}}
            if out and out[-1]["role"] == "assistant" and out[-1].get("tool_calls") and \
                    items[n - 1].get("type") in ("function_call", "reasoning"):
                out[-1]["tool_calls"].append(call)
            else:
                out.append({"role": "assistant", "content": None, "tool_calls": [call]})
        elif kind == "function_call_output":
            out.append({"role": "tool", "tool_call_id": item["call_id"], "content": item["output"]})
        else:
            content = item["content"]
            out.append({"role": item["role"], "content": content if isinstance(content, str)
                        else [{"type": "text", "text": p["text"]} for p in content]})
    return out


# -- Gemini contents <-> Anthropic ------------------------------------------------------------

def to_gemini(history):
    contents = []
    for m in history:
        content = m["content"]
        parts = []
        for p in [{"type": "text", "text": content}] if isinstance(content, str) else content:
            if p["type"] == "text":
                parts.append({"text": p["text"]})
            elif p["type"] == "thinking":
                parts.append({"text": p["thinking"], "thought": True})
            elif p["type"] == "tool_use":
                parts.append({"functionCall": {"name": p["name"], "args": p["input"]}})
            elif p["type"] == "tool_result":
                parts.append({"functionResponse": {"name": "f",
                                                   "response": {"output": p["content"]}}})
        contents.append({"role": "model" if m["role"] == "assistant" else "user", "parts": parts})
    return contents


def from_gemini(contents):
    """Anthropic messages; results pair with the calls of the content before, in order."""
    out, pending = [], []
    for n, c in enumerate(contents):
        parts = []
        answered = 0
        for k, p in enumerate(c["parts"]):
            if "functionCall" in p:
                parts.append({"type": "tool_use", "id": f"{n}.{k}", "name": p["functionCall"]["name"],
                              "input": p["functionCall"]["args"]})
            elif "functionResponse" in p:
                ident = pending[answered] if answered < len(pending) else f"orphan {n}.{k}"
                answered += 1
                parts.append({"type": "tool_result", "tool_use_id": ident,
                              "content": json.dumps(p["functionResponse"]["response"])})
            elif p.get("thought"):
                parts.append({"type": "thinking", "thinking": p["text"]})
            else:
                parts.append({"type": "text", "text": p["text"]})
        pending = [p["id"] for p in parts if p["type"] == "tool_use"] if c["role"] == "model" else []
        out.append({"role": "assistant" if c["role"] == "model" else "user", "content": parts})
    return out


# -- LangChain messages <-> Chat Completions ---------------------------------------------------

def to_langchain(history):
    from langchain_core.messages import AIMessage, HumanMessage, SystemMessage, ToolMessage
    out = []
    for m in history:
        if m["role"] in ("system", "developer"):
            out.append(SystemMessage(content=_text(m["content"])))
        elif m["role"] == "user":
            out.append(HumanMessage(content=m["content"]))
        elif m["role"] == "tool":
            out.append(ToolMessage(content=m["content"], tool_call_id=m["tool_call_id"]))
        else:
            out.append(AIMessage(content=_text(m["content"]), tool_calls=[
                {"name": c["function"]["name"], "args": {}, "id": c["id"]}
                for c in m.get("tool_calls") or ()]))
    return out


def from_langchain(messages):
    out = []
    for m in messages:
        if m.type == "tool":
            out.append({"role": "tool", "tool_call_id": m.tool_call_id, "content": m.content})
        elif m.type == "ai":
            message = {"role": "assistant", "content": m.content or None}
            if m.tool_calls:
                message["tool_calls"] = [{"id": c["id"], "type": "function", "function": {
                    "name": c["name"], "arguments": json.dumps(c["args"])}} for c in m.tool_calls]
            out.append(message)
        else:
            out.append({"role": {"human": "user", "system": "system"}[m.type], "content": m.content})
    return out


# -- Pydantic AI messages <-> Anthropic --------------------------------------------------------

def to_pydantic_ai(history):
    from pydantic_ai.messages import (ModelRequest, ModelResponse, TextPart, ThinkingPart,
                                      ToolCallPart, ToolReturnPart, UserPromptPart)
    out = []
    for m in history:
        content = m["content"]
        parts = [{"type": "text", "text": content}] if isinstance(content, str) else content
        if m["role"] == "user":
            out.append(ModelRequest(parts=[
                ToolReturnPart(tool_name="f", content=p["content"], tool_call_id=p["tool_use_id"])
                if p["type"] == "tool_result" else UserPromptPart(content=p["text"])
                for p in parts]))
        else:
            out.append(ModelResponse(parts=[
                ThinkingPart(content=p["thinking"]) if p["type"] == "thinking" else
                ToolCallPart(tool_name=p["name"], args=p["input"], tool_call_id=p["id"])
                if p["type"] == "tool_use" else TextPart(content=p["text"]) for p in parts]))
    return out


def from_pydantic_ai(messages):
    out = []
    for m in messages:
        parts = []
        for p in m.parts:
            if p.part_kind == "tool-return":
                parts.append({"type": "tool_result", "tool_use_id": p.tool_call_id,
                              "content": str(p.content)})
            elif p.part_kind == "tool-call":
                parts.append({"type": "tool_use", "id": p.tool_call_id, "name": p.tool_name,
                              "input": p.args})
            elif p.part_kind == "thinking":
                parts.append({"type": "thinking", "thinking": p.content})
            else:
                parts.append({"type": "text", "text": p.content})
        out.append({"role": "user" if m.kind == "request" else "assistant", "content": parts})
    return out


#: format: (the format it is re-encoded from, re-encode, read back)
FORMATS = {
    "responses": ("openai", to_responses, from_responses),
    "gemini": ("anthropic", to_gemini, from_gemini),
    "langchain": ("openai", to_langchain, from_langchain),
    "pydantic_ai": ("anthropic", to_pydantic_ai, from_pydantic_ai),
}
