"""`trim`: one history, one prompt, by the one-pass kernel and the provider's rules."""

from __future__ import annotations

from typing import Any, Callable, Iterable, Mapping, Sequence, TypeVar

from ._counting import TokenCounter
from ._elision import Eliser
from ._formats import Provider
from ._options import Options
from ._plan import compact, decay, kept_whole
from ._reading import read
from ._render import render
from ._result import TrimResult

M = TypeVar("M")

#: The decay law's threshold when none is given.
SAFE_THRESHOLD = 0.35


def trim(
    messages: Sequence[M],
    *,
    max_tokens: int | None = None,
    token_counter: TokenCounter | None = None,
    half_life: float = 6.0,
    safe_threshold: float | None = None,
    provider: Provider | None = None,
    stable_prefix: int | None = None,
    flags: Mapping[str, int] | None = None,
    part_tokens: Mapping[str, int] | None = None,
    system: object = None,
    tools: object = None,
    pin: Callable[[Any], bool] | None = None,
    exclude_tools: Iterable[str] = (),
    keep_recent_results: int = 0,
) -> TrimResult[M]:
    """Trim a chat history for its provider; the result is valid for it.

    `messages` is in one of the formats this package reads (OpenAI Chat Completions or
    Responses items, Anthropic Messages, Gemini contents, LangChain or Pydantic AI
    messages; SDK objects wherever a dict goes), or in `provider` when given. Each message
    is read for the formats it can be in, and the history is in the one they share: user
    and assistant text alone reads as Anthropic, a system, developer or tool role as OpenAI
    Chat Completions; ValueError names the first message that matches no format, or whose
    format differs from the messages before it. Output
    messages are the caller's own objects, and elided ones copies of the same type.

    **With `max_tokens`, the budget comes first.** While the history (with `system` and
    `tools`, which the provider bills beside the messages) fits `max_tokens`, it is returned
    unchanged. Otherwise it is compacted until it fits, in the order of the one-pass kernel's
    survival score, weight x 2^(-age / half_life): tool results and thinking first, oldest
    first, then old conversation. A tool result is elided before its call goes: it becomes
    a notice of its size that keeps its notable lines (the lines unlike the rest of it: an
    error, an identifier among similar rows). Whole units go: a call with its results, a
    request with everything it led to. Never touched: the stable prefix, durable messages
    (SYSTEM/FACT), the person's last request and the newest call round with its results.
    When those alone exceed the budget, the newest results are clamped to their head,
    notable lines and tail (`clamped`); when even that does not fit, `over_budget` is set.
    Callers pin what must stay whole: messages for which `pin(message)` is true, the results
    of the tools named in `exclude_tools`, and the newest `keep_recent_results` messages that
    hold tool results.

    **Without `max_tokens`**, every message decays by its age in messages and survives while
    2 ** (-age / half_life) * weight >= safe_threshold (default 0.35; weights by `FLAGS`:
    entries in `flags` replace the defaults), and on top of the kernel:

    - the stable prefix and the open turn (the last request and all after it) are never
      touched;
    - messages go in units that keep calls with their results. OpenAI: an assistant message
      with tool_calls and the tool messages after it; any other message alone. Anthropic: an
      assistant message and the user message(s) up to the next one, plus the messages before
      the first assistant message, which always stay. A unit survives whole when any of its
      messages survives; in a surviving unit every other purged message (a tool result,
      typically) is replaced by a notice under its own tool call id.

    The stable prefix is `stable_prefix` messages, by default the provider's: OpenAI's
    (and Responses' and LangChain's) leading system/developer messages, none for Anthropic,
    Gemini and agent frameworks, whose system prompt lives outside the history and is
    passed as `system`. A `cache_control` mark is a cache hint, never protection
    (`cache_marks` places Anthropic's breakpoints on a prompt). Tokens are counted by
    `token_counter` (a callable text -> int, or an object with a tiktoken-style `encode`;
    default `count_tokens`, which counts high; a counter of messages, such as `len` in
    LangChain's sense, is refused); non-text parts cost `PART_TOKENS` (entries in
    `part_tokens` replace the defaults) and encrypted reasoning a token per 4 characters.
    The budget is the prompt as billed: every message also costs 4 tokens of framing, a
    `name` 1 more and each tool call 4 more.
    The input list and its messages are never modified. An option the chosen mode would
    ignore is refused: `safe_threshold` with `max_tokens`, and `system`, `tools`, `pin`,
    `exclude_tools` or `keep_recent_results` without it.
    """
    options = Options(max_tokens=max_tokens, token_counter=token_counter, half_life=half_life,
                      safe_threshold=safe_threshold, provider=provider,
                      stable_prefix=stable_prefix, flags=flags, part_tokens=part_tokens,
                      system=system, tools=tools, pin=pin, exclude_tools=exclude_tools,
                      keep_recent_results=keep_recent_results).for_trim()
    return trim_with(messages, options)


def trim_with(messages: Sequence[M], options: Options) -> TrimResult[M]:
    """`trim` by options already made."""
    reading = read(messages, options, lazy=True)
    eliser = Eliser(options.meter)
    if options.max_tokens is None:
        threshold = SAFE_THRESHOLD if options.safe_threshold is None else options.safe_threshold
        plan = decay(reading, eliser, threshold)
    elif reading.fits(options.max_tokens):
        plan = kept_whole(reading)  # budget first: a history that fits is the prompt
    else:
        plan = compact(reading, eliser, target=options.max_tokens, budget=options.max_tokens)
    return render(reading, plan, messages, eliser, stable=reading.stable_prefix())
