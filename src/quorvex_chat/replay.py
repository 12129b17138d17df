"""Replay a transcript call by call under several prompt policies, and compare them.

    python -m quorvex_chat.replay                          # the four bundled sessions
    python -m quorvex_chat.replay FILE.json --max-tokens 8000 32000 --facts facts.txt
    python -m quorvex_chat.replay --plot cost_vs_facts.png # also chart cost against facts

A model call is made wherever the transcript's next message is the model's (an assistant
message) and once after its last message. At each call every policy builds its prompt from
the history so far:

- `none`: the whole history;
- `last-N`: the system prompt and the newest messages that fit, starting at a request;
- `clear-tools`: once the history is over budget, every tool result but the 3 newest is
  replaced by a placeholder (provider-side context editing);
- `trim`: `quorvex_chat.trim(history, max_tokens=...)`, stateless;
- `Conversation`: one `quorvex_chat.Conversation(max_tokens=...)` for the whole replay.

Per policy it reports the tokens sent, the share of them that repeats the previous prompt's
prefix (cached only from `MIN_CACHED` tokens on, as real caches do), the cost under each
provider's cache prices relative to sending the whole history, the calls over budget, the
prompts that break the provider's ordering rules, and the share of facts present where
they are needed. A facts file has one fact per line, optionally followed by a tab and the
index of the message from which it is needed (default: from where it first appears); a
fact counts at the first call after that message.

Every policy counts with the library's default counter, as a user who passes none would;
prompts are measured in o200k tokens when `bpe-openai` is installed, else by that counter.
OpenAI transcripts are also replayed as Anthropic Messages (`--format`): the system prompt
becomes the `system` parameter, tool calls `tool_use` blocks and tool messages `tool_result`
blocks of one user message. `--format responses gemini langchain` replays them as OpenAI
Responses items (a reasoning item before each batch of calls, its encrypted content 400
characters), Gemini contents (from the Anthropic form) and LangChain messages, the system
prompt beside them; those formats run `none`, `trim` and `Conversation` only.
"""

from __future__ import annotations

import argparse
import functools
import importlib
import json
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

from ._conversation import Conversation, digest
from ._counting import count_tokens
from ._formats import BASE, Viewer, plain
from ._formats import Base as Provider
from ._rules import prompt_errors
from ._history import Reader, detect_provider, is_request
from ._tables import FLAGS, PART_TOKENS
from ._trim import trim

Message = dict[str, Any]
Prompt = Sequence[Message]
Policy = Callable[[list[Message]], Prompt]

SESSIONS = Path(__file__).resolve().parent / "sessions"
#: Cache prices in uncached-input-token equivalents: (read, write) per provider. Anthropic
#: reads cached input at 0.1x and writes it at 1.25x; OpenAI reads at 0.1x (the GPT-5
#: family) and charges no premium to write.
PRICES: dict[Provider, tuple[float, float]] = {"anthropic": (0.1, 1.25), "openai": (0.1, 1.0)}
#: Below this many tokens a provider caches nothing, so a shorter reused prefix is not read
#: from its cache.
MIN_CACHED = 1024
#: The results the provider-style policy keeps whole.
CLEAR_KEEP = 3
POLICIES = ("none", "last-N", "clear-tools", "trim", "Conversation")


class ReplayError(Exception):
    """A transcript or facts file that cannot be replayed; the message is one line."""


@dataclass
class Transcript:
    name: str
    provider: Provider
    system: str
    messages: list[Message]
    facts: list[tuple[str, int | None]] = field(default_factory=list)


def load(path: Path, facts: Path | None = None) -> Transcript:
    """A transcript file: an OpenAI message list, Anthropic messages as a list, or an object
    with "messages" (and "system"). Its facts: `facts`, or FILE.facts.txt beside it."""
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, ValueError) as exc:
        raise ReplayError(f"{path}: cannot read it as JSON: {exc}") from None
    system: Any = ""
    messages = data.get("messages") if isinstance(data, dict) else data
    if isinstance(data, dict):
        system = data.get("system", "")
    if not isinstance(messages, list) or not all(isinstance(m, dict) for m in messages):
        raise ReplayError(f"{path}: expected a list of message objects, or an object with "
                          f'"messages"')
    if isinstance(system, list):
        system = "\n".join(str(block.get("text", "")) for block in system
                           if isinstance(block, dict))
    provider = BASE[detect_provider(messages)]
    sidecar = path.with_name(path.name.removesuffix(".json") + ".facts.txt")
    known = read_facts(facts or sidecar) if facts or sidecar.exists() else []
    if provider == "openai" and not system:  # the system message becomes the system prompt
        leading = [m for m in messages[:1] if m.get("role") in ("system", "developer")]
        system = str(leading[0].get("content", "")) if leading else ""
        messages = messages[len(leading):]
        known = [(text, None if where is None else max(where - len(leading), 0))
                 for text, where in known]
    return Transcript(path.name.removesuffix(".json"), provider, str(system), messages, known)


def read_facts(path: Path) -> list[tuple[str, int | None]]:
    try:
        lines = path.read_text(encoding="utf-8").splitlines()
    except (OSError, UnicodeDecodeError) as exc:
        raise ReplayError(f"{path}: cannot read it: {exc}") from None
    out: list[tuple[str, int | None]] = []
    for number, line in enumerate(lines, start=1):
        text, _, where = line.partition("\t")
        if not text.strip():
            continue
        if where and not where.strip().isdigit():
            raise ReplayError(f"{path}:{number}: the index after the tab must be a number")
        out.append((text, int(where) if where.strip() else None))
    return out


Converted = tuple[str, list[Message], list[tuple[str, int | None]]]


def as_openai(transcript: Transcript) -> Converted:
    """(system, messages, facts) for OpenAI: the system prompt leads the messages."""
    facts = [(text, None if where is None else where + 1) for text, where in transcript.facts]
    return "", [{"role": "system", "content": transcript.system}, *transcript.messages], facts


def as_anthropic(transcript: Transcript) -> Converted:
    """(system, messages, facts) for Anthropic: tool calls as tool_use blocks, each batch of
    tool messages as the tool_result blocks opening one user message."""
    if transcript.provider == "anthropic":
        return transcript.system, transcript.messages, transcript.facts
    out: list[Message] = []
    moved: list[int] = []  # the index in `out` of every input message

    def add(role: str, blocks: list[Message]) -> None:
        if out and out[-1]["role"] == role:
            out[-1]["content"].extend(blocks)
        else:
            out.append({"role": role, "content": blocks})

    for message in transcript.messages:
        role, content = message.get("role"), message.get("content")
        text = [{"type": "text", "text": content}] if isinstance(content, str) and content else []
        if role == "assistant":
            calls = [{"type": "tool_use", "id": call["id"], "name": call["function"]["name"],
                      "input": json.loads(call["function"].get("arguments") or "{}")}
                     for call in message.get("tool_calls") or ()]
            add("assistant", text + calls)
        elif role == "tool":
            add("user", [{"type": "tool_result", "tool_use_id": message["tool_call_id"],
                          "content": content}])
        elif role not in ("system", "developer"):
            add("user", text or [{"type": "text", "text": json.dumps(content)}])
        moved.append(max(len(out) - 1, 0))
    facts = [(text, None if where is None else moved[where]) for text, where in transcript.facts]
    return transcript.system, out, facts


def as_responses(transcript: Transcript) -> Converted:
    """(system, items, facts) for OpenAI Responses: the system prompt as instructions."""
    _, messages, facts = as_openai(transcript)
    items: list[Message] = []
    moved: list[int] = []
    for message in messages[1:]:
        role, content = message["role"], message.get("content")
        if role == "tool":
            items.append({"type": "function_call_output", "call_id": message["tool_call_id"],
                          "output": content})
        elif role == "assistant":
            if message.get("tool_calls"):
                items.append({"type": "reasoning", "id": f"rs_{len(items)}", "summary": [],
                              "encrypted_content": "E" * 400})
                items += [{"type": "function_call", "call_id": call["id"],
                           "name": call["function"]["name"],
                           "arguments": call["function"].get("arguments") or "{}"}
                          for call in message["tool_calls"]]
            if content:
                items.append({"type": "message", "role": "assistant", "content": [
                    {"type": "output_text", "text": content}]})
        else:
            items.append({"role": role, "content": content})
        moved.append(max(len(items) - 1, 0))
    return transcript.system, items, [
        (text, None if where is None else moved[where - 1]) for text, where in facts]


def as_gemini(transcript: Transcript) -> Converted:
    """(system, contents, facts) for Gemini, from the Anthropic form."""
    system, messages, facts = as_anthropic(transcript)
    contents: list[Message] = []
    for message in messages:
        content = message["content"]
        parts: list[Message] = []
        for part in [{"type": "text", "text": content}] if isinstance(content, str) else content:
            if part["type"] == "tool_use":
                parts.append({"functionCall": {"name": part["name"], "args": part["input"]}})
            elif part["type"] == "tool_result":
                parts.append({"functionResponse": {"name": "tool",
                                                   "response": {"output": part["content"]}}})
            else:
                parts.append({"text": part.get("text", "")})
        contents.append({"role": "model" if message["role"] == "assistant" else "user",
                         "parts": parts})
    return system, contents, facts


def as_langchain(transcript: Transcript) -> Converted:
    """(system, messages, facts) as LangChain messages (needs langchain-core)."""
    from langchain_core.messages import AIMessage, HumanMessage, ToolMessage
    _, messages, facts = as_openai(transcript)
    out: list[Any] = []
    for message in messages[1:]:
        role, content = message["role"], message.get("content")
        if role == "tool":
            out.append(ToolMessage(content=content, tool_call_id=message["tool_call_id"]))
        elif role == "assistant":
            out.append(AIMessage(content=content or "", tool_calls=[
                {"name": call["function"]["name"], "id": call["id"],
                 "args": json.loads(call["function"].get("arguments") or "{}")}
                for call in message.get("tool_calls") or ()]))
        else:
            out.append(HumanMessage(content=content))
    return transcript.system, out, [
        (text, None if where is None else where - 1) for text, where in facts]


CONVERTERS: dict[str, Callable[[Transcript], Converted]] = {
    "openai": as_openai, "anthropic": as_anthropic, "responses": as_responses,
    "gemini": as_gemini, "langchain": as_langchain}


def calls(messages: Sequence[Any]) -> list[int]:
    """History lengths at which the model is called: before each run of the model's own
    messages (Responses items come one per reasoning step, call and message), and after
    the last message."""
    viewer = Viewer()
    mine = [viewer.view(index, message).get("role") == "assistant"
            for index, message in enumerate(messages)]
    points = [index for index in range(1, len(messages)) if mine[index] and not mine[index - 1]]
    if messages and not mine[-1]:
        points.append(len(messages))
    return points


def last_n(budget: int, provider: Provider, count: Callable[[Message], int],
           overhead: int) -> Policy:
    """The system prompt and the newest messages that fit, starting at a request."""
    def policy(history: list[Message]) -> Prompt:
        head = 1 if provider == "openai" and history and history[0]["role"] == "system" else 0
        total = overhead + sum(count(message) for message in history[:head])
        start = len(history)
        while start > head and total + count(history[start - 1]) <= budget:
            start -= 1
            total += count(history[start])
        while start < len(history) and not is_request(history[start], provider):
            start += 1
        if start == len(history):  # not even the last request fits: send it alone
            start = max(index for index in range(head, len(history))
                        if is_request(history[index], provider)) if any(
                is_request(m, provider) for m in history[head:]) else head
        return history[:head] + history[start:]
    return policy


def clear_tools(budget: int, provider: Provider, count: Callable[[Message], int],
                overhead: int) -> Policy:
    """Once over budget, every tool result but the newest `CLEAR_KEEP` becomes a placeholder."""
    placeholder = "[tool result cleared]"

    def policy(history: list[Message]) -> Prompt:
        if overhead + sum(count(message) for message in history) <= budget:
            return history
        places = [(index, part) for index, message in enumerate(history)
                  for part in (range(len(message["content"])) if provider == "anthropic"
                               and isinstance(message.get("content"), list) else [None])
                  if (part is None and message.get("role") == "tool")
                  or (part is not None and message["content"][part].get("type") == "tool_result")]
        clear = places[:max(len(places) - CLEAR_KEEP, 0)]
        out = list(history)
        for index, part in clear:
            message = out[index]
            if part is None:
                out[index] = {**message, "content": placeholder}
            else:
                content = list(message["content"])
                content[part] = {**content[part], "content": placeholder}
                out[index] = {**message, "content": content}
        return out
    return policy


@dataclass
class Score:
    """One policy's figures over one or more replays."""

    calls: int = 0
    sent: int = 0
    reused: int = 0
    cost: dict[str, float] = field(default_factory=lambda: {"anthropic": 0.0, "openai": 0.0})
    over: int = 0
    invalid: int = 0
    facts_needed: int = 0
    facts_present: int = 0
    modified: int = 0
    missed: list[str] = field(default_factory=list)

    def add(self, other: Score) -> None:
        for name in ("calls", "sent", "reused", "over", "invalid", "facts_needed",
                     "facts_present", "modified"):
            setattr(self, name, getattr(self, name) + getattr(other, name))
        for provider in self.cost:
            self.cost[provider] += other.cost[provider]
        self.missed += other.missed


def measuring_counter() -> tuple[Callable[[str], int], str]:
    """o200k when bpe-openai is installed, else the library's default count."""
    try:
        encoding = importlib.import_module("bpe_openai").get_encoding("o200k_base")
    except ImportError:
        return count_tokens, "count_tokens"
    return lambda text: len(encoding.encode_ordinary(text)), "o200k"


def message_sizes(reader: Reader) -> Callable[[Message], int]:
    """Tokens of a message by `reader`, measured once per message object."""
    sizes: dict[int, tuple[Message, int]] = {}  # by id, holding the message so ids stay put

    def size(message: Message) -> int:
        key = id(message)
        if key not in sizes or sizes[key][0] is not message:
            sizes[key] = (message, reader.measure(0, Viewer().view(0, message))[1])
        return sizes[key][1]
    return size


def replay(system: str, messages: list[Message], provider: str, budget: int,
           facts: Sequence[tuple[str, int | None]], measure: Callable[[str], int]
           ) -> dict[str, Score]:
    """Every policy's figures for one transcript in one format at one budget."""
    measure = functools.lru_cache(maxsize=None)(measure)
    reader = Reader(FLAGS, PART_TOKENS, measure)
    policy_count = functools.lru_cache(maxsize=None)(count_tokens)
    policy_reader = Reader(FLAGS, PART_TOKENS, policy_count)
    size, policy_size = message_sizes(reader), message_sizes(policy_reader)

    overhead = measure(system) if system else 0
    policy_overhead = policy_count(system) if system else 0
    options: dict[str, Any] = {"system": system} if system else {}
    conversation: Conversation[Message] = Conversation(max_tokens=budget, **options)
    policies: dict[str, Policy] = {"none": lambda history: history}
    if provider in ("openai", "anthropic"):
        policies["last-N"] = last_n(budget, provider, policy_size,  # type: ignore[arg-type]
                                    policy_overhead)
        policies["clear-tools"] = clear_tools(budget, provider,  # type: ignore[arg-type]
                                              policy_size, policy_overhead)
    policies["trim"] = lambda history: list(trim(history, max_tokens=budget,
                                                 token_counter=policy_count,
                                                 **options).messages)
    policies["Conversation"] = lambda history: list(conversation.prompt(history).messages)
    points = calls(messages)
    texts = [json.dumps(plain(message), ensure_ascii=False, default=str)
             for message in messages]
    needed_at: list[tuple[str, int | None]] = []
    for text, where in facts:
        if where is None:
            where = next((index for index, body in enumerate(texts) if text in body), None)
        if where is not None:
            needed_at.append((text, next((point for point in points if point > where), None)))
    scores = {name: Score() for name in policies}
    previous: dict[str, Prompt] = {name: [] for name in policies}
    before = [digest(message) for message in messages]
    for point in points:
        history = messages[:point]
        for name, policy in policies.items():
            prompt = policy(history)
            score = scores[name]
            tokens = overhead + sum(size(message) for message in prompt)
            common = overhead
            for old, new in zip(previous[name], prompt):
                if old is not new and old != new:
                    break
                common += size(new)
            cached = common if common >= MIN_CACHED and previous[name] else 0
            for key, (read_ratio, write_ratio) in PRICES.items():
                score.cost[key] += read_ratio * cached + write_ratio * (tokens - cached)
            score.calls += 1
            score.sent += tokens
            score.reused += cached
            score.over += tokens > budget
            score.invalid += bool(prompt_errors(prompt, provider))
            needed = [text for text, at in needed_at if at == point]
            if needed:
                body = system + "\n" + json.dumps(plain(list(prompt)), ensure_ascii=False,
                                                   default=str)
                score.facts_needed += len(needed)
                present = [text in body for text in needed]
                score.facts_present += sum(present)
                score.missed += [text for text, ok in zip(needed, present) if not ok]
            previous[name] = prompt
    changed = sum(a != digest(message) for a, message in zip(before, messages))
    for score in scores.values():
        score.modified += changed
    return scores


def run(transcripts: Iterable[Transcript], budgets: Sequence[int], formats: Sequence[str],
        measure: Callable[[str], int]) -> dict[int, dict[str, dict[str, Score]]]:
    """Scores by budget, then by "session/format" (and "pooled"), then by policy."""
    results: dict[int, dict[str, dict[str, Score]]] = {}
    for transcript in transcripts:
        for fmt in formats:
            if transcript.provider == "anthropic" and fmt == "openai":
                continue
            if transcript.provider == "anthropic" and fmt in ("responses", "langchain"):
                continue
            system, messages, facts = CONVERTERS[fmt](transcript)
            for budget in budgets:
                scores = replay(system, messages, fmt, budget, facts, measure)
                table = results.setdefault(budget, {})
                table[f"{transcript.name}/{fmt}"] = scores
                pooled = table.setdefault("pooled", {})
                for name, score in scores.items():
                    pooled.setdefault(name, Score()).add(score)
    for table in results.values():  # pooled last
        table["pooled"] = table.pop("pooled")
    return results


def report(results: dict[int, dict[str, dict[str, Score]]], unit: str,
           markdown: bool = False) -> str:
    lines: list[str] = []
    head = ("policy", "tokens sent", "prefix reused", "cost A", "cost O", "over budget",
            "invalid", "facts")
    for budget, table in results.items():
        for where, scores in table.items():
            base = scores["none"]
            lines.append(f"\n{where}, budget {budget:,} ({unit}; cost relative to `none`, "
                         f"A = Anthropic, O = OpenAI prices)")
            if markdown:
                lines += ["", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
            else:
                lines.append(f"  {head[0]:<13}{head[1]:>12}{head[2]:>15}{head[3]:>8}"
                             f"{head[4]:>8}{head[5]:>13}{head[6]:>9}{head[7]:>13}")
            for name, score in scores.items():
                facts = (f"{score.facts_present}/{score.facts_needed} "
                         f"({score.facts_present / score.facts_needed:.0%})"
                         if score.facts_needed else "-")
                row = (name, f"{score.sent:,}", f"{score.reused / max(score.sent, 1):.0%}",
                       f"{score.cost['anthropic'] / max(base.cost['anthropic'], 1e-9):.2f}",
                       f"{score.cost['openai'] / max(base.cost['openai'], 1e-9):.2f}",
                       f"{score.over} of {score.calls}", str(score.invalid), facts)
                if markdown:
                    lines.append("| " + " | ".join(row) + " |")
                else:
                    lines.append(f"  {row[0]:<13}{row[1]:>12}{row[2]:>15}{row[3]:>8}"
                                 f"{row[4]:>8}{row[5]:>13}{row[6]:>9}{row[7]:>13}")
                if score.modified:
                    lines.append(f"  !! {name}: {score.modified} input messages modified")
    return "\n".join(lines)


def plot(results: dict[int, dict[str, dict[str, Score]]], path: Path) -> None:
    matplotlib = importlib.import_module("matplotlib")
    matplotlib.use("Agg")
    plt = importlib.import_module("matplotlib.pyplot")
    figure, axes = plt.subplots(figsize=(8, 5))
    for budget, table in results.items():
        pooled = table["pooled"]
        base = pooled["none"].cost["anthropic"]
        for name, score in pooled.items():
            x = score.cost["anthropic"] / max(base, 1e-9)
            y = score.facts_present / max(score.facts_needed, 1)
            axes.scatter([x], [y], label=f"{name} @ {budget:,}")
            axes.annotate(f"{name} {budget // 1000}k", (x, y), fontsize=8)
    axes.set(xlabel="cost relative to no trimming (Anthropic prices)",
             ylabel="facts present when needed", title="Prompt policies, pooled")
    axes.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    plt.close(figure)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvex_chat.replay",
                                     description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("files", nargs="*", type=Path, metavar="FILE.json",
                        help="transcripts (default: the four bundled sessions)")
    parser.add_argument("--max-tokens", type=int, nargs="+", default=[8000, 32000],
                        metavar="N", help="budgets (default 8000 32000)")
    parser.add_argument("--facts", type=Path, metavar="FACTS.txt",
                        help="facts for a single FILE (default: FILE.facts.txt beside it)")
    parser.add_argument("--format", choices=(*CONVERTERS, "both"), nargs="+",
                        default=["both"], help="replay OpenAI transcripts in these formats "
                        "(both: openai and anthropic, the default)")
    parser.add_argument("--plot", type=Path, metavar="FILE.png",
                        help="also chart cost against facts retained (needs matplotlib)")
    parser.add_argument("--markdown", action="store_true", help="print Markdown tables")
    args = parser.parse_args(argv)
    files = args.files or sorted(SESSIONS.glob("*.json"))
    if args.facts and len(files) != 1:
        parser.error("--facts goes with exactly one FILE")
    if any(budget < 0 for budget in args.max_tokens):
        parser.error("--max-tokens must not be negative")
    try:
        transcripts = [load(path, args.facts) for path in files]
    except ReplayError as exc:
        print(f"replay: error: {exc}", file=sys.stderr)
        return 2
    formats = [name for fmt in args.format
               for name in (("openai", "anthropic") if fmt == "both" else (fmt,))]
    measure, unit = measuring_counter()
    results = run(transcripts, args.max_tokens, formats, measure)
    print(report(results, unit, args.markdown))
    if args.plot is not None:
        try:
            plot(results, args.plot)
        except ImportError:
            print("replay: error: --plot needs matplotlib (pip install matplotlib)",
                  file=sys.stderr)
            return 1
        print(f"\nplot written to {args.plot}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
