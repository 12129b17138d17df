"""quorvex_chat in every wire format: random histories re-encoded as Responses items, Gemini
contents, LangChain and Pydantic AI messages; SDK objects in and out; formats it must refuse."""
import copy
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvex_chat as qc
from support.chat_formats import FORMATS
from support.chat_rules import RULES
from test_chat_trim import history, turns

FRAMEWORK = {"langchain": "langchain_core", "pydantic_ai": "pydantic_ai"}


@pytest.mark.parametrize("fmt", list(FORMATS))
@settings(max_examples=60, deadline=None)
@given(script=st.lists(turns, min_size=1, max_size=10), where=st.integers(0, 12),
       share=st.floats(0.0, 1.1), data=st.data())
def test_random_histories_in_every_format(fmt, script, where, share, data):
    if fmt in FRAMEWORK:
        pytest.importorskip(FRAMEWORK[fmt])
    base, encode, decode = FORMATS[fmt]
    h = encode(history(base, script, where))
    assert RULES[base](decode(h)) == []
    before = pickle.dumps(h)
    full = qc.trim(h, max_tokens=10**9)
    budget = round(share * full.tokens_before)
    conversation = qc.Conversation(max_tokens=budget)
    cut = data.draw(st.integers(1, len(h)))
    for r in (qc.trim(h, max_tokens=budget), qc.trim(h),
              conversation.prompt(h[:cut]), conversation.prompt(h)):
        assert r.provider == fmt and RULES[base](decode(r.messages)) == []
        assert r.over_budget or r.max_tokens is None or r.tokens_after <= budget
        for message, index in zip(r.messages, r.kept, strict=True):
            assert (message is h[index]) == (index not in r.elided)
            assert type(message) is type(h[index])
    assert pickle.dumps(h) == before


def test_sdk_objects_in_the_same_objects_out():
    openai = pytest.importorskip("openai")
    from anthropic.types import TextBlock, ThinkingBlock, ToolUseBlock
    from openai.types.chat import ChatCompletionMessage
    from openai.types.responses import (ResponseFunctionToolCall, ResponseOutputMessage,
                                        ResponseOutputText, ResponseReasoningItem)
    del openai
    reply = ChatCompletionMessage.model_validate({"role": "assistant", "content": None,
        "tool_calls": [{"id": "c1", "type": "function",
                        "function": {"name": "logs", "arguments": "{}"}}]})
    chat = [{"role": "user", "content": "check"}, reply,
            {"role": "tool", "tool_call_id": "c1", "content": "row\n" * 900},
            {"role": "assistant", "content": "done"}, {"role": "user", "content": "again"}]
    blocks = [ThinkingBlock(type="thinking", thinking="hm", signature="s"),
              TextBlock(type="text", text="let me look"),
              ToolUseBlock(type="tool_use", id="t1", name="logs", input={})]
    messages = [{"role": "user", "content": "check"}, {"role": "assistant", "content": blocks},
                {"role": "user", "content": [
                    {"type": "tool_result", "tool_use_id": "t1", "content": "row\n" * 900}]},
                {"role": "assistant", "content": "done"}, {"role": "user", "content": "again"}]
    items = [{"role": "user", "content": "check"},
             ResponseReasoningItem(id="rs1", type="reasoning", summary=[],
                                   encrypted_content="Q" * 4000),
             ResponseFunctionToolCall(type="function_call", call_id="f1", name="logs",
                                      arguments="{}"),
             {"type": "function_call_output", "call_id": "f1", "output": "row\n" * 900},
             ResponseOutputMessage(id="m1", type="message", role="assistant", status="completed",
                                   content=[ResponseOutputText(type="output_text", text="done",
                                                               annotations=[])]),
             {"role": "user", "content": "again"}]
    for h, fmt in ((chat, "openai"), (messages, "anthropic"), (items, "responses")):
        r = qc.trim(h, max_tokens=1400)
        assert r.provider == fmt and r.elided and not r.over_budget
        notice = r.messages[r.kept.index(r.elided[0])]
        assert ": None" not in repr(notice) and "[tool result " in str(notice)
        assert all(m is h[i] for m, i in zip(r.messages, r.kept) if i not in r.elided)
    # Encrypted reasoning counts a token per four characters of its text.
    assert qc.trim(items).input_tokens[1] == 1000 + qc.count_tokens("") + 4  # its framing


@pytest.mark.parametrize("h, message", [
    ([{"role": "user", "parts": [{"text": "hi"}]}, {"role": "assistant", "content": "yo"}],
     "message 1: reads as Anthropic Messages or OpenAI Chat Completions or OpenAI Responses, "
     "while the messages before it read as Gemini: a history holds one format"),
    ([{"role": "user", "content": "hi"}, {"type": "function_call", "call_id": "a", "name": "f",
      "arguments": "{}"}, {"role": "tool", "tool_call_id": "a", "content": "x"}],
     "message 2: reads as OpenAI Chat Completions, while the messages before it read as "
     "OpenAI Responses: a history holds one format"),
    ([{"role": "user", "content": "hi"}, {"text": "no role"}],
     "message 1: matches no supported format \\(a dict with keys 'text'\\)"),
    ([{"role": "user", "content": [{"type": "input_text", "text": "a"},
                                   {"type": "tool_result", "tool_use_id": "x"}]}],
     "message 0: its content parts mix formats \\(input_text, tool_result\\)"),
    ([{"role": "model", "content": "hi"}], "message 0: role 'model' is in no supported format"),
])
def test_foreign_and_mixed_formats_are_refused(h, message):
    with pytest.raises(ValueError, match=f"^{message}"):
        qc.trim(h, max_tokens=100)
    with pytest.raises(ValueError, match=f"^{message}"):
        qc.Conversation(max_tokens=100).prompt(h)


def test_a_given_provider_that_does_not_fit_is_refused():
    gemini = [{"role": "user", "parts": [{"text": "hello " * 100}]}]
    with pytest.raises(ValueError, match="message 0: not an OpenAI Chat Completions message "
                                         r"\(a dict with keys 'role', 'parts' reads as Gemini\)"):
        qc.trim(gemini, max_tokens=10, provider="openai")
    assert qc.trim(gemini, max_tokens=10).input_tokens[0] > 100  # never read as 0 tokens


@pytest.mark.parametrize("counter, message", [
    (len, "token_counter=len would count characters here"),
    (lambda messages: len(messages), "token_counter '<lambda>' counts messages")])
def test_message_counters_are_refused(counter, message):
    with pytest.raises(ValueError, match=message):
        qc.trim([{"role": "user", "content": "hi"}], token_counter=counter)


def test_results_and_tables_are_immutable():
    r = qc.trim([{"role": "user", "content": "hi"}], max_tokens=10)
    with pytest.raises(AttributeError):
        r.messages.append({"role": "user", "content": "more"})  # type: ignore[attr-defined]
    with pytest.raises(TypeError):
        qc.REASONING_EFFORT["off"] = "low"  # type: ignore[index]
    with pytest.raises(TypeError):
        qc.TrimResult(r.messages, r.kept)  # type: ignore[misc]


def test_keep_or_rewrite_sees_an_edited_history():
    h = [{"role": "user", "content": "q " * 50}, {"role": "assistant", "content": "a " * 50},
         {"role": "user", "content": "secret " * 50}]
    sent = qc.trim(h, max_tokens=10_000)
    edited = [*h[:2], {"role": "user", "content": "[redacted]"}, {"role": "user", "content": "x"}]
    fresh = qc.trim(edited, max_tokens=10_000)
    before = copy.deepcopy(h)
    with pytest.deprecated_call(match="^keep_or_rewrite is deprecated"):
        chosen = qc.keep_or_rewrite(sent, fresh, edited)
    assert chosen is fresh and "secret" not in str(chosen.messages)
    grown = [*h, {"role": "assistant", "content": "ok"}]
    with pytest.deprecated_call():
        assert qc.keep_or_rewrite(sent, qc.trim(grown, max_tokens=10_000), grown).messages[:3] \
            == sent.messages
    assert h == before
