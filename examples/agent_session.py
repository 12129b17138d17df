"""Replays an agent conversation through quorvex_micro, turn by turn, as a real agent would.

    python examples/agent_session.py                          # the bundled debugging session
    python examples/agent_session.py --transcript chat.json   # your own conversation
    python examples/agent_session.py --plot tokens.png        # also chart tokens per turn

For every message the agent:
  1. scans incoming payloads with `saturation_scan` and refuses floods (a STATE note instead);
  2. inserts the message into one `ContextApoptosis` window under its signal class;
  3. gauges user requests with `effort_gauge` (reasoning tier and budget);
  4. renders the window (the prompt it would send) and, on requests, asks
     `consolidation_gain` whether rewriting the provider-cached prefix pays off;
  5. runs one `dehydrate(absorb=True)` cycle, so old blocks fade into one-line digests,
     and reports per-class token pressure on a `HormonalBus`.
The summary compares the prompts with and without dehydration (in tokens and in provider
cost with prompt caching on both sides) and with the one-pass module function `dehydrate`
over the same history.

A transcript file is either a JSON list of {"role", "content"} messages or an object
{"purpose": str, "facts": [str, ...], "messages": [...]}. Content is a string or a list of
{"type": "text", "text": str} blocks (other block types carry no text and are skipped).
"""

from __future__ import annotations

import argparse
import importlib
import io
import json
import sys
from collections import Counter, defaultdict
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Sequence

try:
    import quorvex_micro as qm
except ImportError:
    sys.exit(
        "agent_session.py: quorvex_micro is not importable; install it with `pip install .` "
        "or point PYTHONPATH at a build directory"
    )

BUNDLED_TRANSCRIPT = Path(__file__).resolve().parent / "data" / "agent_transcript.json"

# A payload whose 8-word shingles repeat this much is a flood, not information.
SATURATION_LIMIT = 0.5
# Cycles for a block's oxygen to halve: a request or reply stays verbatim for about six
# turns, then survives as a one-line digest in the STATE ledger.
HALF_LIFE = 4.0
# How many upcoming calls a rewritten prompt prefix is expected to serve from the cache.
CALLS_AHEAD = 8
# Provider prices relative to one uncached input token (cached read, cache write).
CACHE_READ = 0.1
CACHE_WRITE = 1.25
# Per-turn decay of the bus concentrations, so they read as recent pressure.
BUS_DECAY = 0.8
# Bus channel beside the six signal-class channels (bit i addresses channel i).
ALARM_CHANNEL = 6
ALARM = 1 << ALARM_CHANNEL

ROLE_FLAGS: dict[str, int] = {
    "system": qm.SYSTEM,
    "user": qm.USER,
    "assistant": qm.ASSISTANT,
    "tool": qm.TOOL,
    "function": qm.TOOL,
    "thinking": qm.THINKING,
    "reasoning": qm.THINKING,
}
# Written by the model itself; everything else comes from outside and is scanned.
MODEL_ROLES = frozenset({"assistant", "thinking", "reasoning"})
# After these the agent calls the model again, sending the rendered prompt.
REQUEST_ROLES = frozenset({"user", "tool", "function"})
CHANNEL_NAMES: dict[int, str] = {
    qm.SYSTEM: "system",
    qm.USER: "user",
    qm.ASSISTANT: "assistant",
    qm.FACT: "fact",
    qm.TOOL: "tool",
    qm.THINKING: "thinking",
    ALARM: "alarm",
    0: "unclassified",
}


class TranscriptError(Exception):
    """A transcript file that cannot be replayed; the message is one line."""


@dataclass(frozen=True)
class Message:
    role: str
    content: str


@dataclass(frozen=True)
class Transcript:
    purpose: str | None
    facts: list[str]
    messages: list[Message]


@dataclass(frozen=True)
class Turn:
    """One replayed message and what the agent made of it."""

    number: int
    role: str
    tokens_in: int
    prompt_tokens: int  # the dehydrated window as rendered after this message
    full_tokens: int  # the same history rendered without any dehydration
    saturation: float | None  # None: the model's own output, not scanned
    rejected: bool
    tier: str = ""
    budget: int = 0
    cache: str = ""  # prefix-cache decision, only on turns that send a request
    sent_tokens: int = 0  # the prompt actually sent after that decision

    @property
    def is_request(self) -> bool:
        return self.cache != ""


# ---------------------------------------------------------------------------------------------
# Loading a transcript
# ---------------------------------------------------------------------------------------------


def json_type(value: object) -> str:
    """The JSON name of a decoded value's type, for error messages."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    if isinstance(value, list):
        return "array"
    return "object"


def checked_text(value: str, where: str) -> str:
    """`value` itself, once it is known to encode as UTF-8 (JSON allows lone surrogates)."""
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise TranscriptError(f"{where} contains an unpaired surrogate escape") from None
    return value


def message_text(content: object, where: str) -> str:
    """The text of a message's content: a string, null, or a list of content blocks."""
    if content is None:
        return ""  # e.g. an assistant turn that only carried tool calls
    if isinstance(content, str):
        return checked_text(content, where)
    if not isinstance(content, list):
        raise TranscriptError(f'{where}: "content" must be a string or a list of blocks, '
                              f"got {json_type(content)}")
    parts = []
    for index, block in enumerate(content):
        if not isinstance(block, dict):
            raise TranscriptError(f"{where}, block {index + 1}: expected an object, "
                                  f"got {json_type(block)}")
        if block.get("type") != "text":
            continue
        text = block.get("text")
        if not isinstance(text, str):
            raise TranscriptError(f'{where}, block {index + 1}: "text" must be a string, '
                                  f"got {json_type(text)}")
        parts.append(checked_text(text, f"{where}, block {index + 1}"))
    return "\n".join(parts)


def parse_transcript(data: object) -> Transcript:
    """Validate decoded JSON in either accepted shape and normalise it."""
    purpose: str | None = None
    facts: list[str] = []
    if isinstance(data, dict):
        raw_purpose = data.get("purpose")
        if raw_purpose is not None and not isinstance(raw_purpose, str):
            raise TranscriptError(f'"purpose" must be a string, got {json_type(raw_purpose)}')
        purpose = None if raw_purpose is None else checked_text(raw_purpose, '"purpose"')
        raw_facts = data.get("facts", [])
        if not isinstance(raw_facts, list):
            raise TranscriptError(f'"facts" must be a list of strings, got {json_type(raw_facts)}')
        for index, fact in enumerate(raw_facts):
            if not isinstance(fact, str):
                raise TranscriptError(f"fact {index + 1} must be a string, got {json_type(fact)}")
            facts.append(checked_text(fact, f"fact {index + 1}"))
        if "messages" not in data:
            raise TranscriptError('the object has no "messages" list')
        data = data["messages"]
    elif not isinstance(data, list):
        raise TranscriptError(f'expected a list of messages or an object with "messages", '
                              f"got {json_type(data)}")
    if not isinstance(data, list):
        raise TranscriptError(f'"messages" must be a list, got {json_type(data)}')
    if not data:
        raise TranscriptError("the transcript has no messages")

    messages = []
    for index, item in enumerate(data):
        where = f"message {index + 1}"
        if not isinstance(item, dict):
            raise TranscriptError(f"{where}: expected an object with \"role\" and \"content\", "
                                  f"got {json_type(item)}")
        if "role" not in item:
            raise TranscriptError(f'{where}: missing "role"')
        role = item["role"]
        if not isinstance(role, str):
            raise TranscriptError(f'{where}: "role" must be a string, got {json_type(role)}')
        role = checked_text(role, f'{where}: "role"').strip().lower()
        messages.append(Message(role, message_text(item.get("content"), where)))
    return Transcript(purpose, facts, messages)


def load_transcript(path: Path) -> Transcript:
    """Read and validate a transcript file; every failure is a TranscriptError."""
    try:
        text = path.read_text(encoding="utf-8")
    except UnicodeDecodeError as exc:
        raise TranscriptError(f"not UTF-8 text (byte {exc.start})") from None
    except OSError as exc:
        raise TranscriptError(f"cannot read it: {exc.strerror or exc}") from None
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise TranscriptError(f"not valid JSON: {exc.msg} at line {exc.lineno} "
                              f"column {exc.colno}") from None
    except RecursionError:
        raise TranscriptError("not valid JSON: nested too deeply") from None
    return parse_transcript(data)


# ---------------------------------------------------------------------------------------------
# The agent
# ---------------------------------------------------------------------------------------------


def estimate_tokens(text: str) -> int:
    """The library's token estimate: UTF-8 bytes / 4, rounded down, plus 1."""
    return len(text.encode("utf-8")) // 4 + 1


class PrefixCache:
    """The provider's prompt cache as the agent sees it: the last prompt it sent.

    Providers cache a prompt up to its end, so an agent that only appends reads the whole
    previous prompt at the cached price and writes just the new part. Dehydration breaks
    that: the window has dropped blocks that the cached prompt still holds. The agent can
    keep sending the stale prefix plus the new blocks (a cache hit that re-reads the dropped
    ballast on every call) or send the dehydrated render (one full cache write, smaller
    reads afterwards). `consolidation_gain` prices the two.
    """

    def __init__(self) -> None:
        self.blocks: list[str] = []  # the cached prompt's blocks, in order
        self.tokens = 0  # the cached prompt's estimated size
        self.cost = 0.0  # input-token equivalents paid so far
        self.rewrites = 0
        self.keeps = 0

    def send(self, live_blocks: list[str], render_tokens: int) -> str:
        """Choose the next prompt, pay for it and cache it; returns the decision label."""
        stale = Counter(self.blocks)
        new_blocks = []
        for block in live_blocks:
            if stale[block]:
                stale[block] -= 1
            else:
                new_blocks.append(block)
        # What is left in `stale` was cached but has since been purged from the window.
        purgeable = sum(estimate_tokens(block) * count for block, count in stale.items())

        if self.tokens == 0:
            consolidate, label = True, "write"
        else:
            gain = qm.consolidation_gain(self.tokens, purgeable, calls_ahead=CALLS_AHEAD,
                                         cache_read_ratio=CACHE_READ,
                                         cache_write_ratio=CACHE_WRITE)
            consolidate = gain["consolidate"]
            verb = "rewrite" if consolidate else "keep"
            label = f"{verb:<7} {gain['gain_token_equiv']:>+8,.0f}"

        if consolidate:
            if self.tokens:
                self.rewrites += 1
            self.cost += CACHE_WRITE * render_tokens
            self.blocks, self.tokens = list(live_blocks), render_tokens
        else:
            self.keeps += 1
            added = sum(estimate_tokens(block) for block in new_blocks)
            self.cost += CACHE_READ * self.tokens + CACHE_WRITE * added
            self.blocks += new_blocks
            self.tokens += added
        return label


class AgentSession:
    """One conversation: a dehydrating window, a prefix cache model and a signal bus."""

    def __init__(self, purpose: str | None, facts: Sequence[str]) -> None:
        self.window = qm.ContextApoptosis(half_life=HALF_LIFE)
        self.bus = qm.HormonalBus(num_signals=7)
        self.cache = PrefixCache()
        self.turns: list[Turn] = []
        self.rejections: list[Turn] = []
        # What an agent without dehydration would send: the same layout, nothing dropped,
        # measured in UTF-8 bytes of the newline-joined text.
        self.full_bytes = -1
        self.header: list[tuple[str, int]] = []
        if purpose is not None:
            self.window.set_purpose(purpose)
            self.grow_full(purpose)
            self.header.append((purpose, qm.SYSTEM))
        if facts:
            self.grow_full("STATE:")
        for fact in facts:
            self.note(fact)
            self.grow_full("- " + fact)
            self.header.append((fact, qm.FACT))
        self.accepted: list[tuple[str, int]] = []
        self.full_cost = 0.0  # what the baseline agent pays its provider, with caching
        self.full_cached = 0
        # Bus events drained every turn, by flags word: how many, and their summed intensity.
        self.event_count: Counter[int] = Counter()
        self.event_load: defaultdict[int, float] = defaultdict(float)

    def grow_full(self, text: str) -> None:
        """Append one line or block to the undehydrated prompt."""
        self.full_bytes += len(text.encode("utf-8")) + 1

    def note(self, fact: str) -> None:
        """A durable fact for the STATE ledger, also felt on the bus's FACT channel."""
        if self.window.note_state(fact):
            self.bus.secrete(qm.FACT, estimate_tokens(fact) / 1000)

    def replay(self, number: int, message: Message) -> Turn:
        """Process one message the way an agent loop would, and record the turn."""
        role, content = message.role, message.content
        flags = ROLE_FLAGS.get(role, 0)
        tokens_in = estimate_tokens(content)

        saturation = None if role in MODEL_ROLES else qm.saturation_scan(content)
        rejected = False
        if saturation is not None and saturation > SATURATION_LIMIT:
            rejected = True
            self.note(f"Rejected a {tokens_in}-token {role} payload at turn {number}: "
                      f"saturation {saturation:.2f}, a repetitive flood, never read into context.")
            self.bus.inject(qm.HormonalSignal(ALARM, saturation))
        else:
            self.window.insert(content, flags)
            self.accepted.append((content, flags))
            self.grow_full(content)
            self.bus.secrete(flags, tokens_in / 1000)

        tier, budget = "", 0
        if role == "user" and not rejected:
            effort = qm.effort_gauge(content)
            tier, budget = effort["tier"], effort["budget_tokens"]

        prompt_tokens = estimate_tokens(self.window.render())
        full_tokens = max(self.full_bytes, 0) // 4 + 1
        cache, sent_tokens = "", 0
        if role in REQUEST_ROLES:
            cache = self.cache.send(self.window.active_context(), prompt_tokens)
            sent_tokens = self.cache.tokens
            # The baseline agent appends only, so its whole previous prompt is a cache hit.
            self.full_cost += (CACHE_READ * self.full_cached
                               + CACHE_WRITE * (full_tokens - self.full_cached))
            self.full_cached = full_tokens

        # The model has now seen this turn's context; age it for the next one.
        self.window.dehydrate(absorb=True)
        self.bus.tick(BUS_DECAY)
        for event_flags, intensity in self.bus.drain_events(64):
            self.event_count[event_flags] += 1
            self.event_load[event_flags] += intensity

        turn = Turn(number, role, tokens_in, prompt_tokens, full_tokens, saturation, rejected,
                    tier, budget, cache, sent_tokens)
        self.turns.append(turn)
        if rejected:
            self.rejections.append(turn)
        return turn


# ---------------------------------------------------------------------------------------------
# Output
# ---------------------------------------------------------------------------------------------

LEGEND = """\
  tokens  size of the message          prompt  the dehydrated window, rendered
  full    the same history with nothing dropped (a rejected flood is left out of both)
  saved   1 - prompt/full              tier, budget  effort_gauge of a user request
  sat     saturation_scan of a payload from outside (floods above the limit are refused)
  sent    prompt sent on a request     cache  keep the cached prefix or rewrite it, with
          consolidation_gain's net gain in input-token equivalents"""

HEADER = (f"{'turn':>4}  {'role':<9} {'tokens':>6} {'prompt':>7} {'full':>7} {'saved':>6}  "
          f"{'tier':<6} {'budget':>6}  {'sat':>4} {'sent':>7}  cache")


def format_turn(turn: Turn) -> str:
    """One table row."""
    saved = 1.0 - turn.prompt_tokens / turn.full_tokens
    sat = "" if turn.saturation is None else f"{turn.saturation:.2f}"
    budget = f"{turn.budget:,}" if turn.tier else ""
    sent = f"{turn.sent_tokens:,}" if turn.is_request else ""
    note = "  REJECTED: flood" if turn.rejected else ""
    return (f"{turn.number:>4}  {turn.role[:9]:<9} {turn.tokens_in:>6,} {turn.prompt_tokens:>7,} "
            f"{turn.full_tokens:>7,} {saved:>6.1%}  {turn.tier:<6} {budget:>6}  {sat:>4} "
            f"{sent:>7}  {turn.cache}{note}").rstrip()


def print_summary(session: AgentSession) -> float:
    """Print the session totals; returns the reduction of prompt tokens sent."""
    turns = session.turns
    requests = [t for t in turns if t.is_request]
    sent = sum(t.prompt_tokens for t in requests)
    sent_full = sum(t.full_tokens for t in requests)
    reduction = 1.0 - sent / sent_full if sent_full else 0.0
    last = turns[-1]
    roles = Counter(t.role for t in turns)
    tiers = Counter(t.tier for t in turns if t.tier)

    print()
    print("Summary")
    print(f"  messages replayed   {len(turns)} ("
          + ", ".join(f"{n} {role}" for role, n in roles.most_common()) + ")")
    print(f"  requests sent       {len(requests)} prompts: {sent:,} tokens rendered by the window, "
          f"{sent_full:,} for the full history")
    print(f"  token reduction     {reduction:.1%} of prompt tokens saved over the session")
    print(f"  final prompt        {last.prompt_tokens:,} tokens vs {last.full_tokens:,} for the "
          f"full history (window reduction_ratio {session.window.reduction_ratio():.1%})")
    print(f"  STATE ledger        {len(session.window.state_entries())} entries "
          f"(standing facts, rejection notes, digests of faded turns)")
    if session.rejections:
        for turn in session.rejections:
            print(f"  flood rejected      turn {turn.number}: {turn.role} payload of "
                  f"{turn.tokens_in:,} tokens, saturation {turn.saturation or 0.0:.2f} > "
                  f"{SATURATION_LIMIT}, never inserted")
    else:
        print("  flood rejected      none (no payload above the saturation limit)")
    if tiers:
        budget = sum(t.budget for t in turns)
        print("  effort tiers        " + ", ".join(f"{tier} {tiers[tier]}" for tier in
                                                   ("off", "low", "medium", "high") if tiers[tier])
              + f"; {budget:,} reasoning tokens budgeted")
    cache = session.cache
    sent_total = sum(t.sent_tokens for t in requests)
    print(f"  prefix cache        {cache.rewrites} rewrites, {cache.keeps} keeps of the cached "
          f"prefix (horizon {CALLS_AHEAD} calls);\n"
          f"                      {sent_total:,} tokens actually sent, stale prefixes included")
    saving = 1.0 - cache.cost / session.full_cost if session.full_cost else 0.0
    print(f"  provider cost       {cache.cost:,.0f} vs {session.full_cost:,.0f} input-token "
          f"equivalents for the full history, both cached\n"
          f"                      (read x{CACHE_READ}, write x{CACHE_WRITE}): {saving:.1%} less")

    history = session.header + session.accepted
    leading_system = next((i for i, (_, f) in enumerate(session.accepted) if f != qm.SYSTEM),
                          len(session.accepted))
    result = qm.dehydrate(history, stable_prefix=len(session.header) + leading_system)
    print(f"  one-pass dehydrate  {result['blocks_in']} accepted blocks -> {result['blocks_kept']} "
          f"kept, {result['tokens_before']:,} -> {result['tokens_after']:,} tokens "
          f"({result['reduction']:.1%} less) in {result['kernel_latency_us']:.1f} us")

    stats = session.bus.stats()
    conversational = session.bus.sense(qm.USER | qm.ASSISTANT)
    ballast = session.bus.sense(qm.TOOL | qm.THINKING)
    print(f"  hormonal bus        {stats['secretions']:.0f} secretions; pressure now "
          f"{conversational:.2f} conversational, {ballast:.2f} ballast, "
          f"{session.bus.concentration(ALARM_CHANNEL):.2f} alarm\n"
          f"                      (kilotokens, decaying x{BUS_DECAY} per turn)")
    events = [f"{CHANNEL_NAMES.get(flags, hex(flags))} {count} ({session.event_load[flags]:.1f})"
              for flags, count in session.event_count.most_common()]
    rows: list[list[str]] = [[]]
    for event in events:
        if rows[-1] and len(", ".join(rows[-1] + [event])) > 72:
            rows.append([])
        rows[-1].append(event)
    print("  bus events drained  " + ",\n                      ".join(map(", ".join, rows)))
    return reduction


def load_pyplot() -> ModuleType | None:
    """matplotlib's pyplot on a file-only backend, or None when matplotlib is missing."""
    try:
        matplotlib = importlib.import_module("matplotlib")
        matplotlib.use("Agg")
        return importlib.import_module("matplotlib.pyplot")
    except ImportError:
        return None


def plot_turns(plt: ModuleType, turns: Sequence[Turn], path: Path) -> None:
    """Chart prompt tokens per turn with and without dehydration."""
    numbers = [t.number for t in turns]
    figure, axes = plt.subplots(figsize=(10, 5))
    axes.plot(numbers, [t.full_tokens for t in turns], label="without dehydration",
              color="#b0b0b0", linewidth=2)
    axes.plot(numbers, [t.prompt_tokens for t in turns], label="ContextApoptosis window",
              color="#1f77b4", linewidth=2)
    requests = [t for t in turns if t.is_request]
    axes.plot([t.number for t in requests], [t.sent_tokens for t in requests], "o",
              label="sent on a request (stale cached prefix kept or rewritten)",
              color="#ff7f0e", markersize=4)
    for turn in turns:
        if turn.rejected:
            axes.axvline(turn.number, color="#d62728", linestyle="--", linewidth=1)
            axes.annotate(f"flood rejected ({turn.tokens_in:,} tokens)", (turn.number, 0),
                          xytext=(4, 8), textcoords="offset points", color="#d62728")
    axes.set_xlabel("turn")
    axes.set_ylabel("prompt tokens")
    axes.set_title("Prompt size per turn")
    axes.legend()
    axes.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    plt.close(figure)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Replay an agent transcript through quorvex_micro and report the savings.")
    parser.add_argument("--transcript", type=Path, metavar="FILE",
                        help="JSON transcript to replay (default: the bundled session)")
    parser.add_argument("--plot", type=Path, metavar="FILE.png",
                        help="also draw prompt tokens per turn, with and without dehydration")
    args = parser.parse_args(argv)
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="backslashreplace")

    plt = None
    if args.plot is not None:
        plt = load_pyplot()  # before the replay, so a missing matplotlib fails fast
        if plt is None:
            print("agent_session.py: error: --plot needs matplotlib (pip install matplotlib)",
                  file=sys.stderr)
            return 1

    path: Path = args.transcript or BUNDLED_TRANSCRIPT
    try:
        transcript = load_transcript(path)
    except TranscriptError as exc:
        print(f"agent_session.py: error: {path}: {exc}", file=sys.stderr)
        return 2

    session = AgentSession(transcript.purpose, transcript.facts)
    print(f"Replaying {len(transcript.messages)} messages from {path.name}")
    print(LEGEND)
    print()
    print(HEADER)
    for number, message in enumerate(transcript.messages, start=1):
        print(format_turn(session.replay(number, message)))
    print_summary(session)

    if plt is not None:
        try:
            plot_turns(plt, session.turns, args.plot)
        except (OSError, ValueError) as exc:
            print(f"agent_session.py: error: {exc}", file=sys.stderr)
            return 1
        print(f"\nplot written to {args.plot}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
