"""`effort`: the reasoning a request deserves, as the providers' request parameters."""

from __future__ import annotations

from dataclasses import dataclass
from types import MappingProxyType
from typing import TYPE_CHECKING, Literal, Mapping

import quorvex_micro

from ._measure import kernel_text

if TYPE_CHECKING:  # only for type checkers: the SDKs are no dependency of this package
    from anthropic.types import ThinkingConfigParam

Tier = Literal["off", "low", "medium", "high"]
ReasoningEffort = Literal["minimal", "low", "medium", "high"]

#: OpenAI `reasoning_effort` by effort tier. "minimal" is the GPT-5 family's lowest setting;
#: models that lack it (the o-series) take `efforts={"off": "low"}`.
REASONING_EFFORT: Mapping[Tier, ReasoningEffort] = MappingProxyType({
    "off": "minimal", "low": "low", "medium": "medium", "high": "high"})


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
    gauge = quorvex_micro.effort_gauge(kernel_text(text))
    table = {**REASONING_EFFORT, **efforts} if efforts else REASONING_EFFORT
    return Effort(gauge["tier"], gauge["score"], gauge["budget_tokens"], table[gauge["tier"]])
