"""Pydantic AI: keep an agent's model requests under a token budget.

    from quorvex_chat.pydantic_ai import TrimHistory
    agent = Agent(model, instructions="...", capabilities=[TrimHistory(max_tokens=100_000)])

Pydantic AI 2 (tested on 2.78) removed `Agent(history_processors=...)`; capabilities replace
it. `TrimHistory` is a capability whose `before_model_request` hands the model the prompt a
`Conversation` of the run's conversation (`ctx.conversation_id`) sends for the messages:
only that request is trimmed, and the run's message history (`result.all_messages()`, what
the next run is given) keeps every message. The instructions are not among the messages:
they live in `request_context.model_request_parameters.instruction_parts` and the model
puts them first. They are passed as `system=`, so they count against `max_tokens` and stay
the stable prefix.

A `TrimHistory` is also a history processor, `(ctx, messages) -> messages`, for:

- Pydantic AI 1, where it goes in `Agent(history_processors=[TrimHistory(...)])` (on
  releases without capabilities it is a plain callable; not tested here);
- `capabilities=[ProcessHistory(TrimHistory(...))]` in 2, which writes what a processor
  returns back into the run's history (it assigns `ctx.messages[:]`), so the trimmed
  messages are gone for the rest of the run and from `all_messages()`.

As a processor it sees no instructions and counts the newest `ModelRequest.instructions`
recorded in the messages instead.

Conversations are told apart by `key(ctx)`, by default `ctx.conversation_id`, which
Pydantic AI 2 gives every run (the `conversation_id=` of `agent.run`, else the one recorded
on `message_history`, else a new one). A run whose context names none is refused with a
message saying how to give one: conversations must not share a plan. With
`state_store=` (the path of a SQLite file, or any mutable mapping of str to str, such as one
backed by the database the application already runs) each conversation's plan is kept there
as JSON, so that every worker process, after any restart, sends the prompts one process
would; without it the plans live in this process. Give the workers one `store=` too, and a
recall on any of them finds what another elided.

Each message kept is the very `ModelRequest` / `ModelResponse` given; an elided one is a
`dataclasses.replace` copy. Importing this module imports pydantic_ai; `quorvex_chat` does not.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Generic, Hashable, Sequence, TypeVar

from pydantic_ai.messages import ModelMessage, ModelRequest
from pydantic_ai.tools import RunContext  # a run-time name: pydantic_ai reads the annotation

from ._conversation import Conversation
from ._keyed import Adapter, named

if TYPE_CHECKING:
    from pydantic_ai.capabilities import AbstractCapability
    from pydantic_ai.models import ModelRequestContext
else:
    try:
        from pydantic_ai.capabilities import AbstractCapability
    except ImportError:  # Pydantic AI 1 before capabilities: a history processor only
        _D = TypeVar("_D")

        class AbstractCapability(Generic[_D]):
            pass

__all__ = ["TrimHistory", "conversation_key"]


def conversation_key(ctx: RunContext[Any]) -> Hashable:
    """The default conversation key: the run's `ctx.conversation_id`. ValueError when it
    has none, since conversations that share a key share one plan."""
    key = getattr(ctx, "conversation_id", None)
    if key is None:
        raise ValueError("TrimHistory cannot tell this run's conversation: its context has no "
                         "conversation_id. Pass conversation_id= to agent.run (Pydantic AI "
                         "2), or TrimHistory(key=lambda ctx: ...) that returns your "
                         "conversation's id")
    return str(key)


# The ignore matters only where pydantic_ai is not installed and its classes are Any to mypy.
class TrimHistory(Adapter, AbstractCapability[Any]):  # type: ignore[misc,unused-ignore]
    """Trims what each model request sends to `max_tokens`, one `Conversation` per conversation.

    `max_tokens` is the budget of the messages with the instructions. `token_counter`
    counts text (a callable text -> int, or a tiktoken-style encoder; by default
    `count_tokens`, which counts high). Any other keyword (`target`, `half_life`, `pin`,
    `exclude_tools`, `keep_recent_results`, `store`, ...) is passed to each `Conversation`.
    `key(ctx)` names the conversation of a call (default `conversation_key`). With
    `state_store` the plans are kept there by key, and `max_conversations` bounds the
    plans this process caches; without it, the `max_conversations` most recently used are
    remembered in this process alone. With `recall=True` the capability gives the agent the
    recall tool, so the model can fetch back what a notice names (as a history processor,
    pass `Tool(trim.recall)` yourself).
    """

    provider = "pydantic_ai"
    _toolset: Any = None

    def _offer_recall(self) -> None:
        from pydantic_ai.tools import Tool
        from pydantic_ai.toolsets import FunctionToolset

        def recall(handle: str, query: str = "") -> str:
            return self.recall(handle, query)

        self._toolset = FunctionToolset([Tool(recall, name=self.recall_name,
                                              description=self.recall_description)])

    def get_toolset(self) -> Any:
        """With `recall=True`, the recall tool, which the agent registers."""
        return self._toolset

    def __init__(self, *, key: Callable[[RunContext[Any]], Hashable] = conversation_key,
                 **options: Any) -> None:
        super().__init__(**options)
        self.key = key

    def __repr__(self) -> str:
        return f"TrimHistory(max_tokens={self.conversations.options.max_tokens})"

    def conversation(self, conversation_id: Hashable = None) -> Conversation[Any] | None:
        """The `Conversation` of a conversation id, if this process holds it."""
        return self.conversations.get(conversation_id)

    @classmethod
    def get_serialization_name(cls) -> str | None:
        return None  # made with callables (a counter, a pin): not for agent specs

    def _prompt(self, ctx: RunContext[Any], messages: Sequence[ModelMessage],
                system: str | None) -> list[ModelMessage]:
        result = self.conversations.prompt(named(self.key(ctx), "TrimHistory"), messages,
                                           system=system)
        self.last = result
        return list(result.messages)

    async def before_model_request(self, ctx: RunContext[Any],
                                   request_context: ModelRequestContext) -> ModelRequestContext:
        parts = request_context.model_request_parameters.instruction_parts or ()
        system = "\n\n".join(part.content for part in parts if part.content) or None
        # This list is the request's own: assigning it leaves the run's history whole.
        request_context.messages = self._prompt(ctx, request_context.messages, system)
        return request_context

    def __call__(self, ctx: RunContext[Any], messages: list[ModelMessage]) -> list[ModelMessage]:
        """The history processor: `messages` trimmed, the newest instructions counted."""
        system = next((message.instructions for message in reversed(messages)
                       if isinstance(message, ModelRequest) and message.instructions), None)
        return self._prompt(ctx, messages, system)
