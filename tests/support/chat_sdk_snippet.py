"""Type-checked only (mypy --strict): trimmed histories go straight to the official SDKs."""
from __future__ import annotations

import anthropic
import openai
from anthropic.types import MessageParam
from openai.types.chat import ChatCompletionMessageParam
from openai.types.responses import ResponseInputItemParam

import quorvex_chat as qc


def ask_openai(client: openai.OpenAI, history: list[ChatCompletionMessageParam]) -> str | None:
    result = qc.trim(history, max_tokens=6000)
    effort = qc.effort("Compare the two rollout plans.")
    reply = client.chat.completions.create(model="gpt-5", messages=result.messages,
                                           reasoning_effort=effort.reasoning_effort)
    return reply.choices[0].message.content


def ask_anthropic(client: anthropic.Anthropic, conversation: qc.Conversation[MessageParam],
                  history: list[MessageParam]) -> int:
    result = conversation.prompt(history)
    effort = qc.effort("Compare the two rollout plans.")
    reply = client.messages.create(model="claude-sonnet-4-5", max_tokens=effort.budget_tokens + 2048,
                                   messages=result.messages, thinking=effort.thinking)
    return reply.usage.input_tokens


def ask_responses(client: openai.OpenAI, conversation: qc.Conversation[ResponseInputItemParam],
                  history: list[ResponseInputItemParam]) -> str:
    # The Responses API types `input` as a list, not any iterable: copy the tuple.
    result = conversation.prompt(history)
    return client.responses.create(model="gpt-5", input=list(result.messages)).output_text
