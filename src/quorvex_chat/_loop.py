"""Thin helpers for each turn of an agent loop: screen, effort, and the cached prefix."""

from __future__ import annotations

import re
from dataclasses import dataclass
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, Literal, Mapping, Sequence, TypeVar

import quorvex_micro

from ._counting import TokenCounter, resolve_counter
from ._trim import TrimResult

if TYPE_CHECKING:  # only for type checkers: the SDKs are no dependency of this package
    from anthropic.types import ThinkingConfigParam
    from quorvex_micro import ConsolidationResult

M = TypeVar("M", bound=Mapping[str, Any])
Tier = Literal["off", "low", "medium", "high"]
ReasoningEffort = Literal["minimal", "low", "medium", "high"]

#: OpenAI `reasoning_effort` by effort tier. "minimal" is the GPT-5 family's lowest setting;
#: models that lack it (the o-series) take `efforts={"off": "low"}`.
REASONING_EFFORT: Mapping[Tier, ReasoningEffort] = MappingProxyType({
    "off": "minimal", "low": "low", "medium": "medium", "high": "high"})


#: What a flood notice keeps, in characters: the text before the flood, one copy of the
#: repeated phrase, and the text after it.
FLOOD_KEEPS = 300
_SAMPLE = 200_000  # characters read to find the phrase; a flood says what it is early
_WORDS = re.compile(r"\S+")


def _clip(text: str, *, tail: bool = False) -> str:
    if len(text) <= FLOOD_KEEPS:
        return text
    return "…" + text[-FLOOD_KEEPS:] if tail else text[:FLOOD_KEEPS] + "…"


def screen(text: str, *, limit: float = 0.5, window: int = 8,
           token_counter: TokenCounter | None = None) -> str:
    """`text` itself, or a short notice when `saturation_scan` finds it a flood.

    A payload whose `window`-word shingles repeat more than `limit` of the time is a flood
    (a forged log, a runaway retry loop, a jailbreak repeated to fill the context). The
    notice collapses the repetition and keeps what matters, each part at most
    `FLOOD_KEEPS` characters: what came before the flood, one copy of the repeated phrase
    with its count, and what came after it (the last line of a traceback, say). A flood
    notice is never elided further.
    """
    score = quorvex_micro.saturation_scan(text, window)
    if not score > limit:
        return text
    tokens = resolve_counter(token_counter)(text)
    sample = text[:_SAMPLE]
    spans = [match.span() for match in _WORDS.finditer(sample)]
    words = [sample[start:end] for start, end in spans]
    size = max(min(window, len(words) // 2), 1)
    first: dict[tuple[str, ...], int] = {}
    phrase = ""
    for index in range(len(words) - size + 1):
        shingle = tuple(words[index:index + size])
        if shingle in first:  # the first repeat: the phrase runs from its first copy to here
            start = first[shingle]
            phrase = sample[spans[start][0]:spans[index - 1][1]]
            break
        first[shingle] = index
    lines = []
    if phrase:
        begin, end = text.find(phrase), text.rfind(phrase) + len(phrase)
        repeats = text.count(phrase)
        before, after = text[:begin].strip(), text[end:].strip()
        lines.append(f"[flood collapsed: {tokens:,} tokens, saturation {score:.2f}]")
        if before:
            lines.append(_clip(before))
        lines.append(f"[repeated {repeats:,} times:] {_clip(phrase)}")
        if after:
            lines.append(_clip(after, tail=True))
    else:
        lines.append(f"[flood collapsed: {tokens:,} tokens, saturation {score:.2f}; its head "
                     f"and tail kept]")
        lines += [_clip(text), _clip(text, tail=True)]
    return "\n".join(lines)


@dataclass(frozen=True, slots=True)
class Effort:
    """`effort_gauge`'s verdict on a request, as request parameters."""

    tier: Tier
    score: float
    #: Reasoning tokens the tier is worth: 0, 1024, 4096 or 16384.
    budget_tokens: int
    #: OpenAI `reasoning_effort`.
    reasoning_effort: ReasoningEffort

    @property
    def thinking(self) -> ThinkingConfigParam:
        """Anthropic `thinking`: disabled for tier "off", else enabled with `budget_tokens`
        (the request's `max_tokens` must exceed it)."""
        if self.budget_tokens == 0:
            return {"type": "disabled"}
        return {"type": "enabled", "budget_tokens": self.budget_tokens}


def effort(text: str, *, efforts: Mapping[Tier, ReasoningEffort] | None = None) -> Effort:
    """Gauge a request with `effort_gauge` and map its tier to request parameters."""
    gauge = quorvex_micro.effort_gauge(text)
    table = {**REASONING_EFFORT, **efforts} if efforts else REASONING_EFFORT
    return Effort(gauge["tier"], gauge["score"], gauge["budget_tokens"], table[gauge["tier"]])


def rewrite_gain(sent: TrimResult[Any], fresh: TrimResult[Any], *, calls_ahead: int = 8,
                 cache_read_ratio: float = 0.1,
                 cache_write_ratio: float = 1.25) -> ConsolidationResult:
    """`consolidation_gain` of sending `fresh` instead of extending `sent`, the prompt last
    sent and cached, by the messages appended since.

    The cached prefix is all of `sent`; rewriting purges what of it `fresh` no longer holds
    verbatim (the same input index, not elided).
    """
    fresh_kept = set(fresh.kept).difference(fresh.elided)
    elided = set(sent.elided)
    purgeable = sum(tokens for index, tokens in zip(sent.kept, sent.message_tokens)
                    if index in elided or index not in fresh_kept)
    return quorvex_micro.consolidation_gain(sent.tokens_after, purgeable, calls_ahead,
                                            cache_read_ratio, cache_write_ratio)


def keep_or_rewrite(sent: TrimResult[M] | None, fresh: TrimResult[M], history: Sequence[M],
                    *, calls_ahead: int = 8, cache_read_ratio: float = 0.1,
                    cache_write_ratio: float = 1.25) -> TrimResult[M]:
    """The prompt to send next: `fresh` (= trim(history, ...)), or the previously sent
    prompt `sent` extended by the messages appended to `history` since, which the
    provider's prompt cache still holds.

    `sent` is kept while `rewrite_gain` says rewriting does not pay yet and the extended
    prompt stays within `fresh.max_tokens`. `history` must have grown only by appending
    since `sent` was made; when it has not (a message before then changed, went or moved,
    as the sizes of `fresh` and the messages `sent` kept whole show), `fresh` is returned.
    The extended prompt is valid as `sent` was: its open turn ended the history then, so
    what follows it follows it in `history` too.
    """
    if not isinstance(fresh, TrimResult):
        raise TypeError(f"fresh must be the TrimResult of trim(history, ...), not "
                        f"{type(fresh).__name__}")
    if sent is None:
        return fresh
    known = len(sent.input_tokens)
    if len(history) < known:
        raise ValueError("history is shorter than when `sent` was made")
    if fresh.input_tokens[:known] != sent.input_tokens or any(
            message is not history[index] and message != history[index]
            for message, index in zip(sent.messages, sent.kept) if index not in sent.elided):
        return fresh  # edited, not appended to: what `sent` holds is no longer the history
    added = fresh.input_tokens[known:]
    tokens = sent.tokens_after + sum(added)
    if fresh.max_tokens is not None and tokens > fresh.max_tokens:
        return fresh
    gain = rewrite_gain(sent, fresh, calls_ahead=calls_ahead, cache_read_ratio=cache_read_ratio,
                        cache_write_ratio=cache_write_ratio)
    if gain["consolidate"]:
        return fresh
    return TrimResult(messages=(*sent.messages, *history[known:]),
                      kept=sent.kept + tuple(range(known, len(history))), elided=sent.elided,
                      tokens_before=fresh.tokens_before, tokens_after=tokens,
                      half_life=sent.half_life, over_budget=False, provider=fresh.provider,
                      max_tokens=fresh.max_tokens, input_tokens=fresh.input_tokens,
                      message_tokens=sent.message_tokens + tuple(added),
                      clamped=sent.clamped, overhead_tokens=sent.overhead_tokens)
