"""`keep_or_rewrite` and `rewrite_gain`: the stateless cache policy, kept for one release.

`Conversation` is the one cache policy: it knows how fast the history grows and detects
edits by fingerprint, where these guess `calls_ahead` and compare sizes.
"""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any, Sequence, TypeVar

import quorvex_micro

from ._result import TrimResult

if TYPE_CHECKING:
    from quorvex_micro import ConsolidationResult

M = TypeVar("M")


def _deprecated(name: str) -> None:
    warnings.warn(f"{name} is deprecated and goes in the next release: a Conversation "
                  f"keeps the cached prompt and prices its rewrites itself",
                  DeprecationWarning, stacklevel=3)


def rewrite_gain(sent: TrimResult[Any], fresh: TrimResult[Any], *, calls_ahead: int = 8,
                 cache_read_ratio: float = 0.1,
                 cache_write_ratio: float = 1.25) -> ConsolidationResult:
    """`consolidation_gain` of sending `fresh` instead of extending `sent`, the prompt last
    sent and cached, by the messages appended since.

    The cached prefix is all of `sent`; rewriting purges what of it `fresh` no longer holds
    verbatim (the same input index, not elided).
    """
    _deprecated("rewrite_gain")
    return _gain(sent, fresh, calls_ahead, cache_read_ratio, cache_write_ratio)


def _gain(sent: TrimResult[Any], fresh: TrimResult[Any], calls_ahead: int,
          cache_read_ratio: float, cache_write_ratio: float) -> ConsolidationResult:
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
    _deprecated("keep_or_rewrite")
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
    gain = _gain(sent, fresh, calls_ahead, cache_read_ratio, cache_write_ratio)
    if gain["consolidate"]:
        return fresh
    return TrimResult(messages=(*sent.messages, *history[known:]),
                      kept=sent.kept + tuple(range(known, len(history))), elided=sent.elided,
                      tokens_after=tokens,
                      half_life=sent.half_life, over_budget=False, provider=fresh.provider,
                      max_tokens=fresh.max_tokens, _counts=fresh._counts,
                      message_tokens=sent.message_tokens + tuple(added),
                      clamped=sent.clamped, overhead_tokens=sent.overhead_tokens)
