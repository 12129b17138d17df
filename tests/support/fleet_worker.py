"""One worker of a fleet serving one conversation: a framework's agent whose scripted model
calls the probe tool twice a turn, then answers, and keeps every input it is given; the
adapter's plans and originals are in the stores that the config names.

`python fleet_worker.py CONFIG_JSON` answers each JSON line on stdin with one on stdout:
{"turn": n} with the model's inputs of turn n, {"recall": handle} with the original.
"""
import asyncio
import json
import os
import sys

BUDGET, SYSTEM = 2000, "You watch the probes: call probe twice, then answer."


def probe(turn: int, call: int) -> str:
    """Read the probe rows of one shard."""
    rows = [f"probe {turn}.{call} row {r}: ok, {(7 * r + turn) % 90} ms" for r in range(20)]
    rows[(turn + 5 * call) % 20] = f"probe {turn}.{call} row X: error, WAL replay stalled"
    return "\n".join(rows)


class Worker:
    def __init__(self, config):
        self.config, self.turn_, self.seen = config, 0, []
        self.trim, self.run = getattr(self, config["framework"])()

    def step(self, shown):
        """What the model does next: (args, call id) of a probe call, or None to answer."""
        self.seen.append(json.loads(json.dumps(shown, default=str)))
        call = len(self.seen)
        return None if call > 2 else ({"turn": self.turn_, "call": call}, f"t{self.turn_}c{call}")

    def turn(self, n):
        self.turn_, self.seen = n, []
        self.run(f"question {n}")
        return self.seen

    def langchain(self):
        from langchain.agents import create_agent
        from langchain_core.language_models import BaseChatModel
        from langchain_core.messages import AIMessage
        from langchain_core.outputs import ChatGeneration, ChatResult
        from langchain_core.tools import StructuredTool
        from quorvex_chat.langchain import TrimMiddleware
        worker = self

        class Model(BaseChatModel):
            _llm_type = property(lambda self: "scripted")
            bind_tools = lambda self, tools, **kwargs: self  # noqa: E731

            def _generate(self, messages, stop=None, run_manager=None, **kwargs):
                call = worker.step([(m.type, m.content, getattr(m, "tool_calls", None),
                                     getattr(m, "tool_call_id", None)) for m in messages])
                reply = AIMessage(f"answer {worker.turn_}") if call is None else AIMessage(
                    "", tool_calls=[{"name": "probe", "args": call[0], "id": call[1]}])
                return ChatResult(generations=[ChatGeneration(message=reply)])

        if self.config["checkpointer"] == "postgres":
            import psycopg
            from langgraph.checkpoint.postgres import PostgresSaver
            saver = PostgresSaver(psycopg.connect(self.config["db"], autocommit=True,
                                                  row_factory=psycopg.rows.dict_row))
        else:
            import sqlite3
            from langgraph.checkpoint.sqlite import SqliteSaver
            saver = SqliteSaver(sqlite3.connect(self.config["db"], check_same_thread=False))
        saver.setup()
        trim = TrimMiddleware(max_tokens=BUDGET, store=self.config["store"])
        agent = create_agent(Model(), [StructuredTool.from_function(probe)], middleware=[trim],
                             system_prompt=SYSTEM, checkpointer=saver)
        thread = {"configurable": {"thread_id": self.config["thread"]}}
        return trim, lambda question: agent.invoke({"messages": [("user", question)]}, thread)

    def pydantic_ai(self):
        from pydantic_ai import Agent, Tool
        from pydantic_ai.messages import ModelMessagesTypeAdapter as Messages
        from pydantic_ai.messages import ModelResponse, TextPart, ToolCallPart
        from pydantic_ai.models.function import FunctionModel
        from quorvex_chat.pydantic_ai import TrimHistory

        def respond(messages, info):
            call = self.step([[(p.part_kind, getattr(p, "content", None), getattr(p, "args", None))
                               for p in m.parts] for m in messages])
            return ModelResponse(parts=[TextPart(f"answer {self.turn_}") if call is None
                                        else ToolCallPart("probe", *call)])

        trim = TrimHistory(max_tokens=BUDGET, state_store=self.config["states"],
                           store=self.config["store"])
        agent = Agent(FunctionModel(respond), instructions=SYSTEM, tools=[Tool(probe)],
                      capabilities=[trim])
        path = self.config["history"]  # the application keeps the history: here, as JSON

        def run(question):
            history = Messages.validate_json(open(path, "rb").read()) \
                if os.path.exists(path) else []
            done = agent.run_sync(question, message_history=history,
                                  conversation_id=self.config["thread"])
            open(path, "wb").write(done.all_messages_json())
        return trim, run

    def openai_agents(self):
        from agents import Agent, RunConfig, Runner, SQLiteSession, function_tool
        from agents.items import ModelResponse
        from agents.models.interface import Model
        from agents.usage import Usage
        from openai.types.responses import ResponseFunctionToolCall, ResponseOutputMessage
        from quorvex_chat.openai_agents import TrimInput
        worker = self

        class Fake(Model):
            stream_response = None

            async def get_response(self, system_instructions, input, *args, **kwargs):
                call = worker.step(input)
                output = ResponseOutputMessage.model_validate({
                    "id": "m", "type": "message", "role": "assistant", "status": "completed",
                    "content": [{"type": "output_text", "text": f"answer {worker.turn_}",
                                 "annotations": []}]}) if call is None else \
                    ResponseFunctionToolCall(type="function_call", name="probe", call_id=call[1],
                                             arguments=json.dumps(call[0]))
                return ModelResponse(output=[output], usage=Usage(), response_id=None)

        trim = TrimInput(max_tokens=BUDGET, state_store=self.config["states"],
                         store=self.config["store"])
        agent = Agent(name="fleet", instructions=SYSTEM, model=Fake(),
                      tools=[function_tool(probe)])
        config = RunConfig(call_model_input_filter=trim, tracing_disabled=True)
        thread = self.config["thread"]
        session = SQLiteSession(thread, self.config["history"])
        return trim, lambda question: asyncio.run(Runner.run(
            agent, question, session=session, context={"session_id": thread}, run_config=config))


if __name__ == "__main__":
    worker = Worker(json.loads(sys.argv[1]))
    print("{}", flush=True)
    for line in sys.stdin:
        ask = json.loads(line)
        print(json.dumps(worker.turn(ask["turn"]) if "turn" in ask
                         else worker.trim.recall(ask["recall"])), flush=True)
