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
from bisect import bisect_right
from collections import Counter
from itertools import accumulate
from typing import Callable, Hashable, NamedTuple

try:
    from . import _native
except ImportError:  # a tree without the build: the scores come from `_scored` alone
    _native = None  # type: ignore[assignment]

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
_DIGIT = re.compile(r"\d")
# Words that mark a line as an outcome worth keeping whatever its neighbours say.
_ALERT = re.compile(r"\b(?:error|fail|failed|failure|exception|traceback|fatal|denied|"
                    r"invalid|mismatch|timeout|timed out|panic|refused|not found|warn|"
                    r"warning|critical|abort|aborted|conflict|unauthori[sz]ed|forbidden|"
                    r"rejected|corrupt|flaky|rolled_back)\b", re.IGNORECASE)
# What every alert word begins with, lowered.
_ALERT_WORDS = ("error", "fail", "exception", "traceback", "fatal", "denied", "invalid",
                "mismatch", "timeout", "timed out", "panic", "refused", "not found", "warn",
                "critical", "abort", "conflict", "unauthori", "forbidden", "rejected",
                "corrupt", "flaky", "rolled_back")
# A token that names one thing: letters with digits (ORD-88213, sha 9f3e2a1c...), a long hex
# run, or a constant in capitals (MAX_RETRIES). Tool output is untrusted: the first form is
# tried only where a run of word characters and dashes begins, so a run such as "a-a-a-..."
# is read a few times in all, not once from each of its word boundaries. It finds what
# `\b(?=[\w-]*[A-Za-z])(?=[\w-]*\d)[\w-]{5,}\b` finds: a run holding an ASCII letter and a
# digit whose word characters span at least five characters.
_NAMES = re.compile(r"(?<![\w-])(?=[\w-]*[A-Za-z])(?=[\w-]*\d)-*\w[\w-]{3,}\w|"
                    r"\b[0-9a-f]{8,}\b|\b[A-Z][A-Z0-9]*_[A-Z0-9_]+\b")
_SURROGATE = re.compile("[\ud800-\udfff]")
# What str.splitlines splits at.
_BREAK = re.compile("\r\n|[\n\r\v\f\x1c\x1d\x1e\x85\u2028\u2029]")

#: A notice reads at most this many characters of a result: all of a smaller one, and of a
#: larger one `_WINDOWS` stretches spread from its head to its tail, plus up to
#: `_ALERT_LINES` lines with an alert word from between them. A 50 MB log costs the same
#: notice work as a 256 KB one, and the alert lines anywhere in it are still seen. The
#: bundled sessions' results are all far smaller.
_READ_CHARS = 1 << 18
_WINDOWS = 16
_ALERT_LINES = 32


def result_lines(text: str) -> list[str]:
    """The lines of a result; JSON is read as its rows, so a one-line array has lines too."""
    stripped = text.strip()
    if stripped[:1] in ("[", "{") and len(stripped) > 2:
        try:
            value = json.loads(stripped)
        except (ValueError, RecursionError):
            # Nesting beyond the interpreter's depth is as unreadable as broken JSON.
            value = None
        rows = _json_rows(value)
        if rows:
            return rows
    return [line for line in text.splitlines() if line.strip()]


def _json_rows(value: object) -> list[str]:
    try:
        rows = _rows_of(value)
    except RecursionError:
        return []
    # A "\ud800" escape decodes to a lone surrogate, which no UTF-8 request body can carry:
    # such a row is written back with the escape it came with. One search over all rows
    # finds whether any row needs it.
    if _SURROGATE.search("".join(rows)) is None:
        return rows
    return [row.encode("utf-8", "backslashreplace").decode("utf-8")
            if _SURROGATE.search(row) else row for row in rows]


def _row_writer() -> Callable[[object], str]:
    """What json.dumps(item, ensure_ascii=False) writes. Its C encoder is made once: the
    standard library makes one per call, and a long history's results hold rows by the
    hundred thousand. Rows come out of json.loads, so there is no cycle to look for."""
    encoder = json.JSONEncoder(ensure_ascii=False)
    make = getattr(json.encoder, "c_make_encoder", None)
    if make is None:
        return encoder.encode
    chunks = make(None, encoder.default, json.encoder.encode_basestring, None,
                  encoder.key_separator, encoder.item_separator, False, False, True)
    return lambda item: "".join(chunks(item, 0))


_ROW = _row_writer()


def _rows_of(value: object) -> list[str]:
    if isinstance(value, list):
        return list(map(_ROW, value))
    if isinstance(value, dict):
        rows: list[str] = []
        for key, item in value.items():
            if isinstance(item, list) and item:
                rows += [f"{key}: {_ROW(row)}" for row in item]
            else:
                rows.append(f"{key}: {_ROW(item)}")
        return rows
    return []


class _View(NamedTuple):
    """The lines a notice reads of a result, and how many it skips before each and after."""

    lines: list[str]
    skipped: list[int]


def _view(text: str) -> _View:
    if len(text) <= _READ_CHARS:
        every = result_lines(text)
        return _View(every, [0] * (len(every) + 1))
    width = _READ_CHARS // _WINDOWS
    step = (len(text) - width) / (_WINDOWS - 1)
    lowered = text.lower()
    # Positions in the lowered copy are the text's only while no character lowers to two.
    finder = _AlertFinder(lowered if len(lowered) == len(text) else "", text, width)
    spans: list[tuple[int, int]] = []
    previous = 0
    for window in range(_WINDOWS):
        begin = round(window * step)
        if spans:
            spans += finder.spans(previous, begin)
            previous = spans[-1][1]
        end = min(begin + width, len(text))
        start = _line_start(text, max(begin, previous), end)
        if start < end:
            spans.append((start, end))
            previous = end
    lines: list[str] = []
    skipped: list[int] = []
    previous, pending, cut_short = 0, 0, False
    for start, end in spans:
        read = [line for line in text[start:end].splitlines() if line.strip()]
        last = text.rfind("\n", start, end - 1)
        after = _BREAK.match(text, end)
        if after is not None:
            end = after.end()  # the break ends a line read, not one of the gap's
        whole = end == len(text) or _BREAK.match(text, end - 1) is not None
        if not whole and len(read) > 1 and last >= 0:
            read.pop()  # a line cut by the end of its stretch would look unlike the rest
            end, whole = last + 1, True
        # Lines not read are counted by their newlines, less the rest of a line read in part.
        pending += max(text.count("\n", previous, start) - cut_short, 0)
        if read:
            skipped += [pending] + [0] * (len(read) - 1)
            lines += read
            pending = 0
        previous, cut_short = end, not whole
    pending += max(text.count("\n", previous) - cut_short, 0)
    return _View(lines, skipped + [pending])


def _line_start(text: str, pos: int, end: int) -> int:
    if pos == 0:
        return 0
    found = _BREAK.search(text, pos - 1, end)
    return found.end() if found else end


class _AlertFinder:
    """Up to `_ALERT_LINES` lines with an alert word in the stretches a view does not read.

    Each word is looked for with str.find in the lowered text, a pass over it per word, and
    each line found is confirmed with `_ALERT`: scanning 50 MB with `_ALERT` itself would
    take most of a minute."""

    def __init__(self, lowered: str, text: str, width: int) -> None:
        self.lowered, self.text, self.width = lowered, text, width
        self.left = _ALERT_LINES if lowered else 0
        self.scanned = 0

    def spans(self, begin: int, end: int) -> list[tuple[int, int]]:
        # Stretches that read no line leave a gap that the next call would look through again.
        begin, self.scanned = max(begin, self.scanned), max(end, self.scanned)
        starts: set[int] = set()
        for word in _ALERT_WORDS if self.left else ():
            at, tries = self.lowered.find(word, begin, end), 4 * _ALERT_LINES
            while at >= 0 and tries and len(starts) < 4 * _ALERT_LINES:
                starts.add(max(self.text.rfind("\n", begin, at) + 1, begin))
                at, tries = self.lowered.find(word, at + len(word), end), tries - 1
        spans: list[tuple[int, int]] = []
        for start in sorted(starts):
            stop = self.text.find("\n", start, end)
            stop = min(end if stop < 0 else stop, start + self.width)
            if self.left and (not spans or start >= spans[-1][1]) \
                    and _ALERT.search(self.text, start, stop) is not None:
                spans.append((start, stop))
                self.left -= 1
        return spans


# A line read as words, numbers and single other characters, for the field each number is
# a value of: the word just before it ("lag_ms": 4210, latency=9123ms), or, in a table
# without names, its place among the line's numbers. One pass over the line.
# A number is not one where letters after it run into a digit: 4272bc0841 is an id, 12ms a
# value.
_PIECES = re.compile(r"([A-Za-z_][\w-]*)|((?<![\w.])-?\d{1,15}(?:\.\d{1,15})?"
                     r"(?![\d.]|[A-Za-z_]*\d))|\S")
# A name given a literal value once: a constant defined in a file, a setting in a config.
_DEFINES = re.compile(r"\s*(?:(?:export|const|final|static|let|var|def|public|private)\s+)*"
                      r"[A-Za-z_][\w.]*\s*(?::\s*[\w\[\], ]{1,30})?\s*(?:=|:)\s*"
                      r"(?:-?\d|\"|')")
_FIELD_LINES = 5  # a field needs this many values before one of them can stand out
_FAR = 8.0  # how many typical deviations from the field's median make a value stand out


def _median(values: list[float]) -> float:
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def _outliers(lines: list[str]) -> list[bool]:
    """The lines holding a number far outside the other values of its field: far from the
    field's median by `_FAR` times its median absolute deviation (any other value, where
    the field holds one value on most lines). A field is the values after a word's n-th
    time in a line (a column of cells), or where too few lines hold one, after the word
    at any time (a short table's cells read together), or else a line's n-th number."""
    fields: dict[tuple[str, int], list[tuple[int, float]]] = {}
    for index, line in enumerate(lines):
        if not _DIGIT.search(line, 0, LINE_CHARS * 4):
            continue  # no value, no field
        word, gap, place = "", 0, 0
        met: Counter[str] = Counter()
        # A group that took no part reads as "", and neither group matches empty.
        for name, number in _PIECES.findall(line, 0, LINE_CHARS * 4):
            if name:
                word, gap = name, 0
                met[name] += 1
            elif number:
                key = (word, met[word]) if word and gap <= 3 else ("", place)
                fields.setdefault(key, []).append((index, float(number)))
                word, place = "", place + 1
            else:
                gap += 1
    groups: list[list[tuple[int, float]]] = []
    pooled: dict[str, list[tuple[int, float]]] = {}
    for (word, _), values in fields.items():
        if word and len(values) < _FIELD_LINES:
            pooled.setdefault(word, []).extend(values)
        else:
            groups.append(values)
    far = [False] * len(lines)
    for values in groups + list(pooled.values()):
        if len(values) < _FIELD_LINES:
            continue
        numbers = [value for _, value in values]
        middle = _median(numbers)
        spread = _median([abs(value - middle) for value in numbers])
        for index, value in values:
            if abs(value - middle) > _FAR * spread and (spread > 0 or value != middle):
                far[index] = True
    return far


def _holding(pattern: re.Pattern[str], lines: list[str]) -> list[bool]:
    """Which lines `pattern` finds something in, by one search per line that holds a match
    over the lines joined: far cheaper than a search of each line where few match. No
    pattern searched so matches a line break, and each sees one at a line's edges as it
    sees the edge of a line searched alone, so the answer is the same."""
    joined = "\n".join(lines)
    ends = list(accumulate(len(line) + 1 for line in lines))  # where the next line starts
    found = [False] * len(lines)
    at = 0
    while True:
        match = pattern.search(joined, at)
        if match is None:
            return found
        index = bisect_right(ends, match.start())
        found[index] = True
        at = ends[index]


def _shingles(line: str) -> set[tuple[str, str]]:
    tokens = _TOKENS.findall(_DIGITS.sub("0", line))
    if len(tokens) == 1:
        return {(tokens[0], "")}
    return set(zip(tokens, tokens[1:]))


def _scored(lines: list[str]) -> list[tuple[float, int]]:
    """(score, index) of the lines of notability above 0, most notable first, then by
    index: the reference of `_native.line_scores`, and the scores of the lines it declines
    (any with a character outside ASCII)."""
    shingles = [_shingles(line) for line in lines]
    seen: Counter[tuple[str, str]] = Counter()
    for own in shingles:
        seen.update(own)
    alerts = _holding(_ALERT, lines)
    names = _holding(_NAMES, lines)
    far = _outliers(lines)
    defines = [_DEFINES.match(line[:LINE_CHARS * 4]) is not None for line in lines]
    alert_bonus = 1.0 if 4 * sum(alerts) <= len(lines) else 0.0
    name_bonus = 0.5 if 4 * sum(names) <= len(lines) else 0.0
    far_bonus = 1.0 if 4 * sum(far) <= len(lines) else 0.0
    define_bonus = 0.75 if 4 * sum(defines) <= len(lines) else 0.0
    scored: list[tuple[float, int]] = []
    for index, own in enumerate(shingles):
        unique = sum(1 for shingle in own if seen[shingle] == 1) / len(own) if own else 0.0
        score = (unique + alert_bonus * alerts[index] + name_bonus * names[index]
                 + far_bonus * far[index] + define_bonus * defines[index])
        if score > 0.0:
            scored.append((-score, index))
    scored.sort()
    return [(-negative, index) for negative, index in scored]


def ranked_lines(lines: list[str], counts: Callable[[list[str]], list[int]], *,
                 max_lines: int = NOTABLE_LINES, max_tokens: int = NOTABLE_TOKENS
                 ) -> list[tuple[float, int, int]]:
    """(score, index, tokens) of the most notable lines that fit the allowance, most notable
    first, each with the tokens of its line as a notice shows it.

    A line's notability is the share of its shingles that no other line has, plus one for an
    alert word (error, failed, denied, ...), one for a number far outside the other values
    of its field, three quarters for a name given a literal value (a constant defined), and
    a half for a name (an identifier with digits, a long hex run, a constant in capitals),
    each only while at most a quarter of the lines have one: where every row names a host,
    a name is no sign. Lines of notability 0 are
    never chosen; ties go to the earlier line. Linear in the lines.
    """
    # The native scores are `_scored`'s to the bit; it declines lines that are not ASCII.
    scored = _native.line_scores(lines) if _native is not None and isinstance(lines, list) \
        else None
    if scored is None:
        scored = _scored(lines)
    chosen: list[tuple[float, int, int]] = []
    spent = 0
    at = 0
    while at < len(scored) and len(chosen) < max_lines:
        # Counted together, as many as could all still be chosen: the very lines a walk
        # counting one at a time would reach.
        batch = scored[at:at + max_lines - len(chosen)]
        at += len(batch)
        for (score, index), cost in zip(batch, counts([cut(lines[index])
                                                       for _, index in batch])):
            if spent + cost <= max_tokens:
                chosen.append((score, index, cost))
                spent += cost
    return chosen


def notable_lines(lines: list[str], counts: Callable[[list[str]], list[int]], *,
                  max_lines: int = NOTABLE_LINES, max_tokens: int = NOTABLE_TOKENS) -> list[int]:
    """Indices, ascending, of the most notable lines that fit the allowance (see
    `ranked_lines`)."""
    return sorted(index for _, index, _ in ranked_lines(lines, counts, max_lines=max_lines,
                                                        max_tokens=max_tokens))


class Notable(NamedTuple):
    """A result as its notice reads it: the lines read, the lines skipped before each (and
    after the last), and `ranked_lines` of them at a notice's allowance."""

    lines: list[str]
    skipped: list[int]
    ranked: list[tuple[float, int, int]]


def read_notable(text: str, counts: Callable[[list[str]], list[int]]) -> Notable:
    lines, skipped = _view(text)
    return Notable(lines, skipped, ranked_lines(lines, counts))


def line_score(line: str) -> float:
    """A line's notability on its own (a message's line in a digest): one, and the bonuses of
    an alert word, a name given a literal value and a name."""
    return (1.0 + (_ALERT.search(line) is not None)
            + 0.75 * (_DEFINES.match(line[:LINE_CHARS * 4]) is not None)
            + 0.5 * (_NAMES.search(line[:LINE_CHARS * 4]) is not None))


def cut(line: str) -> str:
    """A line cut to `LINE_CHARS` characters, marked when cut."""
    return line if len(line) <= LINE_CHARS else line[:LINE_CHARS] + "…"


# Notices already made, by a digest of their text: a stateless trim of a growing history
# elides the same results call after call. Bounded, and holding no caller text.
_NOTICES: dict[tuple[bytes, int, Hashable], str] = {}
_NOTICES_HELD = 4096


def elision_notice(text: str, tokens: int, counts: Callable[[list[str]], list[int]],
                   counter: Hashable | None = None,
                   read: Callable[[], Notable] | None = None) -> str:
    """The notice that replaces an elided tool result: its size and its notable lines.

    `counter` is the caller's own token counter behind `counts`: notices are kept per
    counter, so a caller that passes a new one each time simply makes them again. `read`
    gives `read_notable(text, counts)` where the caller keeps it already."""
    if read is None:
        read = lambda: read_notable(text, counts)  # noqa: E731
    if counter is None:
        return _make_notice(read(), tokens)
    key = (hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=16).digest(),
           tokens, counter)
    notice = _NOTICES.get(key)
    if notice is None:
        notice = _make_notice(read(), tokens)
        if len(_NOTICES) >= _NOTICES_HELD:
            _NOTICES.clear()
        _NOTICES[key] = notice
    return notice


def _make_notice(read: Notable, tokens: int) -> str:
    lines, skipped = read.lines, read.skipped
    keep = sorted(index for _, index, _ in read.ranked)
    if not keep:
        return f"[tool result elided: {tokens:,} tokens]"
    noun = "line" if len(keep) == 1 else "lines"
    return "\n".join([f"[tool result elided: {tokens:,} tokens; {len(keep)} notable {noun} "
                      f"of {len(lines) + sum(skipped):,} kept]",
                      *(cut(lines[index]) for index in keep)])


def clamp_notice(text: str, tokens: int, budget: int,
                 counts: Callable[[list[str]], list[int]]) -> str:
    """A result too large for the budget, cut to its head, notable lines and tail.

    The newest result is what the model asked for, so more of it stays than of an elided
    one: as many head and tail lines as `budget` tokens allow, with the notable lines of the
    middle, and a notice of what was cut.
    """
    lines, skipped = _view(text)
    ranked = ranked_lines(lines, counts, max_lines=4 * NOTABLE_LINES,
                          max_tokens=max(budget // 4, 0))
    keep = {index for _, index, _ in ranked}
    spent = sum(cost for _, _, cost in ranked)
    # Then the head and the tail, a line of each in turn while the budget lasts: turn t
    # takes line t // 2 or, on odd turns, the (t // 2)-th from the end.
    size = len(lines)
    turn = counted = tokens_counted = 0
    while turn < size:
        # Counted together: as many lines as what is left takes at their mean cost so far.
        ahead = 8 if not counted else \
            max(1, (budget - spent) * counted // max(tokens_counted, 1) + 1)
        turns = [t // 2 if t % 2 == 0 else size - 1 - t // 2
                 for t in range(turn, min(size, turn + ahead))]
        wanted = [index for index in turns if index not in keep]
        costs = dict(zip(wanted, counts([cut(lines[index]) for index in wanted])))
        counted += len(wanted)
        tokens_counted += sum(costs.values())
        for index in turns:
            cost = costs.get(index, 0)
            if spent + cost > budget:
                break
            spent += cost
            turn += 1
        else:
            continue
        break
    head, tail = (turn + 1) // 2, size - turn // 2
    shown = sorted(set(range(head)) | set(range(tail, len(lines))) | keep)
    # Lines not read count as cut: before[i] is how many precede line i unread.
    before = [0]
    for gap in skipped:
        before.append(before[-1] + gap)
    total = len(lines) + before[-1]
    out = [f"[tool result clamped to fit the prompt budget: {tokens:,} tokens, "
           f"{total - len(shown):,} of {total:,} lines cut; head, notable lines and tail kept]"]
    previous = -1
    for index in shown:
        missing = index - previous - 1 + before[index + 1] - before[previous + 1]
        if missing:
            out.append(f"[… {missing:,} lines cut …]")
        out.append(cut(lines[index]))
        previous = index
    missing = len(lines) - 1 - previous + before[-1] - before[previous + 1]
    if missing:
        out.append(f"[… {missing:,} lines cut …]")
    return "\n".join(out)
