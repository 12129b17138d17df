"""LangChain v1: a middleware that keeps an agent's model calls under a token budget.

    from quorvex_chat.langchain import TrimMiddleware
    agent = create_agent(model, tools, system_prompt="...",
                         middleware=[TrimMiddleware(max_tokens=100_000)])

`TrimMiddleware` hooks `wrap_model_call` / `awrap_model_call` (langchain 1.x,
`langchain.agents.middleware.AgentMiddleware`): each model call is handed
`request.override(messages=prompt)`, where the prompt is what a `Conversation` of the thread
sends for the state's messages. Only the model's view is trimmed; the agent's state keeps
every message, so a later call (or a person reading the thread) still has the whole history.

The system prompt is not among `request.messages`: LangChain keeps it on the request
(`request.system_message`) and puts it in front of the messages when it calls the model. It
is passed to the `Conversation` as `system=`, with the tool schemas of the call as `tools=`,
so both count against `max_tokens`; it stays first and whole, the stable prefix of every
prompt.

Each thread's plan is kept in the agent's own state, under `STATE_KEY` (declared by the
middleware's `state_schema`, private: neither an input nor an output of the agent), written
with each model call's response: so the checkpointer persists it with the thread's messages,
and any worker, after any restart, that runs the thread from its checkpoint sends the prompts
one process would have sent. The `Conversation`s this process made are a cache, used only
while the state holds the very record they wrote last; otherwise the plan is restored from
the state. Without a checkpointer LangGraph keeps nothing between invocations, and each
thread's plan lives in the process that served it. The recall originals are shared the same way through `store=`: a
SQLite path (or a mapping backed by a database) that every worker opens.

`trim_messages` is the stateless one-shot equivalent for a list of `BaseMessage`.

Importing this module imports langchain; `quorvex_chat` itself does not.
"""

from __future__ import annotations

from typing import Annotated, Any, Awaitable, Callable, Sequence

from langchain.agents.middleware import AgentMiddleware, AgentState, ModelRequest, ModelResponse
from langchain.agents.middleware.types import ExtendedModelResponse, PrivateStateAttr
from langchain_core.messages import AIMessage, AnyMessage, BaseMessage
from langchain_core.tools import BaseTool, StructuredTool
from langchain_core.utils.function_calling import convert_to_openai_tool
from langgraph.types import Command
from typing_extensions import NotRequired

from ._conversation import Conversation
from ._counting import TokenCounter
from ._keyed import Adapter
from ._trim import trim

__all__ = ["STATE_KEY", "TrimMiddleware", "TrimState", "trim_messages"]

#: Where the agent state keeps the thread's plan.
STATE_KEY = "quorvex_conversation"


class TrimState(AgentState[Any]):  # type: ignore[misc,unused-ignore]
    """The agent state with the thread's plan: a record of plain JSON values that the
    checkpointer saves with the messages."""

    quorvex_conversation: NotRequired[Annotated[dict[str, Any] | None, PrivateStateAttr]]


# The ignores matter only where langchain is not installed and its classes are Any to mypy.
class TrimMiddleware(
        Adapter, AgentMiddleware[AgentState[Any], Any, Any]):  # type: ignore[misc,unused-ignore]
    """Trims the messages each model call sees to `max_tokens`, one `Conversation` per thread.

    `max_tokens` is the budget of the whole prompt: messages, system prompt and tool schemas.
    `token_counter` counts text (a callable text -> int, or a tiktoken-style encoder; by
    default `count_tokens`, which counts high). Any other keyword (`target`, `half_life`,
    `pin`, `exclude_tools`, `keep_recent_results`, `store`, ...) is passed to each
    `Conversation`. With `recall=True` the middleware adds the recall tool to the agent, so
    the model can fetch back what a notice names. The plan of each thread is kept in the
    agent state (`TrimState`); `max_conversations` bounds the threads this process caches.
    """

    provider = "langchain"
    state_schema = TrimState
    #: The recall tool with `recall=True`, which `create_agent` adds to the agent's tools.
    tools: list[BaseTool] = []

    def _offer_recall(self) -> None:
        def recall(handle: str, query: str = "") -> str:
            return self.recall(handle, query)

        self.tools = [StructuredTool.from_function(recall, name=self.recall_name,
                                                   description=self.recall_description)]

    def __init__(self, *, max_tokens: int, **options: Any) -> None:
        if "state_store" in options:
            raise TypeError("state_store= is not for LangChain: the agent state keeps each "
                            "thread's plan, and the checkpointer persists it")
        super().__init__(max_tokens=max_tokens, **options)

    def conversation(self, thread_id: object = None) -> Conversation[Any] | None:
        """The `Conversation` this process last used for a thread (None: runs without a
        thread id), if it still holds it."""
        return self.conversations.get(None if thread_id is None else str(thread_id))

    def _trimmed(self, request: ModelRequest[Any]) -> tuple[ModelRequest[Any], Command[Any]]:
        system = request.system_message.content if request.system_message is not None else None
        tools = [tool if isinstance(tool, dict) else convert_to_openai_tool(tool)
                 for tool in request.tools] or None
        kept = (request.state or {}).get(STATE_KEY)
        result, record = self.conversations.prompt_kept(_thread_id(request), request.messages,
                                                        kept, system=system, tools=tools)
        self.last = result
        messages: list[AnyMessage] = list(result.messages)
        return request.override(messages=messages), Command(update={STATE_KEY: record})

    def wrap_model_call(
        self, request: ModelRequest[Any],
        handler: Callable[[ModelRequest[Any]], ModelResponse[Any]],
    ) -> ModelResponse[Any] | AIMessage | ExtendedModelResponse[Any]:
        trimmed, update = self._trimmed(request)
        # The plan is written with the response: a call that fails leaves the state as it
        # was, and its retry is planned from the same record.
        return ExtendedModelResponse(model_response=handler(trimmed), command=update)

    async def awrap_model_call(
        self, request: ModelRequest[Any],
        handler: Callable[[ModelRequest[Any]], Awaitable[ModelResponse[Any]]],
    ) -> ModelResponse[Any] | AIMessage | ExtendedModelResponse[Any]:
        trimmed, update = self._trimmed(request)
        return ExtendedModelResponse(model_response=await handler(trimmed), command=update)


def _thread_id(request: ModelRequest[Any]) -> str | None:
    """The thread of the run making `request`, or None when it was given none."""
    info = getattr(getattr(request, "runtime", None), "execution_info", None)
    thread = getattr(info, "thread_id", None)
    if thread is not None:
        return str(thread)
    try:  # releases whose runtime carries no execution info
        from langgraph.config import get_config
        configurable = get_config().get("configurable") or {}
    except (ImportError, RuntimeError):
        return None
    thread = configurable.get("thread_id")
    return None if thread is None else str(thread)


def trim_messages(messages: Sequence[BaseMessage], *, max_tokens: int,
                  token_counter: TokenCounter | None = None, system: object = None,
                  **options: Any) -> list[BaseMessage]:
    """`messages` trimmed to `max_tokens`, as a new list of the same message objects.

    A stand-in for `langchain_core.messages.trim_messages` that keeps tool calls with their
    results and elides before it drops. Each kept message is the very object given; an
    elided one is a `model_copy` of it with its content replaced by a notice. Unlike
    LangChain's, `token_counter` counts text, not messages. `system` is a system prompt
    sent beside the messages, counted against the budget. Other keywords are those of
    `quorvex_chat.trim`; call that directly (with `provider="langchain"`) for the
    `TrimResult`, whose `kept` maps each output message to its input index.
    """
    options.setdefault("provider", "langchain")
    result = trim(messages, max_tokens=max_tokens, token_counter=token_counter, system=system,
                  **options)
    return list(result.messages)
