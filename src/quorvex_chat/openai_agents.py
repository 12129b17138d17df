"""OpenAI Agents SDK: a `call_model_input_filter` that keeps each model call under a budget.

    from quorvex_chat.openai_agents import TrimInput
    result = await Runner.run(agent, items, run_config=RunConfig(
        call_model_input_filter=TrimInput(max_tokens=100_000)))

The SDK (openai-agents 0.x, tested on 0.25) calls `RunConfig.call_model_input_filter` with a
`CallModelData` right before each model call; `data.model_data` is a `ModelInputData` of the
Responses input items (`input`) and the agent's `instructions`. `TrimInput` returns a new
`ModelInputData` whose input is the prompt a `Conversation` sends for those items, and whose
instructions are the same: they go to the model as the system prompt, outside the items, so
they are passed as `system=` (counted against `max_tokens`, the stable prefix), with the
schemas of the agent's own function tools and handoffs as `tools=` (tools from MCP servers
are resolved later and not seen here). The SDK keeps its items; only the call is trimmed.

The filter sees neither a thread nor a session id, so conversations are told apart by
`key(data)`: by default the run context's `conversation_id`, `session_id` or `thread_id`
(`context_key`); a call whose context has none is refused with a message saying how to give
one, since conversations that open alike (with the same "hi") would otherwise share one plan.
Give `key=` when the run context names its conversation otherwise, e.g.
`key=lambda data: data.context.user_id`. With a `Session` the runner sends the session's
items, and the filter sees neither the session nor its id: name it in the context,
`context={"session_id": session.session_id}`.

With `state_store=` (the path of a SQLite file, or any mutable mapping of str to str) each
conversation's plan is kept there as JSON by key, so that every worker process, after any
restart, sends the prompts one process would; without it the `max_conversations` most
recently used plans live in this process. Give the workers one `store=` too, and a recall on
any of them finds what another elided.

A run on a server-managed conversation (`previous_response_id`, `conversation_id`) sends
only the new items each call; the server holds the history, and there is nothing to trim
here.

Importing this module imports agents; `quorvex_chat` itself does not.
"""

from __future__ import annotations

from typing import Any, Callable, Hashable

from agents.run_config import CallModelData, ModelInputData

from ._conversation import Conversation
from ._keyed import Adapter, named

__all__ = ["TrimInput", "context_key"]


#: The attributes (or keys) of a run context that name its conversation, in this order.
CONTEXT_KEYS = ("conversation_id", "session_id", "thread_id")


def context_key(data: CallModelData[Any]) -> Hashable:
    """The default conversation key: the run context's `conversation_id`, `session_id` or
    `thread_id` (an attribute, or a key of a dict context). ValueError when it has none:
    two conversations that open alike must not share one plan, and nothing in the items
    tells them apart."""
    context = data.context
    for name in CONTEXT_KEYS:
        value = context.get(name) if isinstance(context, dict) else getattr(context, name, None)
        if value is not None:
            return str(value)
    raise ValueError("TrimInput cannot tell this run's conversation: the input filter sees no "
                     "session or thread id. Give the run context a conversation_id (or "
                     "session_id or thread_id), or pass TrimInput(key=lambda data: ...) that "
                     "returns your conversation's id")


def _tool_schemas(agent: Any) -> list[dict[str, Any]] | None:
    schemas: list[dict[str, Any]] = []
    for tool in [*getattr(agent, "tools", ()), *getattr(agent, "handoffs", ())]:
        name = getattr(tool, "name", None) or getattr(tool, "tool_name", None)
        parameters = (getattr(tool, "params_json_schema", None)
                      or getattr(tool, "input_json_schema", None))
        if name is None:
            continue
        description = (getattr(tool, "description", None)
                       or getattr(tool, "tool_description", None) or "")
        schemas.append({"name": str(name), "description": str(description),
                        "parameters": parameters or {}})
    return schemas or None


class TrimInput(Adapter):
    """A `call_model_input_filter` that trims the input items to `max_tokens`.

    `max_tokens` is the budget of the items with the instructions and tool schemas.
    `token_counter` counts text (a callable text -> int, or a tiktoken-style encoder; by
    default `count_tokens`, which counts high). `key(data)` names the conversation a call
    belongs to (default `context_key`); with `state_store` its plan is kept there. Any other
    keyword (`target`, `half_life`, `pin`, `exclude_tools`, `keep_recent_results`, `store`,
    ...) is passed to each `Conversation`.
    With `recall=True`, `tool` is the recall tool: give it to the agent,
    `Agent(..., tools=[..., trim.tool])` (a filter cannot add tools to a call itself).
    """

    provider = "responses"
    #: The recall tool, with `recall=True`.
    tool: Any = None

    def _offer_recall(self) -> None:
        from agents import function_tool

        def recall(handle: str, query: str = "") -> str:
            return self.recall(handle, query)

        self.tool = function_tool(recall, name_override=self.recall_name,
                                  description_override=self.recall_description)

    def __init__(self, *, key: Callable[[CallModelData[Any]], Hashable] = context_key,
                 **options: Any) -> None:
        super().__init__(**options)
        self.key = key

    def conversation(self, key: Hashable) -> Conversation[Any] | None:
        """The `Conversation` of a key, if this process holds it."""
        return self.conversations.get(key)

    def __call__(self, data: CallModelData[Any]) -> ModelInputData:
        model_data = data.model_data
        key = named(self.key(data), "TrimInput")
        result = self.conversations.prompt(key, model_data.input,
                                           system=model_data.instructions,
                                           tools=_tool_schemas(data.agent))
        self.last = result
        return ModelInputData(input=list(result.messages), instructions=model_data.instructions)
