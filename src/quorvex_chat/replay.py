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
they are needed.

A transcript is a message list in any format `trim` reads, an object with "messages" (and
"system"), or the bundled example's form; a leading system message becomes the system
prompt. Every policy counts with the library's default counter, as a user who passes none
would; prompts are measured in o200k tokens when `bpe-openai` is installed, else by that
counter. Chat Completions transcripts are also replayed as Anthropic Messages: the system
prompt becomes the `system` parameter, tool calls `tool_use` blocks and tool messages
`tool_result` blocks of one user message. `--format responses gemini langchain` replays them
as OpenAI Responses items (a reasoning item before each batch of calls, its encrypted
content 400 characters), Gemini contents (from the Anthropic form) and LangChain messages,
the system prompt beside them; those formats run `none`, `trim` and `Conversation` only.
Anthropic transcripts convert to Gemini; a transcript in any other format replays as it is.
"""

from __future__ import annotations

import argparse
import functools
import importlib
import importlib.util
import json
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

from ._conversation import Conversation
from ._counting import count_tokens
from ._formats import FORMAT, Provider, plain, prompt_errors, views_of
from ._measure import Meter
from ._reading import digest
from ._recall import HANDLE_PATTERN
from ._tables import FLAGS, PART_TOKENS
from ._trim import trim


Message = dict[str, Any]
Prompt = Sequence[Message]
Policy = Callable[[list[Message]], Prompt]
Facts = list[tuple[str, "int | None"]]

SESSIONS = Path(__file__).resolve().parent / "sessions"
#: Cache prices in uncached-input-token equivalents: (read, write) per provider. Anthropic
#: reads cached input at 0.1x and writes it at 1.25x; OpenAI reads at 0.1x (the GPT-5
#: family) and charges no premium to write.
PRICES: dict[str, tuple[float, float]] = {"anthropic": (0.1, 1.25), "openai": (0.1, 1.0)}
#: Below this many tokens a provider caches nothing, so a shorter reused prefix is not read
#: from its cache.
MIN_CACHED = 1024
#: The results the provider-style policy keeps whole.
CLEAR_KEEP = 3


class ReplayError(Exception):
    """A transcript or facts file that cannot be replayed; the message is one line."""


@dataclass
class Transcript:
    name: str
    #: The format the messages are in, as `trim` reads it.
    format: Provider
    system: str
    messages: list[Message]
    facts: Facts = field(default_factory=list)


def load(path: Path, facts: Path | None = None, *, lift_system: bool = True) -> Transcript:
    """A transcript file: a message list in any format `trim` reads, an object with
    "messages" (and "system"), or the bundled example's form ("purpose", "facts",
    "messages"). Its facts: `facts`, or FILE.facts.txt beside it. A leading system message
    becomes the system prompt unless `lift_system` is false. ReplayError says, in one line,
    what is wrong with either."""
    data = _read_json(path)
    messages = data.get("messages") if isinstance(data, dict) else data
    if not isinstance(messages, list) or not messages:
        raise ReplayError(f"{path}: expected a non-empty list of messages, or an object with "
                          f'"messages"')
    system: Any = data.get("system", "") if isinstance(data, dict) else ""
    if isinstance(data, dict) and "purpose" in data:
        system, messages = from_bundled(path, data)
    system = _system_text(path, system)
    fmt = _checked_format(path, system, messages)
    sidecar = path.with_name(path.name.removesuffix(".json") + ".facts.txt")
    known = read_facts(facts or sidecar) if facts or sidecar.exists() else []
    if lift_system and not system and FORMAT[fmt].shape.instructions(views_of(messages[:1])):
        # A leading system message becomes the system prompt, billed beside the messages.
        system, messages = str(plain(messages[0]).get("content", "")), messages[1:]
        known = [(text, None if where is None else max(where - 1, 0)) for text, where in known]
    return Transcript(path.name.removesuffix(".json"), fmt, system, messages, known)


def _read_json(path: Path) -> Any:
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except UnicodeDecodeError as exc:
        raise ReplayError(f"{path}: not UTF-8 text (byte {exc.start})") from None
    except OSError as exc:
        raise ReplayError(f"{path}: cannot read it: {exc.strerror or exc}") from None
    except (json.JSONDecodeError, RecursionError) as exc:
        reason = getattr(exc, "msg", "nested too deeply")
        raise ReplayError(f"{path}: not valid JSON: {reason}") from None


def _system_text(path: Path, system: object) -> str:
    if isinstance(system, list):  # Anthropic system blocks
        system = "\n".join(str(block.get("text", "")) for block in system
                           if isinstance(block, dict))
    if not isinstance(system, str):
        raise ReplayError(f'{path}: "system" must be a string or a list of text blocks')
    return system


def _checked_format(path: Path, system: str, messages: list[Any]) -> Provider:
    """The format of `messages`, each of them readable, the whole encodable as UTF-8."""
    try:
        fmt = trim(messages).provider
        json.dumps([system, messages], ensure_ascii=False).encode("utf-8")
    except (TypeError, ValueError) as exc:
        raise ReplayError(f"{path}: {str(exc).splitlines()[0]}") from None
    except RecursionError:
        raise ReplayError(f"{path}: a message nested too deeply") from None
    assert fmt is not None  # the list is not empty
    return fmt


def from_bundled(path: Path, data: dict[str, Any]) -> tuple[str, list[Message]]:
    """The bundled example's form as an Anthropic system prompt and message list: roles
    system, user, assistant, thinking and tool, each tool output the result of a `tool_use`
    whose command is the output's first line."""
    system = [data.get("purpose") or "", *("- " + fact for fact in data.get("facts", []))]
    messages: list[Message] = []

    def add(role: str, block: Message) -> None:
        if messages and messages[-1]["role"] == role:
            messages[-1]["content"].append(block)
        else:
            messages.append({"role": role, "content": [block]})

    for number, item in enumerate(data["messages"], start=1):
        role, text = (item.get("role"), item.get("content")) if isinstance(item, dict) else (0, 0)
        if not isinstance(text, str):
            raise ReplayError(f'{path}: message {number}: "content" must be a string')
        if role == "system":
            system.insert(0, text)
        elif role in ("user", "assistant"):
            add(role, {"type": "text", "text": text})
        elif role == "thinking":
            add("assistant", {"type": "thinking", "thinking": text, "signature": ""})
        elif role == "tool":
            call = f"toolu_{number:02d}"
            add("assistant", {"type": "tool_use", "id": call, "name": "shell",
                              "input": {"command": text.partition("\n")[0].removeprefix("$ ")}})
            add("user", {"type": "tool_result", "tool_use_id": call, "content": text})
        else:
            raise ReplayError(f"{path}: message {number}: unknown role {role!r}")
    return "\n".join(system), messages


def read_facts(path: Path) -> Facts:
    """One fact a line, optionally followed by a tab and the index of the message from
    which it is needed; a fact without one is needed at the final call."""
    try:
        lines = path.read_text(encoding="utf-8").splitlines()
    except (OSError, UnicodeDecodeError) as exc:
        raise ReplayError(f"{path}: cannot read it: {exc}") from None
    out: Facts = []
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
    if transcript.format == "anthropic":
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


def as_it_is(transcript: Transcript) -> Converted:
    return transcript.system, transcript.messages, transcript.facts


CONVERTERS: dict[str, Callable[[Transcript], Converted]] = {
    "openai": as_openai, "anthropic": as_anthropic, "responses": as_responses,
    "gemini": as_gemini, "langchain": as_langchain}
#: The formats a transcript can be replayed in, by the format it is in: the converters read
#: Chat Completions, and Anthropic Messages for Gemini. Any other format replays as it is.
CONVERTIBLE: dict[str, tuple[str, ...]] = {
    "openai": ("openai", "anthropic", "responses", "gemini", "langchain"),
    "anthropic": ("anthropic", "gemini")}
#: The formats replayed when none are named: the transcript's own, and Anthropic's for
#: Chat Completions, which counts the same content.
DEFAULT_FORMATS: dict[str, tuple[str, ...]] = {"openai": ("openai", "anthropic")}


def forms(transcript: Transcript, formats: Sequence[str] | None
          ) -> list[tuple[str, Callable[[Transcript], Converted]]]:
    """(format, converter) of every format `transcript` is replayed in."""
    own = transcript.format
    if formats is None:
        formats = DEFAULT_FORMATS.get(own, (own,))
    if own not in CONVERTIBLE:
        return [(own, as_it_is)] if own in formats else []
    return [(fmt, CONVERTERS[fmt]) for fmt in formats if fmt in CONVERTIBLE[own]]


def calls(messages: Sequence[Any]) -> list[int]:
    """History lengths at which the model is called: before each run of the model's own
    messages (Responses items come one per reasoning step, call and message), and after
    the last message."""
    mine = [view.get("role") == "assistant" for view in views_of(messages)]
    points = [index for index in range(1, len(messages)) if mine[index] and not mine[index - 1]]
    if messages and not mine[-1]:
        points.append(len(messages))
    return points


def last_n(budget: int, fmt: str, count: Callable[[Message], int], overhead: int) -> Policy:
    """The leading instructions and the newest messages that fit, starting at a request."""
    shape = FORMAT[fmt].shape

    def policy(history: list[Message]) -> Prompt:
        views = views_of(history)
        head = min(shape.instructions(views), 1)
        total = overhead + sum(count(message) for message in history[:head])
        start = len(history)
        while start > head and total + count(history[start - 1]) <= budget:
            start -= 1
            total += count(history[start])
        while start < len(history) and not shape.is_request(views[start]):
            start += 1
        if start == len(history):  # not even the last request fits: send it alone
            requests = [index for index in range(head, len(history))
                        if shape.is_request(views[index])]
            start = requests[-1] if requests else head
        return history[:head] + history[start:]
    return policy


def clear_tools(budget: int, count: Callable[[Message], int], overhead: int) -> Policy:
    """Once over budget, every tool result but the newest `CLEAR_KEEP` becomes a placeholder."""
    placeholder = "[tool result cleared]"

    def policy(history: list[Message]) -> Prompt:
        if overhead + sum(count(message) for message in history) <= budget:
            return history
        places: list[tuple[int, int | None]] = []
        for index, message in enumerate(history):
            content = message.get("content")
            if message.get("role") == "tool":
                places.append((index, None))
            elif isinstance(content, list):
                places += [(index, part) for part, block in enumerate(content)
                           if isinstance(block, dict) and block.get("type") == "tool_result"]
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
    #: Facts not in the prompt but in an original that a handle in it names.
    facts_recallable: int = 0
    #: Tokens of those originals, the smallest holding each such fact: what the recall
    #: rounds add to the prompt.
    recall_tokens: int = 0
    modified: int = 0
    missed: list[str] = field(default_factory=list)

    def add(self, other: Score) -> None:
        for name in ("calls", "sent", "reused", "over", "invalid", "facts_needed",
                     "facts_present", "facts_recallable", "recall_tokens", "modified"):
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


def message_sizes(count: Callable[[str], int]) -> Callable[[Message], int]:
    """Tokens of a message by `count`, measured once per message object."""
    meter = Meter(FLAGS, PART_TOKENS, count)
    sizes: dict[int, tuple[Message, int]] = {}  # by id, holding the message so ids stay put

    def size(message: Message) -> int:
        key = id(message)
        if key not in sizes or sizes[key][0] is not message:
            sizes[key] = (message, meter.measure(0, views_of([message])[0])[1])
        return sizes[key][1]
    return size


def needed_at(facts: Sequence[tuple[str, int | None]], points: Sequence[int]
              ) -> list[tuple[str, int | None]]:
    """Each fact with the call that needs it: the first after its message, or the final
    call for a fact given without one."""
    final = points[-1] if points else None
    return [(text, final if where is None else
             next((point for point in points if point > where), None))
            for text, where in facts]


def policies(system: str, fmt: str, budget: int
             ) -> tuple[dict[str, Policy], dict[str, Callable[[str], str]]]:
    """Every policy replayed in `fmt`, each counting with the library's default counter,
    and the recall of those whose notices name originals."""
    count = functools.lru_cache(maxsize=None)(count_tokens)
    size = message_sizes(count)
    overhead = count(system) if system else 0
    options: dict[str, Any] = {"system": system} if system else {}
    conversation: Conversation[Message] = Conversation(max_tokens=budget, **options)
    chosen: dict[str, Policy] = {"none": lambda history: history}
    if FORMAT[fmt].writes_any_part:  # the caller's own dicts, which these policies rewrite
        chosen["last-N"] = last_n(budget, fmt, size, overhead)
        chosen["clear-tools"] = clear_tools(budget, size, overhead)
    chosen["trim"] = lambda history: list(trim(history, max_tokens=budget, token_counter=count,
                                               **options).messages)
    chosen["Conversation"] = lambda history: list(conversation.prompt(history).messages)
    return chosen, {"Conversation": conversation.recall}


class _Scorer:
    """One policy's score, call by call, in measured tokens."""

    def __init__(self, system: str, fmt: str, budget: int, size: Callable[[Message], int],
                 overhead: int, count: Callable[[str], int],
                 recall: Callable[[str], str] | None = None) -> None:
        self.system, self.fmt, self.budget = system, fmt, budget
        self.size, self.overhead, self.count, self.recall = size, overhead, count, recall
        self.score = Score()
        self.previous: Prompt = []

    def call(self, prompt: Prompt, needed: Sequence[str]) -> None:
        score, size = self.score, self.size
        tokens = self.overhead + sum(size(message) for message in prompt)
        common = self.overhead
        for old, new in zip(self.previous, prompt):
            if old is not new and old != new:
                break
            common += size(new)
        cached = common if common >= MIN_CACHED and self.previous else 0
        for key, (read_ratio, write_ratio) in PRICES.items():
            score.cost[key] += read_ratio * cached + write_ratio * (tokens - cached)
        score.calls += 1
        score.sent += tokens
        score.reused += cached
        score.over += tokens > self.budget
        score.invalid += bool(prompt_errors(prompt, self.fmt))
        if needed:
            body = self.system + "\n" + json.dumps(plain(list(prompt)), ensure_ascii=False,
                                                   default=str)
            present = [text in body for text in needed]
            score.facts_needed += len(needed)
            score.facts_present += sum(present)
            missed = [text for text, ok in zip(needed, present) if not ok]
            found = self._recallable(body, missed)
            score.facts_recallable += len(found)
            score.recall_tokens += sum(found.values())
            score.missed += missed
        self.previous = prompt

    def _recallable(self, body: str, missed: list[str]) -> dict[str, int]:
        """The missed facts that an original named in the prompt holds, with the tokens of
        the smallest such original."""
        if self.recall is None or not missed:
            return {}
        originals = []
        for handle in dict.fromkeys(HANDLE_PATTERN.findall(body)):
            try:
                originals.append(self.recall(handle))
            except KeyError:
                continue
        found: dict[str, int] = {}
        for text in missed:
            holding = [self.count(original) for original in originals if text in original]
            if holding:
                found[text] = min(holding)
        return found


def replay(system: str, messages: list[Message], fmt: str, budget: int,
           facts: Sequence[tuple[str, int | None]], measure: Callable[[str], int]
           ) -> dict[str, Score]:
    """Every policy's figures for one transcript in one format at one budget."""
    measure = functools.lru_cache(maxsize=None)(measure)
    size, overhead = message_sizes(measure), measure(system) if system else 0
    chosen, recalls = policies(system, fmt, budget)
    scorers = {name: _Scorer(system, fmt, budget, size, overhead, measure, recalls.get(name))
               for name in chosen}
    points = calls(messages)
    wanted = needed_at(facts, points)
    before = [digest(message) for message in messages]
    for point in points:
        history = messages[:point]
        needed = [text for text, at in wanted if at == point]
        for name, policy in chosen.items():
            scorers[name].call(policy(history), needed)
    changed = sum(a != digest(message) for a, message in zip(before, messages))
    for scorer in scorers.values():
        scorer.score.modified += changed
    return {name: scorer.score for name, scorer in scorers.items()}


def run(transcripts: Iterable[Transcript], budgets: Sequence[int],
        formats: Sequence[str] | None, measure: Callable[[str], int]
        ) -> dict[int, dict[str, dict[str, Score]]]:
    """Scores by budget, then by "session/format" (and "pooled"), then by policy; each
    transcript in `formats` (None: its own, and Anthropic's for Chat Completions)."""
    results: dict[int, dict[str, dict[str, Score]]] = {}
    for transcript in transcripts:
        for fmt, convert in forms(transcript, formats):
            system, messages, facts = convert(transcript)
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
            "invalid", "facts", "or recall", "recall round")
    for budget, table in results.items():
        for where, scores in table.items():
            base = scores["none"]
            lines.append(f"\n{where}, budget {budget:,} ({unit}; cost relative to `none`, "
                         f"A = Anthropic, O = OpenAI prices)")
            if markdown:
                lines += ["", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
            else:
                lines.append(f"  {head[0]:<13}{head[1]:>12}{head[2]:>15}{head[3]:>8}"
                             f"{head[4]:>8}{head[5]:>13}{head[6]:>9}{head[7]:>13}"
                             f"{head[8]:>11}{head[9]:>14}")
            for name, score in scores.items():
                facts = (f"{score.facts_present}/{score.facts_needed} "
                         f"({score.facts_present / score.facts_needed:.0%})"
                         if score.facts_needed else "-")
                reach = score.facts_present + score.facts_recallable
                recall = (f"{reach / score.facts_needed:.0%}" if score.facts_needed else "-")
                round_ = (f"{score.recall_tokens // score.facts_recallable:,} tokens"
                          if score.facts_recallable else "-")
                row = (name, f"{score.sent:,}", f"{score.reused / max(score.sent, 1):.0%}",
                       f"{score.cost['anthropic'] / max(base.cost['anthropic'], 1e-9):.2f}",
                       f"{score.cost['openai'] / max(base.cost['openai'], 1e-9):.2f}",
                       f"{score.over} of {score.calls}", str(score.invalid), facts, recall,
                       round_)
                if markdown:
                    lines.append("| " + " | ".join(row) + " |")
                else:
                    lines.append(f"  {row[0]:<13}{row[1]:>12}{row[2]:>15}{row[3]:>8}"
                                 f"{row[4]:>8}{row[5]:>13}{row[6]:>9}{row[7]:>13}"
                                 f"{row[8]:>11}{row[9]:>14}")
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


FACTS_HELP = ("facts for a single FILE (default: FILE.facts.txt beside it): one string a line "
              "that a later call needs, optionally followed by a tab and the index of the "
              "message from which it is needed; a fact without an index is needed at the "
              "final call")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m quorvex_chat.replay",
                                     description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("files", nargs="*", type=Path, metavar="FILE.json",
                        help="transcripts (default: the four bundled sessions)")
    parser.add_argument("--max-tokens", type=int, nargs="+", default=[8000, 32000],
                        metavar="N", help="budgets (default 8000 32000)")
    parser.add_argument("--facts", type=Path, metavar="FACTS.txt", help=FACTS_HELP)
    parser.add_argument("--format", choices=(*CONVERTERS, "both"), nargs="+",
                        help="replay transcripts in these formats, as far as they convert "
                        "(both: openai and anthropic; default: each transcript's own, and "
                        "anthropic for openai)")
    parser.add_argument("--plot", type=Path, metavar="FILE.png",
                        help="also chart cost against facts retained (needs matplotlib)")
    parser.add_argument("--markdown", action="store_true", help="print Markdown tables")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    files = args.files or sorted(SESSIONS.glob("*.json"))
    if args.facts and len(files) != 1:
        parser.error("--facts goes with exactly one FILE")
    if any(budget < 0 for budget in args.max_tokens):
        parser.error("--max-tokens must not be negative")
    if args.plot is not None and importlib.util.find_spec("matplotlib") is None:
        print("replay: error: --plot needs matplotlib (pip install matplotlib)", file=sys.stderr)
        return 1
    try:
        transcripts = [load(path, args.facts) for path in files]
    except ReplayError as exc:
        print(f"replay: error: {exc}", file=sys.stderr)
        return 2
    formats = None if args.format is None else [
        name for fmt in args.format for name in (("openai", "anthropic") if fmt == "both"
                                                 else (fmt,))]
    measure, unit = measuring_counter()
    results = run(transcripts, args.max_tokens, formats, measure)
    print(report(results, unit, args.markdown))
    if args.plot is not None:
        plot(results, args.plot)
        print(f"\nplot written to {args.plot}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
