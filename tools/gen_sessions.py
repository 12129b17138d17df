"""Writes many seeded agent sessions with planted facts, for `python -m quorvex_chat.replay`.

    python tools/gen_sessions.py --seeds 0-19 --out /tmp/sessions
    python tools/gen_sessions.py --seeds 100-139,200 --out /tmp/held_out --messages 80

The defaults of the library are chosen on some seeds and reported on others, so a session
varies far more than the four bundled ones: every seed draws its own kind of agent (ops,
coding, support, research or an autonomous run), its length (60-400 messages unless
`--messages` forces one), its mix of tool output kinds (JSON rows, logs, source files, CSV,
HTML, markdown, stack traces, search results; 150-4,000 tokens each) and its facts.

A fact is a string that a later model call needs, planted the way such strings arrive: a
row id (a row with other keys or values among similar rows), a numeric outlier (one value
of a field far outside the others), an error code in an error line, a value the user typed,
a constant defined in a file, or a value the assistant stated in its own answer. Each is
asked for by a later request (a tool result in an autonomous run) that describes it without
quoting it, 2 to 300 messages after it appears (log-uniform), some of them twice. Every fact
string occurs in exactly one message of its session, which the generator checks.

For each seed it writes `sNNNN.json` (Chat Completions messages) and `sNNNN.facts.txt`
(`fact<TAB>index` a line, one line per need: the first model call after message `index`
needs the fact), and `index.json` describes every session written: its kind, length, mix
(the drawn weights of the output kinds), outputs (how many results of each kind it has),
and per fact its kind, where it was planted ("in": an output kind, "user" or "assistant"),
the message it appears in, those after which it is needed and the horizons between.
Seeded: the same seed always writes the same files.
"""

from __future__ import annotations

import argparse
import json
import math
import random
import statistics
import sys
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Sequence

Message = dict[str, object]
Draw = Callable[[random.Random], str]

SESSION_KINDS = ("ops", "coding", "support", "research", "autonomous")
OUTPUT_KINDS = ("json_rows", "log", "source", "csv", "html", "markdown", "stack_trace",
                "search_results")
FACT_KINDS = ("row_id", "outlier", "error_line", "user_value", "file_constant",
              "assistant_value")
#: The tool outputs a fact kind can arrive in; user and assistant values arrive in prose.
HOSTS: dict[str, tuple[str, ...]] = {
    "row_id": ("json_rows", "csv", "html", "markdown", "search_results"),
    "outlier": ("json_rows", "csv", "log", "html"),
    "error_line": ("log", "stack_trace"),
    "file_constant": ("source", "markdown")}
MIN_LENGTH, MAX_LENGTH = 60, 400
MIN_HORIZON, MAX_HORIZON = 2, 300
MIN_TOKENS, MAX_TOKENS = 150, 4000
CHARS_PER_TOKEN = 4
#: No fact is planted this close to the end, so that every planted fact can still be asked
#: for at least MIN_HORIZON messages later; from CLOSING messages before the end on, every
#: pending need is asked at once.
PLANT_CUTOFF, CLOSING = 18, 12
#: Messages a turn may take beyond the one in which a need fell due.
TURN_SLACK = 10
#: Stands for a fact while the session is built. Values are drawn only once every other
#: message is written, each one absent from all of them, so that a short number such as an
#: outlier's "9123" cannot also turn up inside some unrelated id or timestamp.
OPEN, CLOSE = "\u27e6", "\u27e7"

#: The output kinds' base weights by session kind; each seed scales them at random (and may
#: drop a kind) so that no two sessions share a mix.
BASE_MIX: dict[str, tuple[float, ...]] = {
    #            json  log  src  csv  html   md  trace search
    "ops":        (3.0, 3.0, 0.6, 1.2, 0.8, 0.8, 1.5, 0.6),
    "coding":     (0.6, 2.0, 3.5, 0.5, 0.4, 1.0, 1.8, 0.8),
    "support":    (3.0, 0.8, 0.3, 1.0, 1.5, 1.5, 0.3, 2.0),
    "research":   (1.0, 0.4, 0.6, 2.5, 2.5, 2.0, 0.3, 3.0),
    "autonomous": (1.5, 3.0, 2.5, 1.0, 0.3, 0.6, 2.0, 0.6)}
#: The fact kinds' base weights by session kind, in FACT_KINDS order.
BASE_FACTS: dict[str, tuple[float, ...]] = {
    "ops":        (2.0, 2.0, 2.0, 0.8, 0.8, 1.0),
    "coding":     (0.8, 1.0, 2.0, 0.8, 2.5, 1.0),
    "support":    (2.0, 0.8, 0.5, 2.5, 0.4, 1.5),
    "research":   (2.0, 2.0, 0.3, 1.2, 0.8, 1.5),
    "autonomous": (1.5, 1.5, 2.5, 0.6, 2.0, 1.0)}

SUBJECTS: dict[str, tuple[str, ...]] = {
    "ops": ("checkout", "payments", "inventory", "search", "auth", "ledger", "cart",
            "notifications", "pricing", "gateway"),
    "coding": ("ledger/rollover", "ledger/cursor", "billing/invoice", "api/session",
               "sync/retry", "store/compaction", "auth/tokens", "export/csv_writer"),
    "support": ("order delivery", "refund", "account login", "subscription renewal",
                "damaged item", "gift card", "address change", "invoice copy"),
    "research": ("battery recycling", "heat pump adoption", "urban cycling safety",
                 "sleep and memory", "coral bleaching", "wage growth", "river microplastics",
                 "solar curtailment"),
    "autonomous": ("billing", "scheduler", "ingest", "web-frontend", "reports", "mailer")}
REGIONS = ("eu-west-1", "us-east-2", "ap-south-1", "eu-central-1", "us-west-2")
PEOPLE = ("Priya", "Tomasz", "Amara", "Jonas", "Mei", "Diego", "Oluwaseun", "Hanna", "Ravi")
ITEMS = ("rows", "events", "records", "messages", "jobs", "keys", "spans", "entries")
WORDS = ("cursor", "batch", "replica", "snapshot", "lease", "window", "shard", "token",
         "queue", "budget", "ledger", "cache", "span", "index", "quota", "frame", "backoff")


def log_uniform(rng: random.Random, low: float, high: float) -> int:
    return round(math.exp(rng.uniform(math.log(low), math.log(max(high, low)))))


def weighted(rng: random.Random, weights: dict[str, float]) -> str:
    return rng.choices(list(weights), [weights[name] for name in weights])[0]


def digits(count: int) -> Draw:
    return lambda rng: str(rng.randint(10 ** (count - 1), 10 ** count - 1))


def between(low: int, high: int, prefix: str = "") -> Draw:
    return lambda rng: prefix + str(rng.randint(low, high))


def prefixed(prefix: str, count: int) -> Draw:
    return lambda rng: prefix + str(rng.randint(10 ** (count - 1), 10 ** count - 1))


def hexes(count: int, prefix: str = "") -> Draw:
    return lambda rng: prefix + f"{rng.getrandbits(4 * count):0{count}x}"


@dataclass
class Fact:
    kind: str
    token: str
    #: A candidate value; drawn again while it would occur anywhere else in the session.
    draw: Draw
    #: Planned: where it should appear and how many messages later each need comes.
    target: int
    horizons: list[int]
    #: The noun phrase a request uses to ask for it, never the value itself.
    desc: str = ""
    host: str = ""
    appears: int = -1
    needs: list[int] = field(default_factory=list)
    text: str = ""


@dataclass(frozen=True)
class Table:
    """Similar rows, as JSON, CSV, HTML or markdown: the rows a request later points into."""

    noun: str                 # what a row is: "host", "job", "order"
    columns: tuple[str, ...]
    row: Callable[[random.Random, int], list[object]]
    key: int                  # the column of each row's id
    draw_key: Draw            # an id in the same format as the others
    measure: int              # the numeric column an outlier lands in
    draw_outlier: Draw        # far above every other value of that column
    state: int                # the column whose odd value marks the row asked about
    odd_state: str
    #: For a JSON row with other keys: the extra key holding the fact, its draw, the rest.
    extra: tuple[str, Draw, dict[str, object]]


def table_for(kind: str, subject: str) -> Table:
    short = subject.split("/")[-1].replace(" ", "-")[:10]
    if kind == "ops":
        return Table(
            "host", ("host", "region", "p99_ms", "errors", "deploy", "state"),
            lambda rng, n: [f"{short}-{n:03d}", rng.choice(REGIONS), rng.randint(20, 140),
                            rng.randint(0, 3), f"d-{rng.getrandbits(24):06x}", "ok"],
            4, hexes(6, "d-"), 2, digits(4), 5, "degraded",
            ("incident", prefixed("INC-", 5), {"severity": "sev2", "owner": "db-team"}))
    if kind == "autonomous":
        return Table(
            "job", ("job", "stage", "duration_s", "attempts", "runner", "status"),
            lambda rng, n: [f"job-{rng.getrandbits(28):07x}", rng.choice(
                ("lint", "unit", "integration", "package")), rng.randint(20, 140),
                rng.randint(1, 2), f"runner-{rng.randint(1, 40)}", "passed"],
            0, hexes(7, "job-"), 2, digits(4), 5, "failed",
            ("quarantine", prefixed("QT-", 5), {"reason": "flaky", "since": "2026-11-30"}))
    if kind == "coding":
        return Table(
            "benchmark", ("case", "iterations", "mean_us", "alloc_kb", "commit", "verdict"),
            lambda rng, n: [f"bench_{short}_{n}", rng.choice((1000, 5000, 20000)),
                            rng.randint(20, 140), rng.randint(1, 64),
                            f"{rng.getrandbits(40):010x}", "within"],
            4, hexes(10), 2, digits(5), 5, "regressed",
            ("issue", prefixed("GH-", 5), {"flaky": True, "owner": f"team-{short[:4]}"}))
    if kind == "support":
        return Table(
            "order", ("order", "placed", "items", "total_eur", "carrier", "status"),
            lambda rng, n: [f"ORD-{rng.randint(10000, 99999)}-{rng.choice('ABCDEFGHJK')}"
                            f"{rng.choice('LMNPQRSTUVWXYZ')}", f"2026-10-{1 + n % 28:02d}",
                            rng.randint(1, 6), rng.randint(20, 140),
                            rng.choice(("DHL", "UPS", "La Poste", "GLS")), "delivered"],
            0, lambda rng: (f"ORD-{rng.randint(10000, 99999)}-{rng.choice('ABCDEFGHJK')}"
                            f"{rng.choice('LMNPQRSTUVWXYZ')}"),
            3, digits(4), 5, "lost_in_transit",
            ("claim", prefixed("CLM-", 6), {"reason": "damaged", "agent": "returns-desk"}))
    return Table(
        "study", ("study", "year", "sample_n", "effect_pct", "source", "status"),
        lambda rng, n: [f"S{rng.randint(1000, 9999)}", rng.randint(2012, 2025),
                        rng.randint(20, 140), rng.randint(1, 40),
                        rng.choice(("journal", "preprint", "agency", "survey")), "included"],
        0, prefixed("S", 4), 2, digits(5), 5, "retracted",
        ("erratum", prefixed("ERR-", 5), {"issued_by": "publisher"}))


# --- tool outputs -------------------------------------------------------------------------

class Output:
    """One tool result being written: its text grows line by line to a drawn size."""

    def __init__(self, tokens: int) -> None:
        self.limit, self.size = tokens * CHARS_PER_TOKEN, 0
        self.lines: list[str] = []

    def full(self) -> bool:
        return self.size >= self.limit

    def add(self, line: str) -> None:
        self.lines.append(line)
        self.size += len(line) + 1

    def text(self) -> str:
        return "\n".join(self.lines)

    def rows(self, per_row: int) -> int:
        """How many rows of about `per_row` characters fill the rest."""
        return max(3, (self.limit - self.size) // per_row)


def plant_row(rng: random.Random, count: int) -> int:
    """The row a fact goes in: anywhere but the very first or last, as in real results."""
    return rng.randrange(1, count - 1) if count > 2 else 0


def cells(s: Session, table: Table, count: int, plant: Fact | None, allow_extra: bool
          ) -> tuple[list[list[object]], dict[int, Message]]:
    """`count` rows of `table`, the planted fact in one of them (an id, or an outlier in the
    measured column); JSON rows with other keys instead are returned separately."""
    rng = s.rng
    rows = [table.row(rng, n) for n in range(count)]
    odd: dict[int, Message] = {}
    if plant is None:
        return rows, odd
    at = plant_row(rng, count)
    where = s.where
    if plant.kind == "outlier":
        rows[at][table.measure] = plant.token
        plant.draw = table.draw_outlier
        plant.desc = f"the {table.columns[table.measure]} value that stood out in {where}"
    elif allow_extra and rng.random() < 0.5:
        name, draw, rest = table.extra
        odd[at] = {table.columns[0]: rows[at][0], name: plant.token, **rest}
        plant.draw = draw
        plant.desc = f"the {name} attached to one {table.noun} in {where}"
    else:
        rows[at][table.state] = table.odd_state
        rows[at][table.key] = plant.token
        plant.draw = table.draw_key
        plant.desc = (f"the {table.columns[table.key]} of the {table.noun} marked "
                      f"{table.odd_state} in {where}")
    return rows, odd


def json_value(value: object, bare: bool) -> str:
    # A planted number is written bare like its neighbours, not as a quoted string.
    if isinstance(value, str) and value.startswith(OPEN) and bare:
        return value
    return json.dumps(value, ensure_ascii=False)


def json_rows(s: Session, out: Output, plant: Fact | None) -> str | None:
    table = table_for(s.kind, s.subject)
    rows, odd = cells(s, table, out.rows(115), plant, True)
    wrapped = s.rng.random() < 0.4  # as an API page, or the bare array a query returns
    out.add(f'{{"count": {len(rows)}, "rows": [' if wrapped else "[")
    for n, row in enumerate(rows):
        if n in odd:
            body = ", ".join(f"{json.dumps(k)}: {json_value(v, False)}" for k, v in odd[n].items())
        else:
            body = ", ".join(f"{json.dumps(column)}: {json_value(value, index == table.measure)}"
                             for index, (column, value) in enumerate(zip(table.columns, row)))
        out.add("  {" + body + "}" + ("," if n < len(rows) - 1 else ""))
    out.add("]}" if wrapped else "]")
    return None


def csv_rows(s: Session, out: Output, plant: Fact | None) -> str | None:
    table = table_for(s.kind, s.subject)
    rows, _ = cells(s, table, out.rows(42), plant, False)
    out.add(",".join(table.columns))
    for row in rows:
        out.add(",".join(str(value) for value in row))
    return None


def html_page(s: Session, out: Output, plant: Fact | None) -> str | None:
    table = table_for(s.kind, s.subject)
    out.add("<!doctype html>")
    out.add(f"<html lang=\"en\"><head><meta charset=\"utf-8\"><title>{s.subject} - "
            f"{table.noun} overview</title>")
    out.add('<link rel="stylesheet" href="/static/app.css"></head><body>')
    out.add('<nav class="top"><a href="/">Home</a> | <a href="/reports">Reports</a> | '
            '<a href="/help">Help</a></nav>')
    out.add(f"<h1>{s.subject.capitalize()}: {table.noun}s</h1>")
    for _ in range(s.rng.randint(1, 3)):
        out.add(f"<p>{s.prose(2)}</p>")
    out.add('<table class="grid"><thead><tr>' + "".join(f"<th>{c}</th>" for c in table.columns)
            + "</tr></thead><tbody>")
    rows, _ = cells(s, table, out.rows(150), plant, False)
    for row in rows:
        out.add(f'<tr class="row-{row[table.state]}">' + "".join(f"<td>{v}</td>" for v in row)
                + "</tr>")
    out.add("</tbody></table>")
    out.add(f'<footer><p>Generated {s.stamp()} by report-svc</p></footer></body></html>')
    return None


def markdown_doc(s: Session, out: Output, plant: Fact | None) -> str | None:
    rng = s.rng
    out.add(f"# {s.subject.capitalize()} {rng.choice(('runbook', 'notes', 'overview', 'guide'))}")
    out.add("")
    out.add(s.prose(rng.randint(1, 3)))
    titles = ["Background", "Current state", "Known issues", "Procedure", "Settings", "History",
              "Open questions", "References"]
    # A short doc has a section or two; the table takes about half of the rest.
    sections = max(1, min(len(titles), out.limit // 1500))
    constant_at = rng.randrange(sections) if plant and plant.kind == "file_constant" else -1
    table_at = rng.randrange(sections)
    for n, title in enumerate(rng.sample(titles, sections)):
        out.add("")
        out.add(f"## {title}")
        out.add("")
        out.add(s.prose(rng.randint(1, 4)))
        for _ in range(rng.randint(1, 4)):
            out.add(f"- {s.prose(1)}")
        if n == constant_at and plant is not None:
            out.add("")
            out.add("Settings in effect (from the deployed config):")
            out.add("```toml")
            for line in config_lines(s, plant, "toml", rng.randint(4, 12), "the deployed config "
                                     f"quoted in the {s.subject} doc"):
                out.add(line)
            out.add("```")
        if n == table_at:
            table = table_for(s.kind, s.subject)
            out.add("")
            out.add("| " + " | ".join(table.columns) + " |")
            out.add("|" + "---|" * len(table.columns))
            hosted = plant if plant is not None and plant.kind == "row_id" else None
            rows, _ = cells(s, table, max(3, out.rows(70) // 2), hosted, False)
            for row in rows:
                out.add("| " + " | ".join(str(v) for v in row) + " |")
    while not out.full():
        out.add("")
        out.add(f"### {rng.choice(WORDS).capitalize()} {rng.choice(WORDS)}")
        out.add(s.prose(rng.randint(2, 6)))
    return None


CONSTANTS: tuple[tuple[str, int, int], ...] = (
    ("RETRY_BUDGET_MS", 1000, 9900), ("MAX_INFLIGHT_REQUESTS", 8, 96),
    ("timeout_seconds", 5, 90), ("LEASE_RENEW_MS", 1500, 9000), ("batch_size", 16, 512),
    ("MAX_ATTEMPTS", 2, 9), ("cache_ttl_seconds", 30, 900), ("POOL_SIZE", 4, 64),
    ("flush_interval_ms", 1000, 9000), ("QUEUE_HIGH_WATER", 2000, 60000),
    ("max_body_kb", 64, 4096), ("BACKOFF_CAP_MS", 2000, 30000))


def config_lines(s: Session, plant: Fact | None, style: str, count: int, where: str
                 ) -> list[str]:
    """`name = value` lines (or `name: value`, or Go/TS constants), one of them planted."""
    rng = s.rng
    names = rng.sample(CONSTANTS, min(count, len(CONSTANTS)))
    # Planted only where the range leaves values enough to keep the fact unique.
    at = rng.choice([n for n, (_, low, high) in enumerate(names) if high - low >= 80])
    sep = ": " if style == "yaml" else " = "
    lead = {"go": "\t", "ts": "export const ", "py": "", "toml": "", "yaml": ""}[style]
    tail = ";" if style == "ts" else ""
    lines = []
    for n, (name, low, high) in enumerate(names):
        if style == "go":
            name = "".join(part.capitalize() if i else part.lower()
                           for i, part in enumerate(name.split("_")))
        elif style in ("py", "ts"):
            name = name.upper()
        value = f"{name}{sep}{rng.randint(low, high)}"
        if plant is not None and n == at:
            value = plant.token
            whole = high < 1000 or rng.random() < 0.5
            # A short value alone would be ambiguous, so the fact is the whole assignment.
            plant.draw = between(low, high, f"{name}{sep}" if whole else "")
            if not whole:
                value = f"{name}{sep}{plant.token}"
            plant.desc = f"the value of {name} in {where}"
        comment = {"py": "  # ", "toml": "  # ", "yaml": "  # ", "go": "  // ", "ts": "  // "}
        why = rng.choice(("measured on the busiest shard", "below the provider's limit",
                          "raised after the outage review", "keeps retries under the SLO",
                          "matches the replica lag", "tuned for the nightly batch"))
        lines.append(f"{lead}{value}{tail}{comment[style]}{why}")
    return lines


def source_file(s: Session, out: Output, plant: Fact | None) -> str | None:
    rng = s.rng
    style = rng.choice(("py", "py", "go", "ts", "yaml", "toml"))
    stem = s.subject.replace(" ", "_").replace("-", "_")
    path = {"py": f"{stem}.py", "go": f"{stem}.go", "ts": f"{stem}.ts",
            "yaml": f"deploy/{stem.split('/')[-1]}.yaml",
            "toml": f"config/{stem.split('/')[-1]}.toml"}[style]
    hosted = plant if plant is not None and plant.kind == "file_constant" else None
    comment = "#" if style in ("py", "yaml", "toml") else "//"
    out.add(f"{comment} {path}: {s.prose(1)}")
    if style == "go":
        out.add(f"package {stem.split('/')[0]}")
        out.add("")
        out.add('import (\n\t"context"\n\t"time"\n)')
        out.add("")
        out.add("const (")
    elif style == "py":
        out.add("from __future__ import annotations")
        out.add("")
        out.add("import logging\nimport time")
        out.add("")
    elif style == "ts":
        out.add('import { setTimeout as sleep } from "node:timers/promises";')
    constants = config_lines(s, hosted, style, rng.randint(4, 10), path)
    for line in constants:
        out.add(line)
    if style == "go":
        out.add(")")
    n = 0
    while not out.full():
        n += 1
        word, other = rng.choice(WORDS), rng.choice(WORDS)
        out.add("")
        if style in ("yaml", "toml"):
            out.add(f"{comment} {s.prose(1)}")
            head = f"[{word}_{n}]" if style == "toml" else f"{word}_{n}:"
            out.add(head)
            for _ in range(rng.randint(3, 7)):
                key = f"{rng.choice(WORDS)}_{rng.choice(('limit', 'enabled', 'path', 'mode'))}"
                out.add(f"{'  ' if style == 'yaml' else ''}{key}"
                        f"{': ' if style == 'yaml' else ' = '}{rng.randint(1, 99)}")
        elif style == "py":
            out.add("")
            out.add(f"def {word}_{other}_{n}(batch: list[dict[str, int]], cursor: int) -> int:")
            out.add(f'    """{s.prose(1)}"""')
            for _ in range(rng.randint(3, 9)):
                if rng.random() < 0.3:
                    out.add(f"    # {s.prose(1)}")
                out.add(f"    cursor = max(cursor, batch[{rng.randint(0, 9)}].get('{word}', "
                        f"{rng.randint(1, 99)}))")
            out.add("    return cursor")
        else:
            sig = (f"func {word.capitalize()}{other.capitalize()}{n}(ctx context.Context, "
                   f"cursor int) (int, error) {{" if style == "go" else
                   f"export async function {word}{other.capitalize()}{n}(cursor: number): "
                   f"Promise<number> {{")
            out.add(f"// {s.prose(1)}")
            out.add(sig)
            for _ in range(rng.randint(3, 8)):
                out.add(f"\tcursor += {rng.randint(1, 99)} // {rng.choice(WORDS)} step"
                        if style == "go" else f"  cursor += {rng.randint(1, 99)};")
            out.add("\treturn cursor, nil\n}" if style == "go" else "  return cursor;\n}")
    return path


#: (what a request calls it, the error line, its code in the same format as in real logs)
ERRORS: tuple[tuple[str, str, Draw], ...] = (
    ("the code of the upstream reset", "upstream reset by peer, code {}, retry budget "
     "exhausted", prefixed("E-CONN-", 4)),
    ("the SQLSTATE of the serialization failure", "could not serialize access due to "
     "concurrent update (SQLSTATE {})",
     lambda rng: f"40{rng.choice('PQRSTUVWXYZ')}{rng.randint(10, 99)}"),
    ("the error code of the failed TLS handshake", "TLS handshake with the token service "
     "failed: {}", prefixed("ERR_TLS_", 4)),
    ("the ORA code of the exhausted shared pool", "shared pool exhausted while allocating "
     "the cursor: {}", prefixed("ORA-0", 4)),
    ("the decline reason of the rejected capture", "payment provider rejected the capture, "
     "reason {}", prefixed("PSP-DECLINE-", 3)),
    ("the offset of the checksum mismatch", "segment checksum mismatch at offset 0x{}",
     hexes(8)))


def error_text(s: Session, plant: Fact, where: str) -> str:
    name, template, plant.draw = s.rng.choice(ERRORS)
    plant.desc = f"{name} in {where}"
    return template.format(plant.token)


def log_lines(s: Session, out: Output, plant: Fact | None) -> str | None:
    rng = s.rng
    where = s.where
    count = max(4, out.limit // 85)
    at = plant_row(rng, count)
    service = s.subject.split("/")[-1].replace(" ", "-")
    for n in range(count):
        worker = f"{service}[worker-{rng.randint(1, 9)}]"
        here = plant if n == at else None
        roll = rng.random()
        if here is not None and here.kind == "error_line":
            out.add(f"{s.stamp()} ERROR {worker} {error_text(s, here, where)}")
        elif here is None and roll < 0.08:
            out.add(f"{s.stamp()} WARN  {worker} slow {rng.choice(WORDS)} refresh, "
                    f"retrying ({rng.randint(1, 3)}/3)")
        elif here is None and roll < 0.14:
            out.add(f"{s.stamp()} DEBUG {worker} {rng.choice(WORDS)} "
                    f"lag={rng.randint(0, 40)} pending={rng.randint(0, 300)}")
        else:
            # The outlier's line is an ordinary batch line but for its time.
            latency: object = rng.randint(20, 140)
            if here is not None:
                latency, here.draw = here.token, digits(4)
                here.desc = f"the batch time that stood out in {where}, in ms"
            out.add(f"{s.stamp()} INFO  {worker} handled batch of {rng.randint(10, 500)} "
                    f"{rng.choice(ITEMS)} in {latency}ms")
    return None


def stack_trace(s: Session, out: Output, plant: Fact | None) -> str | None:
    rng = s.rng
    where = s.where
    stem = s.subject.split("/")[-1].replace(" ", "_").replace("-", "_")
    chained = 1 + out.limit // 2400
    planted = rng.randrange(chained)
    for n in range(chained):
        if n:
            out.add("")
            out.add("During handling of the above exception, another exception occurred:")
            out.add("")
        out.add("Traceback (most recent call last):")
        for _ in range(max(3, out.limit // chained // 120)):
            module = f"{rng.choice(('app', 'lib', 'core', 'vendor'))}/{rng.choice(WORDS)}.py"
            out.add(f'  File "/srv/{stem}/{module}", line {rng.randint(12, 900)}, in '
                    f"{rng.choice(WORDS)}_{rng.choice(('load', 'apply', 'flush', 'run'))}")
            out.add(f"    {rng.choice(WORDS)} = self._{rng.choice(WORDS)}({rng.choice(WORDS)}, "
                    f"timeout={rng.randint(1, 30)})")
        if plant is not None and n == planted:
            out.add(f"{stem.capitalize()}Error: {error_text(s, plant, where)}")
        else:
            out.add(f"{rng.choice(('TimeoutError', 'KeyError', 'ValueError'))}: "
                    f"{rng.choice(WORDS)} {rng.choice(('not ready', 'missing', 'stale'))}")
    return None


def search_results(s: Session, out: Output, plant: Fact | None) -> str | None:
    rng = s.rng
    sites = ("docs.example.org", "kb.helpdesk.example.com", "blog.example.net",
             "forum.example.io", "arxiv.example.org", "wiki.example.com")
    count = max(3, out.limit // 260)
    at = plant_row(rng, count)
    out.add(f'{count} results for "{s.subject}"')
    for n in range(count):
        # Titles alike but for their topic, which is how a request later points at one.
        topic = f"{rng.choice(WORDS)} {rng.choice(WORDS)}" + rng.choice((
            "", "", f" after the {rng.choice(PEOPLE)} migration", f" in {rng.choice(REGIONS)}",
            f" since {rng.randint(2015, 2026)}"))
        ref: object = f"KB{rng.randint(10000, 99999)}"
        if plant is not None and n == at:
            ref, plant.draw = plant.token, prefixed("KB", 5)
            plant.desc = f"the article id of the result about {topic} in {s.where}"
        out.add("")
        out.add(f"{n + 1}. {s.subject.capitalize()}: {topic} ({ref})")
        out.add(f"   https://{rng.choice(sites)}/{s.subject.replace(' ', '-')}/{ref}")
        out.add(f"   {s.prose(2)}")
    return None


#: Each writes one kind of output into an Output, planting the fact it is given (of a kind
#: HOSTS lets it hold), and returns the path of the file it read, if it read one.
WRITERS: dict[str, Callable[[Session, Output, Fact | None], str | None]] = {
    "json_rows": json_rows, "log": log_lines, "source": source_file, "csv": csv_rows,
    "html": html_page, "markdown": markdown_doc, "stack_trace": stack_trace,
    "search_results": search_results}
TOOLS: dict[str, tuple[str, ...]] = {
    #             json_rows       log              source       csv
    "ops":        ("get_metrics", "search_logs", "read_file", "run_query",
                   "fetch_dashboard", "read_runbook", "get_error_event", "search_incidents"),
    "coding":     ("query_ci", "run_tests", "read_file", "run_benchmark",
                   "fetch_url", "read_file", "run_script", "web_search"),
    "support":    ("lookup_orders", "shipment_events", "read_file", "export_report",
                   "fetch_help_page", "read_macro", "get_payment_error", "search_kb"),
    "research":   ("query_api", "crawl_log", "read_file", "load_dataset",
                   "fetch_url", "read_paper", "run_notebook", "web_search"),
    "autonomous": ("list_jobs", "ci_log", "read_file", "export_metrics",
                   "fetch_url", "read_file", "run_tests", "search_code")}


#: (sentence, value, how a later request refers to it) for values said in prose: {v} is the
#: value, {s} the subject of the turn, {w} a word of context.
Said = tuple[str, Draw, str]
STATED: dict[str, tuple[Said, ...]] = {
    "ops": (("I've opened change request {v} to roll back the {s} canary.",
             prefixed("CHG-", 6), "the change request number you opened for the {s} canary"),
            ("By my estimate {v} {s} requests were dropped while the {w} was stuck.",
             lambda r: f"{r.randint(10, 99)},{r.randint(100, 999)}",
             "your estimate of the {s} requests dropped while the {w} was stuck"),
            ("I silenced the {s} {w} alert until incident {v} is closed.",
             prefixed("SIL-", 5), "the id of the silence you set on the {s} {w} alert")),
    "coding": (("I pushed the {w} fix for {s} as commit {v}.", hexes(12),
                "the commit hash of your {w} fix for {s}"),
               ("I opened pull request !{v} for the {s} {w} change.", digits(5),
                "the number of the pull request you opened for the {s} {w} change"),
               ("The {w} benchmark for {s} now takes {v} ms.",
                lambda r: f"{r.randint(1, 9)}.{r.randint(100, 999)}",
                "the time you measured for the {w} benchmark of {s}")),
    "support": (("I've issued a refund for the {w} under reference {v}.", prefixed("RF-", 7),
                 "the refund reference you gave me for the {w}"),
                ("Your replacement is booked with voucher {v}.", hexes(8, "VCH-"),
                 "the voucher code you booked the replacement with"),
                ("I've opened case {v} with the carrier about the {w}.", prefixed("CS-", 6),
                 "the case number you opened with the carrier")),
    "research": (("By my count the pooled {w} effect for {s} is {v} percent.",
                  lambda r: f"{r.randint(2, 39)}.{r.randint(10, 99)}",
                  "the pooled {w} effect you computed for {s}"),
                 ("I saved the working notes on {s} as {v}.", hexes(6, "notes/draft-"),
                  "the file you saved the notes on {s} as"),
                 ("Of the {s} studies, {v} met the inclusion criteria.",
                  lambda r: f"{r.randint(101, 999)} of {r.randint(1000, 4000)}",
                  "how many {s} studies you said met the criteria")),
    "autonomous": (("Filed {v} for the flaky {w} job.", prefixed("BUG-", 5),
                    "the bug you filed for the flaky {w} job"),
                   ("Tagged the {s} candidate as {v}.",
                    lambda r: f"v{r.randint(2, 9)}.{r.randint(10, 99)}.{r.randint(100, 999)}",
                    "the tag you gave the {s} candidate"),
                   ("Pinned the {w} runner image to {v}.", hexes(12, "sha256:"),
                    "the image digest you pinned the {w} runner to"))}
STREETS = ("Rue Saint-Gilles", "Harbour Lane", "Via Roma", "Kastanienallee", "Calle Mayor")
TYPED: dict[str, tuple[Said, ...]] = {
    "ops": (("This is tracked as ticket {v}.", prefixed("OPS-", 5),
             "the ticket number I gave you for {s}"),
            ("Whatever you change, keep the {s} p99 under {v}.",
             lambda r: f"{r.randint(150, 990)} ms", "the latency limit I set for {s}"),
            ("The customer affected by the {w} issue is account {v}.", prefixed("acct_", 8),
             "the account I said the {w} issue affects")),
    "coding": (("Please work on branch {v}.",
                lambda r: f"fix/{r.choice(WORDS)}-{r.randint(1000, 9999)}",
                "the branch I asked you to use for {s}"),
               ("The {s} change must stay compatible with clients from version {v} on.",
                lambda r: f"{r.randint(3, 9)}.{r.randint(10, 40)}.{r.randint(1, 20)}",
                "the oldest client version I said {s} must support"),
               ("Keep the {w} allocation under {v} per request.",
                lambda r: f"{r.randint(65, 999)} KiB", "the {w} allocation limit I gave")),
    "support": (("My order number is {v}.",
                 lambda r: f"ORD-{r.randint(10000, 99999)}-{r.choice('ABCDEFGHJK')}X",
                 "the order number I gave you for the {s}"),
                ("Please send it to {v}.",
                 lambda r: f"{r.randint(2, 180)} {r.choice(STREETS)}, {r.randint(10000, 99999)} "
                           f"{r.choice(('Paris', 'Lyon', 'Berlin', 'Leeds', 'Porto'))}",
                 "the delivery address I gave you for the {s}"),
                ("You can call me on {v}.",
                 lambda r: f"+44 7700 9{r.randint(10000, 99999)}", "my phone number")),
    "research": (("For the {w} part, only use sources published after {v}.",
                  lambda r: (f"{r.randint(2015, 2022)}-{r.randint(1, 12):02d}-"
                             f"{r.randint(1, 28):02d}"),
                  "the cutoff date I gave you for the {w} part"),
                 ("Our grant reference for the {s} work is {v}.", prefixed("GR-", 6),
                  "our grant reference for the {s} work"),
                 ("Exclude any {s} sample smaller than {v}.",
                  lambda r: f"n = {r.randint(150, 9999)}", "the smallest {s} sample I allow")),
    "autonomous": (("Operator note: put the {w} artifacts in {v}.", hexes(6, "s3://ci-art-"),
                    "the bucket the operator named for the {w} artifacts"),
                   ("Operator note: tag the {s} release with {v}.", prefixed("REL-", 5),
                    "the release tag the operator asked for on {s}"),
                   ("Operator note: the {w} fix must land before change freeze {v}.",
                    prefixed("FRZ-", 4), "the change freeze the operator named"))}


# --- prose ----------------------------------------------------------------------------------

SENTENCES = (
    "The {w} on {s} looks steady since the last change.",
    "{p} mentioned the {w} behaving oddly after the {w2} rollout.",
    "Nothing in the {w} path explains it yet, so the {w2} is the next suspect.",
    "I compared it with last week's {w} numbers and they line up.",
    "The {w2} was rebuilt from the snapshot, which takes a few minutes.",
    "If the {w} keeps growing we should look at the {w2} before the weekend.",
    "That matches what {p} saw in the review of {s}.",
    "The change is small: it only touches how the {w} is refreshed.",
    "There are {n} {w}s in flight, which is normal for this hour.",
    "I would keep the {w2} as it is until we know more.")

#: What a customer adds to a request; the sentences above are an engineer's.
CUSTOMER = (
    "I really need this sorted before the weekend.",
    "I already tried logging out and back in.",
    "Your website said it would take {n} days.",
    "My partner placed a similar order and had no trouble.",
    "I got an email about it but the link did not work.",
    "Please let me know if you need anything else from me.",
    "Sorry if this is the wrong place to ask.")


# --- the session ----------------------------------------------------------------------------

class GenerationError(Exception):
    """A session that breaks one of its own guarantees; the message says which."""


class Session:
    def __init__(self, seed: int, length: int | None) -> None:
        self.seed, self.rng = seed, random.Random(seed)
        rng = self.rng
        self.kind = rng.choice(SESSION_KINDS)
        self.length = length if length is not None else rng.randint(MIN_LENGTH, MAX_LENGTH)
        #: What the current turn is about; a session moves between its kind's subjects.
        self.subject = rng.choice(SUBJECTS[self.kind])
        #: How a request refers to the tool output being written: "the search_logs output
        #: for payments from 14:05".
        self.where = ""
        self.mix = {kind: round(base * rng.uniform(0.3, 1.7) * (rng.random() > 0.15), 3)
                    for kind, base in zip(OUTPUT_KINDS, BASE_MIX[self.kind])}
        if not any(self.mix.values()):
            self.mix["log"] = 1.0
        self.fact_mix = {kind: base * rng.uniform(0.4, 1.6)
                         for kind, base in zip(FACT_KINDS, BASE_FACTS[self.kind])}
        self.messages: list[Message] = []
        self.facts: list[Fact] = []
        self.clock = rng.randint(0, 20 * 86400)
        self.calls = 0
        self.outputs: Counter[str] = Counter()
        self.plan()

    def plan(self) -> None:
        """The facts to plant: kinds, horizons (log-uniform) and where each should appear."""
        rng = self.rng
        # Planted by the cutoff at the latest and asked for before the closing requests.
        longest = min(MAX_HORIZON, self.length - CLOSING - 2)
        for n in range(max(3, round(self.length / rng.uniform(7, 14)))):
            kind = weighted(rng, self.fact_mix)
            horizons = [log_uniform(rng, MIN_HORIZON, longest)]
            if rng.random() < 0.3 and horizons[0] < longest - 4:
                horizons.append(horizons[0] + log_uniform(rng, 4, longest - horizons[0]))
            last = min(self.length - CLOSING - max(horizons), self.length - PLANT_CUTOFF) - 1
            target = rng.randint(1, max(1, last))
            if self.kind == "autonomous" and kind == "user_value" and rng.random() < 0.5:
                target = 1  # in the task itself
            self.facts.append(Fact(kind, f"{OPEN}{n}{CLOSE}", digits(6), target, horizons))
        self.facts.sort(key=lambda fact: fact.target)

    def stamp(self) -> str:
        self.clock += self.rng.randint(0, 40)
        day, rest = divmod(self.clock, 86400)
        return (f"2026-11-{1 + day % 28:02d}T{rest // 3600:02d}:{rest // 60 % 60:02d}:"
                f"{rest % 60:02d}.{self.rng.randint(0, 999):03d}Z")

    def prose(self, sentences: int) -> str:
        rng = self.rng
        return " ".join(rng.choice(SENTENCES).format(
            w=rng.choice(WORDS), w2=rng.choice(WORDS), s=self.subject, p=rng.choice(PEOPLE),
            n=rng.randint(2, 40)) for _ in range(sentences))

    # The messages.

    def add(self, message: Message, planted: Sequence[Fact] = ()) -> None:
        for fact in planted:
            fact.appears = len(self.messages)
        self.messages.append(message)

    def ready(self, hosts: Sequence[str]) -> list[Fact]:
        """Unplanted facts of these kinds whose planned place has come."""
        if self.length - len(self.messages) <= PLANT_CUTOFF:
            return []
        return [fact for fact in self.facts if fact.appears < 0 and fact.kind in hosts
                and fact.target <= len(self.messages)]

    def due(self) -> list[Fact]:
        """Planted facts a request at the next message asks for: those whose next horizon
        has passed, or, near the end, every one still waiting."""
        here, closing = len(self.messages), self.length - len(self.messages) <= CLOSING
        out = []
        for fact in self.facts:
            if fact.appears < 0 or len(fact.needs) == len(fact.horizons):
                continue
            if here - fact.appears < MIN_HORIZON:
                continue
            # Asked no later than the horizon planned, nor than MAX_HORIZON, allowing for
            # the length of the turn the next request may have to wait for.
            wait = min(fact.horizons[len(fact.needs)], MAX_HORIZON - TURN_SLACK)
            if closing or fact.appears + wait <= here:
                out.append(fact)
        return out

    def ask(self, facts: list[Fact]) -> str:
        """A request for `facts` that describes each without quoting it."""
        here = len(self.messages)
        for fact in facts:
            fact.needs.append(here)
            if len(fact.needs) < len(fact.horizons) and self.length - here <= CLOSING:
                fact.horizons = fact.horizons[:len(fact.needs)]  # no room left for the next
        rng = self.rng
        asked = [fact.desc for fact in facts]
        listed = asked[0] if len(asked) == 1 else "; ".join(
            f"({n}) {text}" for n, text in enumerate(asked, start=1))
        lead = {
            "ops": ("Before I update the incident channel: {what} {}? Exact value please.",
                    "For the postmortem draft I need {}. Quote {it} exactly as reported.",
                    "Quick one while I page the owner: {}?"),
            "coding": ("Before you change anything else, {what} {}? Quote {it} exactly.",
                       "For the PR description I need {}.",
                       "Remind me: {}?"),
            "support": ("Sorry, I lost track. Can you tell me again {}?",
                        "Before we finish, could you confirm {}?",
                        "My colleague is asking about {}. Can you give me {it} again?"),
            "research": ("For the citation list I need {}, exactly as written.",
                         "Which {what_again}: {}?",
                         "Before you summarise, give me {} verbatim."),
            "autonomous": ("Checklist item: record {} in the run report, verbatim.",
                           "Checklist item: the report must state {}.",
                           "Checklist item: before closing, confirm {} exactly.")}[self.kind]
        one = len(facts) == 1
        return rng.choice(lead).format(
            listed, it="it" if one else "them", what="what was" if one else "what were",
            what_again="was it again" if one else "were they again")

    def answer(self, planted: Fact | None, asked: bool) -> str:
        rng = self.rng
        if asked:
            # The answer points back instead of quoting, so that a fact needed again later
            # still occurs in one message only.
            text = rng.choice(("I found those in the earlier output and copied them across "
                               "unchanged.", "Done: the values are in the note, copied from "
                               "the original results.", "Got them from the earlier messages; "
                               "they are in the summary now."))
        else:
            text = self.prose(rng.randint(2, 12))
        if planted is not None:
            text += " " + self.stated(planted)
        return text

    def stated(self, fact: Fact) -> str:
        """A sentence in which the assistant states a value of its own."""
        return self.sentence(fact, "assistant", STATED[self.kind])

    def typed(self, fact: Fact) -> str:
        """A sentence in which the user gives a value."""
        return self.sentence(fact, "user", TYPED[self.kind])

    def sentence(self, fact: Fact, host: str, options: Sequence[Said]) -> str:
        # The subject and a word of context tell apart the values a session states alike.
        template, fact.draw, desc = self.rng.choice(options)
        context = {"s": self.subject, "w": self.rng.choice(WORDS)}
        fact.desc, fact.host = desc.format(**context), host
        return template.format(v=fact.token, **context)

    def request(self) -> str:
        rng = self.rng
        n, word = rng.randint(10, 90), rng.choice(WORDS)
        options = {
            "ops": (f"How is {self.subject} doing over the last {n} minutes?",
                    f"Latency alerts fired for {self.subject} in {rng.choice(REGIONS)}; "
                    "look into it.",
                    f"Pull the recent logs for {self.subject} and tell me what changed.",
                    f"Is the {word} backlog on {self.subject} back to normal?"),
            "coding": (f"The tests around {self.subject} fail on CI; find out why.",
                       f"Add retry handling to the {word} path in {self.subject}.",
                       f"Why is {self.subject} slow when the {word} is cold?",
                       f"Clean up the error handling in {self.subject}."),
            "support": (f"Hi, I have a question about my {self.subject}.",
                        f"It has been {n} days and nothing has happened with my {self.subject}.",
                        "Can you check what the status is now?",
                        f"Is there anything else I need to do for the {self.subject}?"),
            "research": (f"Find recent work on {self.subject}.",
                         f"What does the data say about {self.subject} since {2010 + n % 14}?",
                         f"Pull the main datasets on {self.subject} and compare them.",
                         f"Are there good critiques of the {word} method used for "
                         f"{self.subject}?")}[self.kind]
        extra = (" ".join(rng.choice(CUSTOMER).format(n=n) for _ in range(rng.randint(0, 3)))
                 if self.kind == "support" else self.prose(rng.randint(0, 3)))
        return f"{rng.choice(options)} {extra}".rstrip()

    def tool_batch(self, count: int, plants: list[Fact], note: str | None = None,
                   stated: Sequence[Fact] = ()) -> None:
        """One assistant message with `count` calls (and the `note` stating `stated`), their
        results right after it, the first of them holding `plants`."""
        calls: list[Message] = []
        results: list[tuple[Message, list[Fact]]] = []
        for n in range(count):
            plant = plants[n] if n < len(plants) else None
            kind = (weighted(self.rng, {k: self.mix[k] + 0.01 for k in HOSTS[plant.kind]})
                    if plant else weighted(self.rng, self.mix))
            self.calls += 1
            call = f"call_{self.seed:04d}_{self.calls:04d}"
            tool = TOOLS[self.kind][OUTPUT_KINDS.index(kind)]
            since = self.stamp()[11:16]
            self.where = f"the {tool} output for {self.subject} from {since}"
            out = Output(log_uniform(self.rng, MIN_TOKENS, MAX_TOKENS))
            path = WRITERS[kind](self, out, plant)
            arguments: dict[str, object] = {"path": path} if isinstance(path, str) else {
                "query" if kind == "search_results" else "target": self.subject,
                "since": since}
            if plant is not None:
                plant.host = kind
            self.outputs[kind] += 1
            calls.append({"id": call, "type": "function",
                          "function": {"name": tool, "arguments": json.dumps(arguments)}})
            results.append(({"role": "tool", "tool_call_id": call, "content": out.text()},
                            [plant] if plant else []))
        self.add({"role": "assistant", "content": note, "tool_calls": calls}, stated)
        for message, planted in results:
            self.add(message, planted)

    def sizes(self, remaining: int) -> list[int]:
        """Calls per assistant message in the next turn, fitting `remaining` messages."""
        rng = self.rng
        wanted = {"support": 1, "research": 3, "coding": 3, "ops": 3}.get(self.kind, 2)
        batches = [2 if rng.random() < 0.2 else 1 for _ in range(rng.randint(0, wanted))]
        waiting = len(self.ready(tuple(HOSTS)))
        while sum(batches) < min(waiting, 4):
            batches.append(1)
        while batches and 2 + sum(1 + b for b in batches) > remaining:
            batches.pop()
        return batches

    # The sessions.

    def build(self) -> None:
        system = {
            "ops": "You are the on-call operations agent for the {} platform. Use the tools; "
                   "cite ids and numbers exactly as they appear.",
            "coding": "You are a coding agent in the repository of {}. Read before you "
                      "change, run the tests, and quote identifiers exactly.",
            "support": "You are the support assistant of an online shop, handling a "
                       "customer's {} case. Be warm and precise.",
            "research": "You are a research assistant working on {}. Cite sources by "
                        "their ids and quote numbers exactly.",
            "autonomous": "You are an autonomous CI repair agent for {}. Work until the "
                          "build is green and keep a run report."}[self.kind]
        self.add({"role": "system", "content": system.format(self.subject)})
        if self.kind == "autonomous":
            self.autonomous()
        else:
            self.conversation()
        self.resolve()
        self.check()

    def conversation(self) -> None:
        while (remaining := self.length - len(self.messages)) > 0:
            if remaining == 1:  # the final call answers it
                due = self.due()
                self.add({"role": "user", "content": self.ask(due) if due else
                          "Thanks, that is all for now."})
                return
            if self.kind != "support" and self.rng.random() < 0.3:
                self.subject = self.rng.choice(SUBJECTS[self.kind])
            due = self.due() if remaining != 3 else []
            typed = [] if due else self.ready(("user_value",))[:1]
            text = self.ask(due) if due else self.request()
            if typed:
                text += " " + self.typed(typed[0])
            self.add({"role": "user", "content": text}, typed)
            batches = self.sizes(remaining) if remaining != 3 else []
            waiting = self.ready(tuple(HOSTS))
            for batch in batches:
                self.tool_batch(batch, waiting[:batch])
                waiting = waiting[batch:]
            stated = self.ready(("assistant_value",))[:1]
            self.add({"role": "assistant", "content": self.answer(
                stated[0] if stated else None, bool(due))}, stated)

    def autonomous(self) -> None:
        rng = self.rng
        task = (f"The nightly build of {self.subject} is red. Find out why, fix it, and keep "
                f"a run report; I will not be watching.")
        typed = [fact for fact in self.facts if fact.kind == "user_value" and fact.target <= 1]
        self.add({"role": "user", "content": " ".join(
            [task, *(self.typed(fact) for fact in typed)])}, typed)
        while (remaining := self.length - len(self.messages)) > 0:
            if remaining == 1:
                self.add({"role": "assistant", "content": "Run report: " + self.prose(4)})
                return
            due = self.due()
            typed = self.ready(("user_value",))[:1]
            after_user = self.messages[-1]["role"] == "user"
            if remaining == 2 or (typed and remaining > 3 and not due and not after_user):
                # An operator's note; the step (or the report) after it answers it.
                text = self.ask(due) if due else (
                    self.typed(typed[0]) if typed else "Operator: please wrap up now.")
                self.add({"role": "user", "content": text}, [] if due else typed)
                continue
            if due:
                self.calls += 1
                call = f"call_{self.seed:04d}_{self.calls:04d}"
                self.add({"role": "assistant", "content": None, "tool_calls": [
                    {"id": call, "type": "function",
                     "function": {"name": "next_checklist_item", "arguments": "{}"}}]})
                self.add({"role": "tool", "tool_call_id": call, "content": self.ask(due)})
                continue
            count = 2 if rng.random() < 0.2 and remaining > 4 else 1
            if rng.random() < 0.1:
                self.subject = rng.choice(SUBJECTS[self.kind])
            stated = self.ready(("assistant_value",))[:1]
            note = self.answer(stated[0], False) if stated else (
                self.prose(1) if rng.random() < 0.4 else None)
            self.tool_batch(count, self.ready(tuple(HOSTS))[:count], note, stated)

    # The checks.

    def resolve(self) -> None:
        """Draws each planted fact's value, absent from every other message and unrelated
        to every other fact, and writes it in; drops the facts never planted (their place
        came too late)."""
        self.facts = [fact for fact in self.facts if fact.appears >= 0]
        text = "\n".join(json.dumps(message, ensure_ascii=False) for message in self.messages)
        chosen: list[str] = []
        for fact in self.facts:
            for _ in range(500):
                value = fact.draw(self.rng)
                if (value not in text and json.dumps(value)[1:-1] == value
                        and not any(value in other or other in value for other in chosen)):
                    break
            else:
                raise GenerationError(f"seed {self.seed}: no unique value for a {fact.kind}")
            fact.text = value
            chosen.append(value)
            text = text.replace(fact.token, value)
            message = self.messages[fact.appears]
            content = message["content"]
            if not isinstance(content, str) or fact.token not in content:
                raise GenerationError(f"seed {self.seed}: a {fact.kind} is not in message "
                                      f"{fact.appears}")
            message["content"] = content.replace(fact.token, value)
        if OPEN in text:
            raise GenerationError(f"seed {self.seed}: a placeholder was left unresolved")

    def check(self) -> None:
        problem = order_problem(self.messages)
        if problem:
            raise GenerationError(f"seed {self.seed}: {problem}")
        if len(self.messages) != self.length:
            raise GenerationError(f"seed {self.seed}: {len(self.messages)} messages, "
                                  f"{self.length} wanted")
        texts = [json.dumps(message, ensure_ascii=False) for message in self.messages]
        for fact in self.facts:
            if not fact.needs:
                raise GenerationError(f"seed {self.seed}: {fact.text!r} is never asked for")
            holding = [n for n, text in enumerate(texts) if fact.text in text]
            if holding != [fact.appears]:
                raise GenerationError(f"seed {self.seed}: {fact.text!r} occurs in messages "
                                      f"{holding}, not only in {fact.appears}")
            for need in fact.needs:
                if not fact.appears + MIN_HORIZON <= need < self.length or not has_call_after(
                        self.messages, need):
                    raise GenerationError(f"seed {self.seed}: {fact.text!r} needed at {need}")


def order_problem(messages: Sequence[Message]) -> str | None:
    """Why `messages` are not a valid Chat Completions history, or None: every tool call is
    answered by its tool messages right after it, and no tool message stands elsewhere."""
    if not messages or messages[0].get("role") != "system":
        return "the first message is not the system prompt"
    waiting: list[object] = []
    for n, message in enumerate(messages):
        role = message.get("role")
        if role == "tool":
            if not waiting or message.get("tool_call_id") != waiting[0]:
                return f"message {n} answers no pending tool call"
            waiting.pop(0)
            continue
        if waiting:
            return f"message {n} comes before the results of the calls before it"
        if role == "assistant":
            calls = message.get("tool_calls") or []
            assert isinstance(calls, list)
            waiting = [call["id"] for call in calls]
        elif role != "user" and n:
            return f"message {n} has role {role!r}"
    return "the last tool calls are unanswered" if waiting else None


def has_call_after(messages: Sequence[Message], index: int) -> bool:
    """Whether a model call comes after message `index`: a later assistant message, or the
    final call after a history that does not end with one."""
    return (any(message.get("role") == "assistant" for message in messages[index + 1:])
            or messages[-1].get("role") != "assistant")


def generate(seed: int, length: int | None = None) -> Session:
    session = Session(seed, length)
    session.build()
    return session


def describe(session: Session) -> dict[str, object]:
    """The session's entry in index.json."""
    return {
        "seed": session.seed, "file": f"s{session.seed:04d}.json", "kind": session.kind,
        "messages": len(session.messages), "subject": session.subject,
        "mix": session.mix,
        "outputs": {kind: session.outputs[kind] for kind in OUTPUT_KINDS},
        "fact_kinds": dict(Counter(fact.kind for fact in session.facts)),
        "facts": [{"fact": fact.text, "kind": fact.kind, "in": fact.host,
                   "appears": fact.appears, "needed": fact.needs,
                   "horizons": [need - fact.appears for need in fact.needs]}
                  for fact in session.facts]}


def write(session: Session, out: Path) -> None:
    stem = out / f"s{session.seed:04d}"
    stem.with_suffix(".json").write_text(
        json.dumps(session.messages, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    lines = sorted((need, fact.text) for fact in session.facts for need in fact.needs)
    Path(f"{stem}.facts.txt").write_text("".join(f"{text}\t{need}\n" for need, text in lines),
                                         encoding="utf-8")


def seeds(text: str) -> list[int]:
    """"0-19,40,50-52" as a list of seeds."""
    out: list[int] = []
    for part in text.split(","):
        low, dash, high = part.strip().partition("-")
        if not low.isdigit() or (dash and not high.isdigit()):
            raise argparse.ArgumentTypeError(f"not a seed range: {part!r}")
        out += range(int(low), int(high or low) + 1)
    return out


def summary(sessions: Sequence[Session]) -> str:
    facts = [fact for session in sessions for fact in session.facts]
    horizons = sorted(need - fact.appears for fact in facts for need in fact.needs)
    kinds = Counter(fact.kind for fact in facts)
    text = (f"{len(sessions)} sessions, {len(facts)} facts, {len(horizons)} needs; "
            + ", ".join(f"{kind} {kinds[kind]}" for kind in FACT_KINDS))
    if horizons:
        quartiles = statistics.quantiles(horizons, n=4) if len(horizons) > 1 else horizons * 3
        text += (f"; horizons min {horizons[0]}, quartiles "
                 f"{', '.join(f'{q:g}' for q in quartiles)}, max {horizons[-1]}")
    return text


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--seeds", type=seeds, required=True, metavar="A-B[,C...]",
                        help="the seeds to write, e.g. 0-19 or 100-119,200")
    parser.add_argument("--out", type=Path, required=True, help="the directory to write to")
    parser.add_argument("--messages", type=int, metavar="N",
                        help=f"every session's length (default: drawn per seed, "
                             f"{MIN_LENGTH}-{MAX_LENGTH})")
    args = parser.parse_args(argv)
    if args.messages is not None and args.messages < 40:
        parser.error("--messages must be at least 40")
    args.out.mkdir(parents=True, exist_ok=True)
    sessions = []
    for seed in args.seeds:
        try:
            sessions.append(generate(seed, args.messages))
        except GenerationError as exc:
            print(f"gen_sessions: error: {exc}", file=sys.stderr)
            return 1
        write(sessions[-1], args.out)
    (args.out / "index.json").write_text(json.dumps(
        {"sessions": [describe(session) for session in sessions]}, indent=1,
        ensure_ascii=False) + "\n", encoding="utf-8")
    print(summary(sessions))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
