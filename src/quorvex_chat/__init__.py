"""Chat histories under a token budget for agent loops, on the quorvex_micro kernels.

`Conversation` gives each call of an agent loop its prompt under a token budget, cache-stable
between rare compactions; `trim` does one history at a time. Both keep an OpenAI Chat
Completions or Responses, Anthropic Messages, Gemini, LangChain or Pydantic AI history valid
for its provider; `screen` and `effort` are the other calls a loop makes each turn. The
caller's own messages in, the same objects out; inputs are never modified. The adapters
`quorvex_chat.langchain`, `quorvex_chat.pydantic_ai` and `quorvex_chat.openai_agents` wire it
into those frameworks' hooks.
"""

from ._breakpoints import cache_marks
from ._cache import keep_or_rewrite, rewrite_gain
from ._conversation import Conversation, HistoryEdited
from ._counting import Encoder, TokenCounter, count_tokens
from ._effort import REASONING_EFFORT, Effort, ReasoningEffort, Tier, effort
from ._formats import Provider
from ._options import Options
from ._recall import HANDLE_PATTERN
from ._result import TrimResult
from ._screen import screen
from ._store import MemoryStore, SQLiteStore
from ._tables import FLAGS, PART_TOKENS
from ._trim import trim

__all__ = [
    "Conversation", "HistoryEdited", "Options", "cache_marks", "count_tokens", "trim",
    "TrimResult", "FLAGS", "PART_TOKENS", "screen", "effort", "Effort", "REASONING_EFFORT",
    "rewrite_gain", "keep_or_rewrite", "Encoder", "TokenCounter", "Provider", "Tier",
    "ReasoningEffort", "HANDLE_PATTERN", "MemoryStore", "SQLiteStore",
]
