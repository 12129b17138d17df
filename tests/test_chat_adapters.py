"""The framework adapters, each driven by its framework's own objects with a fake model."""
import asyncio
import copy
import json
import subprocess
import sys
from types import SimpleNamespace

import pytest

from quorvex_chat import Options, SQLiteStore
from quorvex_chat._keyed import Conversations
from quorvex_chat._store import STATES_TABLE

BUDGET, ROUNDS, SYSTEM = 1500, 8, "You are terse. Answer from the tool results."
RESULT = "\n".join(f"row {n}: status ok, latency {n * 7} ms" for n in range(120))


def test_no_framework_is_imported_with_the_package():
    code = ("import sys, quorvex_chat; "
            "print({'langchain', 'pydantic_ai', 'agents'} & {*sys.modules})")
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True).stdout.strip() == "set()"


def test_conversations_are_bounded_and_billed_anew_when_the_system_prompt_changes():
    conversations = Conversations(Options(max_tokens=100), limit=2)
    for key in "abca":
        conversations.prompt(key, [{"role": "user", "content": key}])
    assert len(conversations) == 2 and conversations.get("b") is None
    first = conversations.get("a")
    assert conversations.prompt("a", [{"role": "user", "content": "a"}],
                                system="Be brief.").overhead_tokens > 0
    assert conversations.get("a") is not first and len(conversations) == 2


def test_conversations_sharing_a_state_store_prompt_as_one_and_survive_other_options(tmp_path):
    alone, history, rows = Conversations(Options(max_tokens=BUDGET)), [], RESULT.split("\n")
    workers = [Conversations(Options(max_tokens=BUDGET, store=tmp_path / "originals.db"),
                             states=tmp_path / "states.db") for _ in range(2)]
    for n in range(12):  # results small enough that the plan grows between compactions
        history += [{"role": "user", "content": f"question {n}"},
                    {"role": "assistant", "content": None, "tool_calls": [{
                        "id": f"c{n}", "type": "function",
                        "function": {"name": "probe", "arguments": "{}"}}]},
                    {"role": "tool", "tool_call_id": f"c{n}",
                     "content": "\n".join(rows[n:n + 30])}]
        sent = workers[n % 2].prompt("c", history)
        assert sent.messages == alone.prompt("c", history).messages
    assert alone.get("c").compactions > 1 and sent.elided
    kept = json.loads(SQLiteStore(tmp_path / "states.db", table=STATES_TABLE)["c"])
    assert kept["conversation"]["calls"] == 12
    # A plan made under other options is set aside for a fresh one, not sent nor raised.
    other = Conversations(Options(max_tokens=2 * BUDGET), states=tmp_path / "states.db")
    assert other.prompt("c", history).tokens_after <= 2 * BUDGET


def test_a_call_that_names_no_conversation_is_refused():
    for framework in ("langchain", "pydantic_ai", "agents"):
        pytest.importorskip(framework)
    from quorvex_chat.langchain import TrimMiddleware
    from quorvex_chat.openai_agents import TrimInput
    from quorvex_chat.pydantic_ai import TrimHistory
    with pytest.raises(ValueError, match="Pass conversation_id= to agent.run"):
        TrimHistory(max_tokens=BUDGET)(SimpleNamespace(conversation_id=None), [])
    data = SimpleNamespace(model_data=SimpleNamespace(input=[], instructions=None), agent=None)
    with pytest.raises(ValueError, match=r"TrimInput\(key=...\) returned None"):
        TrimInput(max_tokens=BUDGET, key=lambda data: None)(data)
    with pytest.raises(TypeError, match="the checkpointer persists it"):
        TrimMiddleware(max_tokens=BUDGET, state_store={})


def langchain_history():
    from langchain_core.messages import AIMessage, HumanMessage, ToolMessage
    history = []
    for n in range(ROUNDS):
        calls = [{"name": "probe", "args": {"n": n}, "id": f"c{n}"}]
        history += [HumanMessage(f"question {n}", id=f"q{n}"),  # ids: add_messages sets any
                    AIMessage("", tool_calls=calls, id=f"k{n}"),  # missing one in place
                    ToolMessage(RESULT, tool_call_id=f"c{n}", id=f"r{n}"),
                    AIMessage(f"answer {n}", id=f"a{n}")]
    return history + [HumanMessage("and now?", id="last")]


@pytest.mark.parametrize("run", ["invoke", "ainvoke"])
def test_langchain_middleware_trims_the_model_view_only(run):
    pytest.importorskip("langchain")
    from langchain.agents import create_agent
    from langchain_core.language_models.fake_chat_models import FakeMessagesListChatModel
    from langchain_core.messages import AIMessage, HumanMessage, SystemMessage
    from langgraph.checkpoint.memory import InMemorySaver
    from quorvex_chat.langchain import TrimMiddleware
    seen = []

    class Model(FakeMessagesListChatModel):
        def _generate(self, messages, *args, **kwargs):
            seen.append(messages)
            return super()._generate(messages, *args, **kwargs)

    middleware = TrimMiddleware(max_tokens=BUDGET)
    agent = create_agent(Model(responses=[AIMessage("done"), AIMessage("done")]),
                         system_prompt=SYSTEM, middleware=[middleware],
                         checkpointer=InMemorySaver())
    history = langchain_history()
    before = copy.deepcopy(history)
    config = {"configurable": {"thread_id": "t1"}}
    for turn in ({"messages": history}, {"messages": [HumanMessage("more?")]}):
        call = getattr(agent, run)
        state = call(turn, config) if run == "invoke" else asyncio.run(call(turn, config))
        result = middleware.last
        assert isinstance(seen[-1][0], SystemMessage) and seen[-1][0].content == SYSTEM
        assert seen[-1][1:] == list(result.messages) and len(seen[-1]) < len(state["messages"])
        assert result.tokens_after <= BUDGET and result.overhead_tokens > 0
    assert history == before and state["messages"][:len(history)] == history
    assert len(state["messages"]) == len(history) + 3  # two replies and the second question
    assert middleware.conversation("t1").replans == 0  # the checkpointed thread only grew


def test_langchain_trim_messages_maps_objects_one_to_one():
    pytest.importorskip("langchain")
    from quorvex_chat import trim
    from quorvex_chat.langchain import trim_messages
    history = langchain_history()
    out, result = trim_messages(history, max_tokens=BUDGET), trim(history, max_tokens=BUDGET)
    assert out == list(result.messages) and len(out) < len(history) and result.elided
    assert [out[j] is history[i] for j, i in enumerate(result.kept)] == \
        [i not in result.elided for i in result.kept]


@pytest.mark.parametrize("wiring", ["capability", "process_history"])
def test_pydantic_ai_trims_each_request(wiring):
    pytest.importorskip("pydantic_ai")
    from pydantic_ai import Agent
    from pydantic_ai.capabilities import ProcessHistory
    from pydantic_ai.messages import (ModelRequest, ModelResponse, TextPart, ToolCallPart,
                                      ToolReturnPart, UserPromptPart)
    from pydantic_ai.models.function import FunctionModel
    from quorvex_chat.pydantic_ai import TrimHistory
    seen, history = [], []
    for n in range(ROUNDS):
        history += [ModelRequest(parts=[UserPromptPart(f"question {n}")]),
                    ModelResponse(parts=[ToolCallPart("probe", {"n": n}, tool_call_id=f"c{n}")]),
                    ModelRequest(parts=[ToolReturnPart("probe", RESULT, tool_call_id=f"c{n}")]),
                    ModelResponse(parts=[TextPart(f"answer {n}")])]
    trimmer = TrimHistory(max_tokens=BUDGET)
    model = FunctionModel(lambda messages, info: seen.append((messages, info.instructions))
                          or ModelResponse(parts=[TextPart("done")]))
    capability = trimmer if wiring == "capability" else ProcessHistory(trimmer)
    run = Agent(model, instructions=SYSTEM, capabilities=[capability]).run_sync(
        "and now?", message_history=history)
    assert seen[-1][1] == SYSTEM and len(seen[-1][0]) < len(history)
    assert trimmer.last.tokens_after <= BUDGET and trimmer.last.overhead_tokens > 0
    # Only the capability leaves the run's history whole; ProcessHistory writes the trim back.
    assert (len(run.all_messages()) == len(history) + 2) == (wiring == "capability")


def test_a_pydantic_ai_history_read_back_from_json_is_no_edit():
    pytest.importorskip("pydantic_ai")
    from pydantic_ai import Agent
    from pydantic_ai.messages import ModelMessagesTypeAdapter as Messages
    from pydantic_ai.models.test import TestModel
    from quorvex_chat import Conversation
    history = Agent(TestModel(call_tools=[])).run_sync("hi").all_messages()
    conversation = Conversation(max_tokens=BUDGET)
    conversation.prompt(history)
    # Read back as another worker reads it: its timestamps and floats come back as other
    # objects, equal to the first.
    conversation.prompt(Messages.validate_json(Messages.dump_json(history)))
    assert conversation.replans == 0


def test_openai_agents_filter_trims_the_input_of_a_run():
    pytest.importorskip("agents")
    from agents import Agent, RunConfig, Runner
    from agents.items import ModelResponse
    from agents.models.interface import Model
    from agents.usage import Usage
    from openai.types.responses import ResponseOutputMessage, ResponseOutputText
    from quorvex_chat.openai_agents import TrimInput
    seen = []

    class Fake(Model):
        stream_response = None

        async def get_response(self, system_instructions, input, *args, **kwargs):
            seen.append((system_instructions, input))
            text = ResponseOutputText(type="output_text", text="done", annotations=[])
            return ModelResponse(output=[ResponseOutputMessage(
                id="m", type="message", role="assistant", status="completed",
                content=[text])], usage=Usage(), response_id=None)

    items = [{"role": "user", "content": "and now?"}]
    for n in reversed(range(ROUNDS)):
        items[:0] = [{"role": "user", "content": f"question {n}"},
                     {"type": "function_call", "call_id": f"c{n}", "name": "probe",
                      "arguments": f'{{"n": {n}}}'},
                     {"type": "function_call_output", "call_id": f"c{n}", "output": RESULT},
                     {"role": "assistant", "content": f"answer {n}"}]
    before = copy.deepcopy(items)
    trimmer = TrimInput(max_tokens=BUDGET)
    config = RunConfig(call_model_input_filter=trimmer, tracing_disabled=True)
    agent = Agent(name="a", instructions=SYSTEM, model=Fake())
    with pytest.raises(ValueError, match="^TrimInput cannot tell this run's conversation"):
        asyncio.run(Runner.run(agent, items, run_config=config))
    run = asyncio.run(Runner.run(agent, items, run_config=config,
                                 context={"conversation_id": "c-1"}))
    instructions, sent = seen[-1]
    assert instructions == SYSTEM and sent == list(trimmer.last.messages)
    assert len(sent) < len(items) and trimmer.last.tokens_after <= BUDGET
    assert trimmer.last.overhead_tokens > 0 and items == before and run.final_output == "done"
    # Another conversation that opens with the same items has a plan of its own.
    asyncio.run(Runner.run(agent, items[:1], run_config=config,
                           context={"conversation_id": "c-2"}))
    assert trimmer.conversation("c-2") is not trimmer.conversation("c-1") is not None


def test_a_plan_of_which_nothing_was_kept_stays_in_the_process():
    """LangGraph without a checkpointer hands back no record: the process's own plan of the
    thread serves, as for any single process, instead of a fresh plan each invocation."""
    from quorvex_chat._keyed import Conversations
    from quorvex_chat._options import Options
    from test_chat_trim import history
    h = history("openai", [(50, [[1]], True)] * 12, 0)
    for message in h:
        if message["role"] == "tool":
            message["content"] = "row ok\n" * 300
    conversations = Conversations(Options(max_tokens=2500))
    previous, extended = (), 0
    for end in range(2, len(h) + 1):
        result, _ = conversations.prompt_kept("thread", h[:end], None)
        extended += result.messages[:len(previous)] == previous
        previous = result.messages
    conversation = conversations.get("thread")
    assert conversation is not None and conversation.compactions >= 2
    assert extended >= len(h) * 3 // 4  # a cache-stable prompt, call after call
