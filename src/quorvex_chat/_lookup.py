"""Lines recalled for a request: when a person asks about something the prompt no longer
holds whole, the lines of the elided and dropped messages that the request points at ride
along in it.

A request names what it wants by the words around it ("the value of BACKOFF_CAP_MS in the
auth/tokens doc", "the branch I asked you to use"), not by the value itself. Each clause of
the request is read on its own: first the messages it points at, by the words they share
with it, rare words weighing more (a message's tool call counts as part of its result, so
"the run_script output for ledger/cursor from 05:54" finds its result); then, inside them,
the lines that carry its rarer words, a line holding a value the request does not already
quote first, and beside them the line of a value far outside its column. Words are weighed
among the requests still shown too, so the phrases a person repeats point nowhere. A request
in the first person favours what the person said, one addressed to the model what the model
said.

The lines are written into the request once, when it is new, and stay with it until it is
compacted away: the prompt before it never changes for them, so the cache keeps hitting.
"""

from __future__ import annotations

import re
from bisect import bisect_left
from collections import Counter, defaultdict
from collections.abc import Sequence
from decimal import Context, Decimal
from heapq import nlargest
from itertools import chain, compress, filterfalse, repeat
from operator import itemgetter, ne
from typing import TYPE_CHECKING

from ._elision import _result_texts, _shown, _text_of
from ._notable import _DIGIT, _FAR, _FIELD_LINES, LINE_CHARS, result_lines
from ._shapes import View, holds_results
from ._plan import DROPPED, KEPT, Plan
from ._render import copy_of

try:
    from . import _native
except ImportError:  # a tree without the build: the words come from the expressions
    _native = None  # type: ignore[assignment]

if TYPE_CHECKING:
    from ._elision import Eliser
    from ._reading import Reading

_TERM = re.compile(r"\w[\w./:-]*\w|\w")
_JOINS = re.compile(r"[/.:_-]")
_CLAUSE = re.compile(r"\(\d+\)|[;?!\n]|\.(?:\s|$)")
_SENTENCE = re.compile(r"(?<=[.!?])\s+")
_FIRST_PERSON = re.compile(r"\b(?:i|me|my|we|our|us)\b")
_SECOND_PERSON = re.compile(r"\b(?:you|your)\b")
# A number alone or with its unit (8751ms, 12%), not a digit inside a hash or an id.
_NUMBER = re.compile(r"(?<![\w.])-?\d{1,15}(?:\.\d{1,15})?(?=[A-Za-z%]*(?![\w.]))")

#: Lines taken for each clause of a request, and for the whole request at most.
CLAUSE_LINES = 3
REQUEST_LINES = 12
CLAUSES = 16  # the clauses of a request read, at most
FAR_LINES = 1  # lines with a value far outside its column, for each clause
#: The largest tool result read as asking, like a request: a ticket, a checklist's next item.
#: A longer one, or one of more lines, is an output (a listing, a log), whose words would
#: point everywhere.
ASKING_TOKENS = 400
ASKING_LINES = 4
#: What the recalled lines may take of the budget, at most.
SHARE = 0.04
#: What a message must share with a clause to be looked in: this share of the weight of the
#: clause's words that any message holds, and this much weight at all, about that of one
#: word that a message in twenty holds. "Which shard lagged most?" after a run of shard
#: reports points at none of them: every one says "shard". Both chosen on generated
#: training sessions.
MIN_COVER = 0.3
MIN_SCORE = 3.0
#: A request of which this share of words the new one repeats asks again, and holds no
#: answer: "remind me which incident ids came up so far", asked every few turns.
_ECHO = 0.8
#: Messages a clause is looked for in, the most pointed at first.
_DOCS = 8
#: How much a line's own words weigh beside its message's.
_LINE_WEIGHT = 0.3
#: Favour for what the person said when the clause is in the first person (and for the
#: model's words when it is addressed to the model), and for a line holding a value the
#: request does not quote. Chosen on generated training sessions.
_SPEAKER = 2.5
_VALUE = 2.5
#: The share of a line of an earlier request's words that the new request holds, from which
#: the line asks what the new one asks (the same wording, another topic or time) and holds
#: no answer. The person's statements share few words with a question about them ("the
#: limit I gave" against "the lease allocation limit is 955 KiB"). Chosen on training seeds
#: 0 to 19, where 0.3 to 0.45 keep about as many facts: their requests reuse one wording
#: from topic to topic, and the lines of earlier requests had taken the answers' places.
_ECHO_LINE = 0.4
#: The elided and dropped text read for a request, newest first, in characters per token
#: of the budget: a bound on the work of one request, far beyond what a prompt can hold.
_SPAN_CHARS = 64


_LN = Context(prec=34)
_logs: dict[float, float] = {}  # for all conversations: a few thousand ratios, repeated
_LOGS_KEPT = 1 << 13


def _log(x: float) -> float:
    """The natural log of `x`, the same to the last bit on every platform: `math.log` is the
    C library's, which rounds some ratios otherwise from one platform to another, and a
    weight that does can reorder what a request recalls. Decimal arithmetic is exact
    software, and its 34 digits round to the nearest float; it is slow, and the ratios
    weighed repeat."""
    found = _logs.get(x)
    if found is None:
        if len(_logs) >= _LOGS_KEPT:
            _logs.clear()
        found = _logs[x] = float(Decimal(x).ln(_LN))
    return found


def terms(text: str) -> set[str]:
    """The words of `text`, lowercased; a compound (a path, a version, a time, a snake_case
    name) also by its pieces, and a plural also as its singular, so that "the rolled-back
    shas" finds "sha": ..., "status": "rolled_back"."""
    if _native is not None:
        words = _native.terms(text)
        if words is not None:
            return words
    return _terms(text)


def _terms(text: str) -> set[str]:
    """`terms` as its expressions say: the reference of `_native.terms`, and the words of
    the texts it declines."""
    found: set[str] = set()
    for term in _TERM.findall(text.lower()):
        found.add(term)
        if _JOINS.search(term):
            found.update(piece for piece in _JOINS.split(term) if piece)
    found.update([term[:-1] for term in found
                  if len(term) > 3 and term[-1] == "s" and term[-2] != "s"])
    return found


def _pointed(holders: list[Sequence[int]], weights: list[float],
             cover: float) -> list[tuple[float, int]]:
    """(sum, message) for each message that `holders` (the messages holding each word)
    point at, the sum of the `weights` of the words it holds taken in their order, where it
    is below neither `cover` nor `MIN_SCORE`; in no particular order."""
    if _native is not None:
        found = _native.pointed(holders, weights, cover, MIN_SCORE)
        if found is not None:
            return found
    sums: dict[int, float] = {}
    for held, weight in zip(holders, weights):
        for index in held:
            sums[index] = sums.get(index, 0.0) + weight
    return [(score, index) for index, score in sums.items()
            if not (score < cover or score < MIN_SCORE)]


def _segments(lines: Sequence[str]) -> list[str]:
    """Lines as a recall shows them: a long one by its sentences, and a sentence still too
    long in pieces of whole words, so that no word goes unread."""
    out: list[str] = []
    for line in lines:
        if not line.strip():
            continue
        if len(line) <= LINE_CHARS:
            out.append(line)
            continue
        for sentence in _SENTENCE.split(line):
            # By position, not by what is left: slicing the rest off a megabyte-long line
            # at every piece would copy it over and over.
            start, end = 0, len(sentence)
            while end - start > LINE_CHARS:
                at = sentence.rfind(" ", start + LINE_CHARS // 2, start + LINE_CHARS)
                at = start + LINE_CHARS if at < 0 else at
                out.append(sentence[start:at])
                start = at
                while start < end and sentence[start].isspace():
                    start += 1
            if sentence[start:].strip():
                out.append(sentence[start:])
    return out


class _Doc:
    __slots__ = ("words", "lines", "chars", "speaker", "asks", "_far", "_line_words")

    def __init__(self, words: tuple[str, ...], lines: list[str], speaker: int,
                 asks: bool = False) -> None:
        self.words = words
        self.lines = lines
        self.chars = sum(map(len, lines))
        self.speaker = speaker  # 1: the person, 2: the model, 0: neither
        self.asks = asks  # a request, or a tool result that asks like one
        self._far: list[bool] | None = None
        self._line_words: list[set[str]] | None = None

    def line_words(self, held: dict[str, str]) -> list[set[str]]:
        """Each line's words, read when a clause first looks in this message, as the
        strings `held` holds (a line's words are among its message's)."""
        if self._line_words is None:
            self._line_words = [{held.get(term, term) for term in terms(line)}
                                for line in self.lines]
        return self._line_words

    def far(self) -> list[bool]:
        """Which lines hold a value far outside the others of its column."""
        if self._far is None:
            self._far = far_values(self.lines)
        return self._far


def asks_as_result(view: View, tokens: int) -> bool:
    """Whether a tool result of `tokens` asks like a request: short, a few lines of prose."""
    return holds_results(view) and _asking(_result_texts(view), tokens)


def _asking(texts: list[str], tokens: int) -> bool:
    """Whether result texts of `tokens` ask. Not data (JSON reads as one line however many
    rows it holds), nor a notice of ours (a flood collapsed): both open with a bracket."""
    if tokens > ASKING_TOKENS:
        return False
    text = "\n".join(texts).strip()
    return not text.startswith(("{", "[")) and \
        sum(1 for line in text.splitlines() if line.strip()) <= ASKING_LINES


def _echoes(found: set[str], quoted: set[str]) -> bool:
    """Whether a line of an earlier request with the words `found` mostly asks again what
    a request with the words `quoted` asks."""
    own = [term for term in found if len(term) >= 3 or term.isdigit()]
    return bool(own) and sum(term in quoted for term in own) >= _ECHO_LINE * len(own)


def far_values(lines: Sequence[str]) -> list[bool]:
    """The lines holding a number far from the median of its column by `_FAR` times the
    column's median absolute deviation. A column is a number's place among the numbers of
    lines with as many: a CSV or HTML table's cells, a log line's fields, a JSON row's
    values, however the line names them (or does not)."""
    if _native is not None and type(lines) is list:
        far = _native.far_values(lines, _FIELD_LINES, _FAR)
        if far is not None:
            return far
    return _far_values(lines)


def _far_values(lines: Sequence[str]) -> list[bool]:
    """`far_values` as its expression says: the reference of `_native.far_values`, and the
    values of the lines it declines."""
    columns: dict[tuple[int, int], list[tuple[int, float]]] = {}
    for index, line in enumerate(lines):
        numbers = _NUMBER.findall(line)
        for place, number in enumerate(numbers):
            columns.setdefault((len(numbers), place), []).append((index, float(number)))
    far = [False] * len(lines)
    for values in columns.values():
        if len(values) < _FIELD_LINES:  # as a field of notable lines needs
            continue
        ordered = sorted(value for _, value in values)
        middle = ordered[len(ordered) // 2]
        spread = sorted(abs(value - middle) for value in ordered)[len(ordered) // 2]
        for index, value in values:
            if abs(value - middle) > _FAR * spread and spread > 0:
                far[index] = True
    return far


class _Postings:
    """Which messages of the span hold each word. Kept from plan to plan: a new plan moves
    the span by the messages it newly elides or drops and by those it lets go of at the far
    end, so only theirs are posted. A message let go of keeps its entries until the lists
    hold half as many such as live ones, when they are made anew (so each entry left behind
    pays for two made again); a request reads a list without them."""

    def __init__(self) -> None:
        self._lists: defaultdict[str, list[int]] = defaultdict(list)
        self._posted: dict[int, int] = {}  # message: how many entries it has in the lists
        self._docs: dict[int, _Doc] = {}  # the span's messages
        self._stale = 0  # entries of messages not in the span
        self._live = 0  # the words of the span's messages
        self._read: dict[str, list[int]] = {}  # lists read for this span, without those

    def move_to(self, docs: dict[int, _Doc]) -> None:
        """The span is `docs` now. Only the messages that left it or came into it are read
        (those found by a filter): a new plan moves a span of thousands by a few dozen."""
        before, stale, live = self._docs, self._stale, self._live
        for index in filterfalse(docs.__contains__, before):
            stale += self._posted[index]
            live -= len(before[index].words)
        for index in filterfalse(before.__contains__, docs):
            doc = docs[index]
            posted = self._posted.get(index)
            if posted is None:
                self._post(index, doc)
            else:
                stale -= posted  # back in the span, with the words it had (its message's)
            live += len(doc.words)
        if 2 * stale > live:
            self._lists, self._posted, stale = defaultdict(list), {}, 0
            for index, doc in docs.items():
                self._post(index, doc)
        self._docs, self._stale, self._live = docs, stale, live
        self._read.clear()

    def _post(self, index: int, doc: _Doc) -> None:
        lists = self._lists
        for term in doc.words:  # a missing list made only for a word met anew
            lists[term].append(index)
        self._posted[index] = len(doc.words)

    def holding(self, term: str) -> Sequence[int]:
        """The messages of the span that hold `term`, in no particular order."""
        if not self._stale:
            return self._lists.get(term, ())
        found = self._read.get(term)
        if found is None:
            docs = self._docs
            found = self._read[term] = [*filter(docs.__contains__, self._lists.get(term, ()))]
        return found


class _Span:
    """The messages one plan no longer shows whole, within the span read, by their words:
    made once per plan, since between compactions only whole messages are appended."""

    def __init__(self, docs: dict[int, _Doc], plan: Plan, postings: _Postings,
                 asking: _Postings) -> None:
        self.plan = plan
        self.docs = docs
        postings.move_to(docs)
        self.postings = postings
        #: The requests among them, by word: where a new request finds those it repeats.
        asking.move_to({index: doc for index, doc in docs.items() if doc.speaker == 1})
        self.asking = asking
        #: The words of the requests the prompt still shows, read so far.
        self.shown: Counter[str] = Counter()
        self.shown_count = 0
        self.shown_upto = 0  # an index into `Lookup._requests`
        self.notices: _Shown | None = None


class Lookup:
    """The lines recalled for new requests of one conversation; each message read once."""

    def __init__(self) -> None:
        self._docs: dict[int, _Doc] = {}  # of the last span, but for requests
        #: Every request read, kept: a later request is weighed by those the prompt shows.
        #: Apart from the span's, so that letting go of a span costs what the span held.
        self._asked: dict[int, _Doc] = {}
        self._terms: dict[str, str] = {}  # every word the messages read hold, by itself
        self._terms_kept = 1 << 12  # how many words it held when last let go of
        self._span: _Span | None = None
        self._postings = _Postings()
        self._asking = _Postings()
        self._requests: list[int] = []  # the requests read so far
        self._scanned = 0

    def _doc(self, reading: Reading, index: int) -> _Doc:
        doc = self._docs.get(index) or self._asked.get(index)
        if doc is None:
            views, shape = reading.views, reading.shape
            view = views[index]
            texts = _result_texts(view) if holds_results(view) else None
            if texts is not None:  # a result by its lines, JSON by its rows
                lines = _segments([line for text in texts for line in result_lines(text)])
            else:
                lines = _segments(_shown(view).splitlines())
            words = terms("\n".join(lines))
            if texts is not None:
                call = next((views[earlier] for earlier in range(index - 1, -1, -1)
                             if shape.makes_calls(views[earlier])), None)
                if call is not None:
                    words |= terms(_shown(call))
            speaker = 1 if shape.is_request(view) else \
                2 if view.get("role") in ("assistant", "model") else 0
            asks = speaker == 1 or (texts is not None and reading.format.writes_any_part
                                    and _asking(texts, reading.sizes[index]))
            # As a tuple of the strings other messages' words are: thousands of messages hold
            # the same few keys and values, each a set of its own copies of them.
            held = self._terms.setdefault
            doc = _Doc(tuple([held(term, term) for term in words]), lines, speaker, asks)
            (self._asked if speaker == 1 else self._docs)[index] = doc
        return doc

    def _span_of(self, reading: Reading, plan: Plan, budget: int) -> _Span:
        """The messages not whole in the prompt, newest first, within the span read."""
        span = self._span
        if span is None or span.plan is not plan:
            docs: dict[int, _Doc] = {}
            left = _SPAN_CHARS * max(budget, 1)
            fates, read, asked = plan.fates, self._docs.get, self._asked.get
            for index in compress(range(len(fates) - 1, -1, -1),
                                  map(ne, reversed(fates), repeat(KEPT))):
                doc = docs[index] = read(index) or asked(index) or self._doc(reading, index)
                left -= doc.chars
                if left <= 0:
                    break
            span = self._span = _Span(docs, plan, self._postings, self._asking)
            # What left the span is read again if a later span takes it in: a long
            # conversation holds the words of one span, not of its whole history.
            self._docs = {index: doc for index, doc in self._docs.items() if index in docs}
            if len(self._terms) > 2 * self._terms_kept:  # let go of words no message holds
                self._terms = {term: term for doc in chain(self._docs.values(),
                                                           self._asked.values())
                               for term in doc.words}
                self._terms_kept = max(len(self._terms), 1 << 12)
        return span

    def lines_for(self, reading: Reading, plan: Plan, eliser: Eliser, request: int,
                  budget: int) -> list[str]:
        """The lines recalled for request `request`, most pointed at first within each
        clause; none that the prompt already shows."""
        view = reading.views[request]
        # What the person wrote, not results beside it; a result that asks (a ticket, the
        # next item of a checklist a tool hands out) by its own text.
        asked = _text_of(view.get("content")) if reading.shape.is_request(view) else \
            "\n".join(_result_texts(view))
        span = self._span_of(reading, plan, budget)
        docs = span.docs
        if not docs or not asked.strip():
            return []
        quoted = terms(asked)
        # An earlier request that this one mostly repeats asks again and holds no answer.
        repeated: Counter[int] = Counter()
        for term in quoted:
            repeated.update(span.asking.holding(term))
        echoes = {index for index, shared in repeated.items()
                  if shared >= _ECHO * len(docs[index].words)}
        echoed: Counter[str] = Counter()
        for index in echoes:
            echoed.update(docs[index].words)
        # Words are weighed among the requests still shown too: the phrases a person uses
        # every time ("for the PR description I need") point at no message in particular.
        shape, fates, views = reading.shape, plan.fates, reading.views
        for index in range(self._scanned, request):
            if shape.is_request(views[index]):
                self._requests.append(index)
        self._scanned = max(self._scanned, request)
        # A new span begins at the first request: their fates are read at C speed, and
        # the few the prompt still shows are read for their words.
        upto = bisect_left(self._requests, request, span.shown_upto)
        if upto > span.shown_upto:
            asked_before = self._requests[span.shown_upto:upto]
            span.shown_upto = upto
            marks = [fates[asked_before[0]]] if len(asked_before) == 1 else \
                itemgetter(*asked_before)(fates)
            for index in compress(asked_before, map(ne, marks, repeat(DROPPED))):
                if index not in docs:
                    span.shown.update(self._doc(reading, index).words)
                    span.shown_count += 1
        count = len(docs) - len(echoes) + span.shown_count
        postings = span.postings
        if span.notices is None:
            span.notices = _Shown(reading, plan, eliser)
        shown = span.notices
        # Which lines of an earlier ask this request repeats: by the request, not the clause.
        echoing: dict[int, list[bool]] = {}
        taken: dict[str, None] = {}
        clauses = 0
        for clause in _CLAUSE.split(asked):
            # Sorted: every sum below is taken in one order, so every process (and every
            # worker of a fleet) weighs alike to the last bit.
            wanted = sorted({term for term in terms(clause) if len(term) >= 3
                             or term.isdigit()})
            if not wanted:
                continue
            clauses += 1
            if clauses > CLAUSES or len(taken) == REQUEST_LINES:
                break  # a request pasted whole costs no more than one that asks
            held = {term: len(postings.holding(term)) - echoed[term] for term in wanted}
            weight = {term: _log((count + 1) / (held[term] + span.shown[term] + 0.5))
                      for term in wanted}
            lower = clause.lower()
            favoured = (1 if _FIRST_PERSON.search(lower) else 0,
                        2 if _SECOND_PERSON.search(lower) else 0)
            # Only words some message holds say where to look: the rest of the clause
            # ("could you remind me") weighs nothing.
            used = [term for term in wanted if held[term] > 0]
            whole = 0.0
            for term in used:
                whole += weight[term]
            scored = []
            for score, index in _pointed([postings.holding(term) for term in used],
                                         [weight[term] for term in used], MIN_COVER * whole):
                if index in echoes:
                    continue
                speaker = docs[index].speaker
                if speaker and speaker in favoured:
                    score *= _SPEAKER
                scored.append((score, -index, index))
            best: list[tuple[float, int, int, str]] = []
            outlying: list[str] = []
            for score, _, index in nlargest(_DOCS, scored):
                doc = docs[index]
                words = doc.line_words(self._terms)
                within = Counter(term for found in words for term in found.intersection(wanted))
                n = len(doc.lines)
                if doc.asks and index not in echoing:
                    echoing[index] = [_echoes(found, quoted) for found in words]
                echoed_lines = echoing.get(index)
                for order, (line, found) in enumerate(zip(doc.lines, words)):
                    common = sorted(found.intersection(wanted))
                    if not common or (echoed_lines is not None and echoed_lines[order]):
                        continue
                    own = 0.0
                    for term in common:
                        own += weight[term] * _log((n + 1) / (within[term] + 0.5))
                    value = score + _LINE_WEIGHT * own
                    if any(_DIGIT.search(term) for term in found - quoted):
                        value *= _VALUE
                    best.append((value, -index, -order, line))
                if not outlying:
                    outlying = [line for line, far in zip(doc.lines, doc.far()) if far]
            picked = 0
            for _, _, _, line in sorted(best, reverse=True):
                if picked == CLAUSE_LINES or len(taken) == REQUEST_LINES:
                    break
                if line in taken or shown.holds(line):
                    continue
                taken[line] = None
                picked += 1
            # A value far outside its column is what a question about a table or a log is
            # often after ("the latency that stood out"), in whatever words: the first such
            # line of the messages pointed at most, beside the lines the words found.
            for line in outlying[:FAR_LINES]:
                if len(taken) < REQUEST_LINES and line not in taken and not shown.holds(line):
                    taken[line] = None
        return list(taken)


class _Shown:
    """What the prompt already shows of the messages not whole in it: their notices."""

    def __init__(self, reading: Reading, plan: Plan, eliser: Eliser) -> None:
        self.reading, self.plan, self.eliser = reading, plan, eliser
        self._text: str | None = None

    def holds(self, line: str) -> bool:
        if self._text is None:
            reading, plan, eliser = self.reading, self.plan, self.eliser
            texts = [eliser.kept_note(gone, request < gone[0], reading.views)[0]
                     for request, gone in plan.notes.items()]
            texts += [_shown(copy_of(reading, plan, eliser, index)[0])
                      for index in plan.copies]
            self._text = "\n".join(texts)
        return line in self._text


def notice(lines: Sequence[str]) -> str:
    """The recalled lines as the request carries them."""
    noun = "line" if len(lines) == 1 else "lines"
    return "\n".join([f"[recalled for this request: {len(lines)} {noun} of earlier messages "
                      f"no longer shown whole]", *lines])

