"""Elided copies of views: tool results become notices, made once per message and kept.

Under a budget a result is elided to a notice that keeps its notable lines, and the newest
results, when even they do not fit, are clamped to their head, notable lines and tail.
Without a budget (decay alone) every purged part of a surviving unit becomes a notice of its
size, so that what stays reads as the conversation it was.
"""

from __future__ import annotations

from typing import Any, Mapping

from ._measure import Meter
from ._notable import KEEP_WHOLE_TOKENS, clamp_notice, elision_notice
from ._shapes import View

FLOOD_NOTICE = "[flood collapsed: "  # how `screen` begins its notices

Copy = tuple[View, int]  # an elided view and its tokens


def _text_of(content: object) -> str:
    if isinstance(content, str):
        return content
    if isinstance(content, list):
        return "\n".join(str(part.get("text", "")) for part in content
                         if isinstance(part, Mapping) and part.get("type") == "text")
    return ""


def _is_result(part: object) -> bool:
    return isinstance(part, Mapping) and part.get("type") == "tool_result"


def _without_content(part: Mapping[str, Any], notice: str) -> dict[str, Any]:
    """A tool result part holding `notice`: its id (and is_error) kept, its cache mark not."""
    return {key: value for key, value in part.items()
            if key not in ("content", "cache_control")} | {"content": notice}


class Eliser:
    """Elided and clamped copies of one history's views, by the history's meter."""

    def __init__(self, meter: Meter) -> None:
        self.meter = meter
        self._elided: dict[int, Copy] = {}
        self._clamped: dict[tuple[int, int], Copy] = {}
        self._purged: dict[int, Copy] = {}

    def elide(self, index: int, view: View) -> Copy:
        """Its tool results as notices with their notable lines."""
        if index not in self._elided:
            self._elided[index] = self._framed(self._copy(view, None))
        return self._elided[index]

    def clamp(self, index: int, view: View, budget: int) -> Copy:
        """Its tool results cut to about `budget` tokens together."""
        key = (index, budget)
        if key not in self._clamped:
            self._clamped[key] = self._framed(self._copy(view, budget))
        return self._clamped[key]

    def _notice(self, content: object, budget: int | None) -> str | None:
        meter = self.meter
        tokens = meter.content_cost(content)
        if budget is None and tokens <= KEEP_WHOLE_TOKENS:
            return None
        text = _text_of(content) if not isinstance(content, str) else content
        if text.startswith(FLOOD_NOTICE):
            return None  # already as small as it should get
        if budget is None:
            return elision_notice(text, tokens, meter.counted, meter.identity)
        return clamp_notice(text, tokens, budget, meter.counted)

    def _copy(self, view: View, budget: int | None) -> Copy:
        meter = self.meter
        content = view.get("content")
        if view.get("role") == "tool":
            notice = self._notice(content, budget)
            if notice is None:
                return dict(view), meter.content_cost(content)
            return {**view, "content": notice}, meter.counted(notice)
        parts: list[Any] = []
        tokens = 0
        results = [part for part in content if _is_result(part)] \
            if isinstance(content, list) else []
        share = None if budget is None else max(budget // max(len(results), 1), 1)
        for part in content if isinstance(content, list) else ():
            if _is_result(part):
                notice = self._notice(part.get("content"), share)
                if notice is not None:
                    parts.append(_without_content(part, notice))
                    tokens += meter.counted(notice)
                    continue
            parts.append(part)
            tokens += meter.content_cost([part])
        return {**view, "content": parts}, tokens

    def purge(self, index: int, view: View) -> Copy:
        """Every payload as a notice of its size: tool results keep their ids and place, so
        the call they answer stays answered; other parts collapse into one text after them."""
        if index not in self._purged:
            self._purged[index] = self._framed(self._purged_copy(view))
        return self._purged[index]

    def _framed(self, copy: Copy) -> Copy:
        """A copy's tokens of content, with what it is billed beside them."""
        return copy[0], copy[1] + self.meter.framing(copy[0])

    def _purged_copy(self, view: View) -> Copy:
        meter = self.meter
        content = view.get("content")
        if not isinstance(content, list):
            what = "tool result elided" if view.get("role") in ("tool", "function") else "elided"
            notice = f"[{what}: {meter.content_cost(content):,} tokens]"
            return {**view, "content": notice}, meter.counted(notice)
        parts: list[dict[str, Any]] = []
        tokens, rest = 0, 0
        for part in content:
            if _is_result(part):
                notice = f"[tool result elided: {meter.content_cost(part.get('content')):,} tokens]"
                parts.append(_without_content(part, notice))
                tokens += meter.counted(notice)
            else:
                rest += meter.content_cost([part])
        if len(parts) < len(content):
            notice = f"[elided: {rest:,} tokens]"
            parts.append({"type": "text", "text": notice})
            tokens += meter.counted(notice)
        return {**view, "content": parts}, tokens
