"""Replays an agent conversation through quorvex_chat, request by request, as an agent loop would.

    python examples/agent_session.py                          # the bundled debugging session
    python examples/agent_session.py --transcript chat.json   # your own OpenAI or Anthropic history
    python examples/agent_session.py --plot tokens.png        # also chart tokens per request
    python examples/agent_session.py --max-tokens 6000        # the prompt budget
    python examples/agent_session.py --facts facts.txt        # strings a later turn needs

Each time the model is called (after a user message or a batch of tool results), the agent:
  1. has screened every tool output with `qc.screen` as it arrived (a flood becomes a notice);
  2. asks its `qc.Conversation` for the prompt: the history itself while it fits the budget,
     the prompt sent last plus what was appended while that fits, and otherwise one
     compaction well below the budget (old tool results become notices that keep their
     notable lines; old turns go whole), after which it grows by appending again;
  3. gauges a person's request with `qc.effort` (OpenAI `reasoning_effort`, Anthropic
     `thinking`).
The table shows beside it what a stateless `qc.trim(history, max_tokens=...)` would send.
Facts (`--facts FILE`, one string a line; the bundled session has its own) are checked at
every call after they first appear: the share still in the prompt is "facts retained".
Tokens are counted by o200k when bpe-openai is installed, else by `qc.count_tokens`.

A transcript is read by `quorvex_chat.replay.load`: a message list in any format `qc.trim`
reads, or {"system": ..., "messages": [...]}. The bundled file keeps a simpler form,
{"purpose", "facts", "messages"} with roles system, user, assistant, thinking and tool, which
is turned into Anthropic Messages: thinking blocks, and each tool output the result of a
`tool_use`.
"""

from __future__ import annotations

import argparse
import importlib
import io
import json
import sys
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any, Sequence

try:
    import quorvex_chat as qc
    from quorvex_chat.replay import ReplayError, calls, load
except ImportError:
    sys.exit("agent_session.py: quorvex_chat is not importable; install it with `pip install .` "
             "or point PYTHONPATH at a build directory and src/")

BUNDLED = Path(__file__).resolve().parent / "data" / "agent_transcript.json"
Message = dict[str, Any]


def screened(message: Message) -> tuple[Message, bool]:
    """`message` with its tool output passed through `qc.screen`, and whether it was a flood."""
    if message.get("role") == "tool" and isinstance(message.get("content"), str):
        text = qc.screen(message["content"])
        flooded = text is not message["content"]
        return ({**message, "content": text}, True) if flooded else (message, False)
    parts, flooded = message.get("content"), False
    if message.get("role") != "user" or not isinstance(parts, list):
        return message, False
    new = []
    for part in parts:
        if part.get("type") == "tool_result" and isinstance(part.get("content"), str):
            text = qc.screen(part["content"])
            flooded |= text is not part["content"]
            part = {**part, "content": text}
        new.append(part)
    return ({**message, "content": new}, True) if flooded else (message, False)


@dataclass(frozen=True)
class Request:
    number: int
    message: int  # 1-based position of the last message before the call
    kind: str  # "user" for a person's request, else "tool"
    tier: str
    full: int  # tokens of the whole history
    trimmed: int  # tokens of a stateless qc.trim
    sent: int  # tokens of the Conversation's prompt
    cached: int  # tokens of it the provider's cache already held
    cache: str
    kept: int
    elided: int
    over: bool  # what may not go exceeds the budget: sent anyway
    facts: tuple[int, int]  # facts present, facts seen so far


def common_prefix(old: qc.TrimResult[Message] | None, new: qc.TrimResult[Message]) -> int:
    """Tokens at the start of `new` that `old` sent identically (what the cache holds)."""
    if old is None:
        return 0
    tokens = 0
    for index, (a, b) in enumerate(zip(old.messages, new.messages)):
        if a is not b and a != b:
            break
        tokens += new.message_tokens[index]
    return tokens


def replay(system: str, transcript: list[Message], budget: int, counter: qc.TokenCounter | None,
           facts: Sequence[str], stable_prefix: int | None = None
           ) -> tuple[list[Request], list[Message], int]:
    """Feed the transcript to an agent loop: its requests, its history and the floods screened."""
    # An Anthropic system prompt is sent with every request, beside the messages: it counts
    # against the budget.
    options: dict[str, Any] = {"token_counter": counter, "system": system or None,
                               "stable_prefix": stable_prefix}
    conversation: qc.Conversation[Message] = qc.Conversation(max_tokens=budget, **options)
    history: list[Message] = []
    requests: list[Request] = []
    sent: qc.TrimResult[Message] | None = None
    floods = 0
    seen: list[str] = []
    points = set(calls(transcript))
    for position, incoming in enumerate(transcript):
        message, flooded = screened(incoming)
        floods += flooded
        history.append(message)
        body = json.dumps(message, ensure_ascii=False)
        seen += [fact for fact in facts if fact not in seen and fact in body]
        if position + 1 not in points:
            continue  # the model is called before its next message
        compactions = conversation.compactions
        previous, sent = sent, conversation.prompt(history)
        stateless = qc.trim(history, max_tokens=budget, **options)
        content = message["content"]  # a person's words, if any, next to tool results
        text = content if isinstance(content, str) else " ".join(
            part.get("text", "") for part in content or () if part.get("type") == "text")
        tier = qc.effort(text).tier if message["role"] == "user" and text else ""
        cache = ("write" if previous is None else
                 "rewrite" if conversation.compactions > compactions else "keep")
        prompt = json.dumps(sent.messages, ensure_ascii=False)
        present = sum(fact in prompt or fact in system for fact in seen)
        requests.append(Request(len(requests) + 1, position + 1, "user" if tier else "tool", tier,
                                sent.tokens_before, stateless.tokens_after, sent.tokens_after,
                                common_prefix(previous, sent) + (
                                    sent.overhead_tokens if previous else 0),
                                cache, len(sent.kept), len(sent.elided), sent.over_budget,
                                (present, len(seen))))
    return requests, history, floods


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Replay an agent transcript through quorvex_chat.")
    parser.add_argument("--transcript", type=Path, metavar="FILE",
                        help="OpenAI or Anthropic JSON history (default: the bundled session)")
    parser.add_argument("--plot", type=Path, metavar="FILE.png",
                        help="also chart tokens per request")
    parser.add_argument("--max-tokens", type=int, default=12_000, metavar="N",
                        help="prompt budget, system prompt included (default 12000)")
    parser.add_argument("--facts", type=Path, metavar="FILE",
                        help="strings a later turn needs, one a line (default: FILE.facts.txt "
                             "beside the transcript, if there is one)")
    parser.add_argument("--stable-prefix", type=int, metavar="N",
                        help="messages that stay whatever else goes (default: the provider's "
                             "prefix; 1, the task, for the bundled session)")
    args = parser.parse_args(argv)
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="backslashreplace")
    plt = None
    if args.plot is not None:
        try:  # before the replay, so a missing matplotlib fails fast
            importlib.import_module("matplotlib").use("Agg")
            plt = importlib.import_module("matplotlib.pyplot")
        except ImportError:
            print("agent_session.py: error: --plot needs matplotlib (pip install matplotlib)",
                  file=sys.stderr)
            return 1
    path: Path = args.transcript or BUNDLED
    try:
        loaded = load(path, args.facts, lift_system=False)
    except ReplayError as exc:
        print(f"agent_session.py: error: {exc}", file=sys.stderr)
        return 2
    system, transcript = loaded.system, loaded.messages
    facts = [text for text, _ in loaded.facts]
    try:
        bpe_openai = importlib.import_module("bpe_openai")
        counter: qc.TokenCounter | None = bpe_openai.get_encoding("o200k_base")
        unit = "o200k tokens"
    except ImportError:
        counter, unit = None, "estimated tokens"

    # The bundled session's first request is the task: it stays whatever else goes.
    stable = args.stable_prefix if args.stable_prefix is not None else (
        1 if args.transcript is None else None)
    requests, history, floods = replay(system, transcript, args.max_tokens, counter, facts,
                                       stable)
    print(f"Replaying {len(transcript)} {loaded.format} messages from {path.name}; prompt budget "
          f"{args.max_tokens:,} {unit}\n")
    print(f"{'req':>3} {'msg':>4}  {'from':<4} {'tier':<6} {'full':>7} {'trimmed':>7} {'sent':>7} "
          f"{'cached':>7}  {'cache':<7} {'kept':>4} {'elided':>6}")
    for r in requests:
        print(f"{r.number:>3} {r.message:>4}  {r.kind:<4} {r.tier or '-':<6} {r.full:>7,} "
              f"{r.trimmed:>7,} {r.sent:>7,} {r.cached:>7,}  {r.cache:<7} {r.kept:>4} {r.elided:>6}"
              + ("  over budget: the open turn alone" if r.over else ""))
    summarize(requests, history, floods, system, counter, unit)
    if plt is not None:
        plot(plt, requests, args.plot)
        print(f"\nplot written to {args.plot}")
    return 0


def summarize(requests: list[Request], history: list[Message], floods: int, system: str,
              counter: qc.TokenCounter | None, unit: str) -> None:
    if not requests:
        print("\nThe transcript never calls the model: nothing to summarise.")
        return
    full = sum(r.full for r in requests)
    sent = sum(r.sent for r in requests)
    # Provider cost in input-token equivalents: cached tokens read at 0.1, the rest written
    # at 1.25. The baseline sends the whole history each time, so all it sent before is cached.
    cost = sum(0.1 * r.cached + 1.25 * (r.sent - r.cached) for r in requests)
    present, checks = (sum(r.facts[i] for r in requests) for i in (0, 1))
    base = sum(0.1 * before + 1.25 * (r.full - before)
               for before, r in zip([0] + [r.full for r in requests], requests))
    tiers = Counter(r.tier for r in requests if r.tier)
    cache = Counter(r.cache for r in requests)
    whole = [{"role": "user", "content": system}, *history]
    estimate = qc.trim(whole, max_tokens=10**12).tokens_before
    print("\nSummary")
    print(f"  requests            {len(requests)}: {sent:,} {unit} sent in all, {full:,} for the "
          f"full history each time ({1 - sent / full:.1%} less)")
    print(f"  last prompt         {requests[-1].sent:,} of {requests[-1].full:,} {unit}")
    if counter is not None:
        real = qc.trim(whole, token_counter=counter, max_tokens=10**12).tokens_before
        print(f"  whole history       {real:,} o200k tokens; qc.count_tokens says {estimate:,}")
    else:
        print(f"  whole history       {estimate:,} tokens by qc.count_tokens "
              "(pip install bpe-openai for o200k)")
    print(f"  floods withheld     {floods} tool output(s) replaced by a notice")
    print("  effort tiers        " + ", ".join(f"{tier} {tiers[tier]}" for tier in
                                           ("off", "low", "medium", "high") if tiers[tier]))
    print(f"  prompt cache        {cache['keep']} keeps, {cache['rewrite']} rewrites; "
          f"provider cost {cost:,.0f} vs {base:,.0f} for the full history "
          f"({abs(1 - cost / base):.1%} {'less' if cost <= base else 'more'})")
    if checks:
        print(f"  facts retained      {present} of {checks} checks ({present / checks:.0%}): "
              "each fact at every call after it first appears")


def plot(plt: ModuleType, requests: list[Request], path: Path) -> None:
    figure, axes = plt.subplots(figsize=(10, 5))
    numbers = [r.number for r in requests]
    for values, label in (([r.full for r in requests], "full history"),
                          ([r.trimmed for r in requests], "stateless qc.trim"),
                          ([r.sent for r in requests], "sent (qc.Conversation)")):
        axes.plot(numbers, values, label=label, marker="o", markersize=3)
    axes.set(xlabel="request", ylabel="prompt tokens", title="Prompt size per request")
    axes.legend()
    axes.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    plt.close(figure)


if __name__ == "__main__":
    raise SystemExit(main())
