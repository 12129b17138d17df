"""The lines of a tool result a later turn is most likely to need: the ones unlike the rest.

A tool result that is elided keeps, within a small allowance, its notable lines: a JSON row
with other keys than its neighbours, the one line with an identifier or a constant among
hundreds of similar lines, an error line. Repetition is the measure, as in `saturation_scan`:
a line whose shingles (pairs of neighbouring tokens, with every digit run read as one
digit) recur across the result says what its neighbours say; a line whose shingles are its
own does not.
"""

from __future__ import annotations

import hashlib
import json
import re
from collections import Counter
from typing import Callable

#: What an elided tool result keeps at most: this many notable lines, of at most this many
#: tokens together, each cut to `LINE_CHARS` characters. Chosen on the bundled sessions: 8
#: lines keep the planted identifiers, codes and error lines of their results while a notice
#: stays a tenth or less of a typical 1,000-token result.
NOTABLE_LINES = 8
NOTABLE_TOKENS = 160
LINE_CHARS = 200
#: A result this small is never elided: its notice would save next to nothing.
KEEP_WHOLE_TOKENS = 48

_TOKENS = re.compile(r"[A-Za-z_]+|\d+|[^\sA-Za-z_\d]")
_DIGITS = re.compile(r"\d+")
# Words that mark a line as an outcome worth keeping whatever its neighbours say.
_ALERT = re.compile(r"\b(?:error|fail|failed|failure|exception|traceback|fatal|denied|"
                    r"invalid|mismatch|timeout|timed out|panic|refused|not found|warn|"
                    r"warning|critical|abort|aborted|conflict|unauthori[sz]ed|forbidden|"
                    r"rejected|corrupt|flaky|rolled_back)\b", re.IGNORECASE)
# A token that names one thing: letters with digits (ORD-88213, sha 9f3e2a1c...), a long hex
# run, or a constant in capitals (MAX_RETRIES).
_NAMES = re.compile(r"\b(?=[\w-]*[A-Za-z])(?=[\w-]*\d)[\w-]{5,}\b|\b[0-9a-f]{8,}\b|"
                    r"\b[A-Z][A-Z0-9]*_[A-Z0-9_]+\b")


def result_lines(text: str) -> list[str]:
    """The lines of a result; JSON is read as its rows, so a one-line array has lines too."""
    stripped = text.strip()
    if stripped[:1] in ("[", "{") and len(stripped) > 2:
        try:
            value = json.loads(stripped)
        except ValueError:
            value = None
        rows = _json_rows(value)
        if rows:
            return rows
    return [line for line in text.splitlines() if line.strip()]


def _json_rows(value: object) -> list[str]:
    if isinstance(value, list):
        return [json.dumps(item, ensure_ascii=False) for item in value]
    if isinstance(value, dict):
        rows: list[str] = []
        for key, item in value.items():
            if isinstance(item, list) and item:
                rows += [f"{key}: {json.dumps(row, ensure_ascii=False)}" for row in item]
            else:
                rows.append(f"{key}: {json.dumps(item, ensure_ascii=False)}")
        return rows
    return []


def _shingles(line: str) -> set[tuple[str, str]]:
    tokens = _TOKENS.findall(_DIGITS.sub("0", line))
    if len(tokens) == 1:
        return {(tokens[0], "")}
    return set(zip(tokens, tokens[1:]))


def notable_lines(lines: list[str], count: Callable[[str], int], *,
                  max_lines: int = NOTABLE_LINES, max_tokens: int = NOTABLE_TOKENS) -> list[int]:
    """Indices, ascending, of the most notable lines that fit the allowance.

    A line's notability is the share of its shingles that no other line has, plus one for an
    alert word (error, failed, denied, ...) and a half for a name (an identifier with digits,
    a long hex run, a constant in capitals), each only while at most a quarter of the lines
    have one: where every row names a host, a name is no sign. Lines of notability 0 are
    never chosen; ties go to the earlier line. Linear in the lines.
    """
    shingles = [_shingles(line) for line in lines]
    seen: Counter[tuple[str, str]] = Counter()
    for own in shingles:
        seen.update(own)
    alerts = [_ALERT.search(line) is not None for line in lines]
    names = [_NAMES.search(line) is not None for line in lines]
    alert_bonus = 1.0 if 4 * sum(alerts) <= len(lines) else 0.0
    name_bonus = 0.5 if 4 * sum(names) <= len(lines) else 0.0
    scored: list[tuple[float, int]] = []
    for index, own in enumerate(shingles):
        unique = sum(1 for shingle in own if seen[shingle] == 1) / len(own) if own else 0.0
        score = unique + alert_bonus * alerts[index] + name_bonus * names[index]
        if score > 0.0:
            scored.append((-score, index))
    scored.sort()
    chosen: list[int] = []
    spent = 0
    for _, index in scored:
        if len(chosen) == max_lines:
            break
        cost = count(cut(lines[index]))
        if spent + cost > max_tokens:
            continue
        chosen.append(index)
        spent += cost
    return sorted(chosen)


def cut(line: str) -> str:
    """A line cut to `LINE_CHARS` characters, marked when cut."""
    return line if len(line) <= LINE_CHARS else line[:LINE_CHARS] + "…"


# Notices already made, by a digest of their text: a stateless trim of a growing history
# elides the same results call after call. Bounded, and holding no caller text.
_NOTICES: dict[tuple[bytes, int, Callable[[str], int]], str] = {}
_NOTICES_HELD = 4096


def elision_notice(text: str, tokens: int, count: Callable[[str], int],
                   counter: Callable[[str], int] | None = None) -> str:
    """The notice that replaces an elided tool result: its size and its notable lines.

    `counter` is the caller's own token counter behind `count`: notices are kept per
    counter, so a caller that passes a new one each time simply makes them again."""
    if counter is None:
        return _make_notice(text, tokens, count)
    key = (hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=16).digest(),
           tokens, counter)
    notice = _NOTICES.get(key)
    if notice is None:
        notice = _make_notice(text, tokens, count)
        if len(_NOTICES) >= _NOTICES_HELD:
            _NOTICES.clear()
        _NOTICES[key] = notice
    return notice


def _make_notice(text: str, tokens: int, count: Callable[[str], int]) -> str:
    lines = result_lines(text)
    keep = notable_lines(lines, count)
    if not keep:
        return f"[tool result elided: {tokens:,} tokens]"
    noun = "line" if len(keep) == 1 else "lines"
    return "\n".join([f"[tool result elided: {tokens:,} tokens; {len(keep)} notable {noun} "
                      f"of {len(lines):,} kept]", *(cut(lines[index]) for index in keep)])


def clamp_notice(text: str, tokens: int, budget: int, count: Callable[[str], int]) -> str:
    """A result too large for the budget, cut to its head, notable lines and tail.

    The newest result is what the model asked for, so more of it stays than of an elided
    one: as many head and tail lines as `budget` tokens allow, with the notable lines of the
    middle, and a notice of what was cut.
    """
    lines = result_lines(text)
    keep = set(notable_lines(lines, count, max_lines=4 * NOTABLE_LINES,
                             max_tokens=max(budget // 4, 0)))
    spent = sum(count(cut(lines[index])) for index in keep)
    head, tail = 0, len(lines)
    turn = 0
    while head < tail:
        index = head if turn % 2 == 0 else tail - 1
        cost = 0 if index in keep else count(cut(lines[index]))
        if spent + cost > budget:
            break
        spent += cost
        if turn % 2 == 0:
            head += 1
        else:
            tail -= 1
        turn += 1
    shown = sorted(set(range(head)) | set(range(tail, len(lines))) | keep)
    cut_lines = len(lines) - len(shown)
    out = [f"[tool result clamped to fit the prompt budget: {tokens:,} tokens, "
           f"{cut_lines:,} of {len(lines):,} lines cut; head, notable lines and tail kept]"]
    previous = -1
    for index in shown:
        if index != previous + 1:
            out.append(f"[… {index - previous - 1:,} lines cut …]")
        out.append(cut(lines[index]))
        previous = index
    if previous != len(lines) - 1:
        out.append(f"[… {len(lines) - 1 - previous:,} lines cut …]")
    return "\n".join(out)
