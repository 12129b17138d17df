"""`screen`: a tool output as it is, or, when it is a flood, a short notice of it."""

from __future__ import annotations

import re

import quorvex_micro

from ._counting import TokenCounter, resolve_counter
from ._measure import kernel_text

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
    notice is never elided further, and never longer than the flood: a short one stays.
    """
    score = quorvex_micro.saturation_scan(kernel_text(text), window)
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
    notice = "\n".join(lines)
    return notice if len(notice) < len(text) else text  # a short flood is cheaper as it is
