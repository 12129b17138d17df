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

Each thread (`config["configurable"]["thread_id"]`, read as a str) has its own
`Conversation`, so its prompts grow by appending and are served from the provider's cache
between compactions; a run without a thread id shares one. The `max_conversations` most
recently used threads are remembered, the others forgotten (a forgotten thread starts a
fresh plan, which is correct but compacts anew).

`trim_messages` is the stateless one-shot equivalent for a list of `BaseMessage`.

Importing this module imports langchain; `quorvex_chat` itself does not.
"""

from __future__ import annotations

from typing import Any, Awaitable, Callable, Sequence

from langchain.agents.middleware import AgentMiddleware, AgentState, ModelRequest, ModelResponse
from langchain.agents.middleware.types import ExtendedModelResponse
from langchain_core.messages import AIMessage, AnyMessage, BaseMessage
from langchain_core.tools import BaseTool, StructuredTool
from langchain_core.utils.function_calling import convert_to_openai_tool

from ._conversation import Conversation
from ._counting import TokenCounter
from ._keyed import Adapter
from ._trim import trim

__all__ = ["TrimMiddleware", "trim_messages"]


# The ignores matter only where langchain is not installed and its classes are Any to mypy.
class TrimMiddleware(
        Adapter, AgentMiddleware[AgentState[Any], Any, Any]):  # type: ignore[misc,unused-ignore]
    """Trims the messages each model call sees to `max_tokens`, one `Conversation` per thread.

    `max_tokens` is the budget of the whole prompt: messages, system prompt and tool schemas.
    `token_counter` counts text (a callable text -> int, or a tiktoken-style encoder; by
    default `count_tokens`, which counts high). Any other keyword (`target`, `half_life`,
    `pin`, `exclude_tools`, `keep_recent_results`, `store`, ...) is passed to each
    `Conversation`. With `recall=True` the middleware adds the recall tool to the agent, so
    the model can fetch back what a notice names.
    """

    provider = "langchain"
    #: The recall tool with `recall=True`, which `create_agent` adds to the agent's tools.
    tools: list[BaseTool] = []

    def _offer_recall(self) -> None:
        def recall(handle: str) -> str:
            return self.recall(handle)

        self.tools = [StructuredTool.from_function(recall, name=self.recall_name,
                                                   description=self.recall_description)]

    def conversation(self, thread_id: object = None) -> Conversation[Any] | None:
        """The `Conversation` of a thread (None: runs without a thread id), if remembered."""
        return self.conversations.get(None if thread_id is None else str(thread_id))

    def _trimmed(self, request: ModelRequest[Any]) -> ModelRequest[Any]:
        system = request.system_message.content if request.system_message is not None else None
        tools = [tool if isinstance(tool, dict) else convert_to_openai_tool(tool)
                 for tool in request.tools] or None
        result = self.conversations.prompt(_thread_id(request), request.messages,
                                           system=system, tools=tools)
        self.last = result
        messages: list[AnyMessage] = list(result.messages)
        return request.override(messages=messages)

    def wrap_model_call(
        self, request: ModelRequest[Any],
        handler: Callable[[ModelRequest[Any]], ModelResponse[Any]],
    ) -> ModelResponse[Any] | AIMessage | ExtendedModelResponse[Any]:
        return handler(self._trimmed(request))  # type: ignore[no-any-return,unused-ignore]

    async def awrap_model_call(
        self, request: ModelRequest[Any],
        handler: Callable[[ModelRequest[Any]], Awaitable[ModelResponse[Any]]],
    ) -> ModelResponse[Any] | AIMessage | ExtendedModelResponse[Any]:
        return await handler(self._trimmed(request))  # type: ignore[no-any-return,unused-ignore]


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
