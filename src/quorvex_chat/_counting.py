"""Token counters: the default budget count, or any callable or tiktoken-style encoder."""

from __future__ import annotations

import inspect
import re
from typing import Callable, Protocol, Sized, Union, runtime_checkable

try:
    from . import _native
except ImportError:  # a tree without the build: every count comes from `_count_tokens`
    _native = None  # type: ignore[assignment]


@runtime_checkable
class Encoder(Protocol):
    """An object with a tiktoken-style `encode` (tiktoken, bpe-openai, ...)."""

    def encode(self, text: str, /) -> Sized: ...


TokenCounter = Union[Callable[[str], int], Encoder]


# Pieces no BPE vocabulary merges across, each read by its kind: a run of eight or more
# ASCII letters and digits (a blob when it is long or changes case or class every few
# characters), any other non-ASCII run, a word (capitals then small letters, as o200k splits
# them), up to three digits, a whitespace run, a single blank (free), and any other
# character alone. Runs are read 4,096 characters at a time, so no copy is ever larger.
_PIECES = re.compile(r"(?P<run>[A-Za-z0-9]{8,4096})|(?P<other>[^\x00-\x7f]{1,4096})|"
                     r"(?P<word>[A-Z]*[a-z]+|[A-Z]+)|\d{1,3}|(?P<space>[\t-\r\x1c-\x1f ]{2,4096})|"
                     r"(?P<blank>[\t\x0b\x0c\r\x1c-\x1f ])|\n|.", re.DOTALL)
_CHUNKS = re.compile(r"[A-Z]*[a-z]+|[A-Z]+|\d{1,3}")
_SAME = re.compile(r"(.)\1*", re.DOTALL)


def _word(word: str) -> int:
    # o200k reads capitals poorly, and a word of 16 letters or more is rarely a word.
    if len(word) >= 4 and word.isupper():
        return int(len(word) / 1.5) + 1
    return -(-len(word) // 9) if len(word) < 16 else int(len(word) / 1.8) + 1


def _run(run: str) -> int:
    chunks = _CHUNKS.findall(run)
    pieces = sum(1 if chunk[0] <= "9" else _word(chunk) for chunk in chunks)
    # Random letters and digits (base64, hex, keys) take o200k 1.3-1.9 characters a token.
    if not run.isdigit() and (3 * len(chunks) > len(run) or len(run) >= 20):
        pieces = max(pieces, int(len(run) / 1.2) + 1)
    return pieces


def count_tokens(text: str) -> int:
    """The default count for budgets: the pieces a BPE tokenizer cannot merge, plus a tenth.

    It is meant to count high, never low: UTF-8 bytes / 4 undercounts JSON, logs and hex by
    up to 2.3x in o200k tokens, which sends prompts over their budget. A blank before a
    digit is a piece of its own (o200k joins a blank to a word or to punctuation, never to a
    digit: "step 1: ok" is 5 tokens). Outside ASCII every UTF-8 byte counts, since a rare
    script (Cuneiform, Linear B, Ol Chiki) takes o200k a token a byte. Measured against
    o200k: 1.1x on English prose, 1.2-1.35x on JSON, logs and Markdown, 1.25-1.45x on code,
    1.35-1.8x on base64, hex, URL-encoded text, punctuation and runs of random letters,
    1.05x on rare scripts, 1.7x on CJK, 1.8-1.9x on NUL bytes and combining marks, 2.2-3.2x
    on emoji (ZWJ sequences and flags included), Cyrillic, Arabic, Devanagari and accented
    Latin, and up to 5x on whitespace runs. A lone random word of fewer than eight letters
    can still count low. Pass a real tokenizer as `token_counter` to spend the budget
    exactly. Linear in the text.
    """
    if _native is not None:
        counted = _native.count_tokens(text)
        if counted is not None:
            return counted
    return _count_tokens(text)


def count_tokens_many(texts: list[str]) -> list[int]:
    """`count_tokens` of each of `texts`, in one native call."""
    counted = _native.count_tokens_many(texts) if _native is not None else None
    if counted is None:
        return [_count_tokens(text) for text in texts]
    if None in counted:  # a text with a lone surrogate
        return [_count_tokens(text) if tokens is None else tokens
                for text, tokens in zip(texts, counted)]
    return counted  # type: ignore[return-value]


def _count_tokens(text: str) -> int:
    """`count_tokens` in Python: the reference of `_native.count_tokens`, and the count of
    the texts it declines (a lone surrogate has no UTF-8 form)."""
    pieces = 0
    for found in _PIECES.finditer(text):
        kind = found.lastgroup
        if kind in ("space", "blank"):
            # o200k joins a blank to a word or to punctuation after it, never to a digit.
            end = found.end()
            pieces += end < len(text) and "0" <= text[end] <= "9" and text[end - 1] != "\n"
        if kind is None:
            pieces += 1
        elif kind == "word":
            pieces += _word(found.group())
        elif kind == "run":
            pieces += _run(found.group())
        elif kind == "other":
            pieces += len(found.group().encode("utf-8", "surrogatepass"))
        elif kind == "space":
            # o200k takes up to 16 alike blanks a token, and " \n" pairs one a token.
            pieces += sum(-(-len(same.group()) // 16) for same in _SAME.finditer(found.group()))
    return pieces + pieces // 10 + 1


def resolve_counter(counter: TokenCounter | None) -> Callable[[str], int]:
    """A plain text -> int function for `counter`; None means `count_tokens`."""
    if counter is None:
        return count_tokens
    if counter is len:
        raise ValueError(
            "token_counter=len would count characters here: quorvex_chat calls token_counter "
            "on each text, not on the list of messages as LangChain's trim_messages does; pass "
            "a text -> int counter (or an encoder), or leave it out for count_tokens")
    if _counts_messages(counter):
        raise ValueError(
            f"token_counter {getattr(counter, '__name__', counter)!r} counts messages: "
            f"quorvex_chat calls token_counter on each text (str -> int); pass a text counter "
            f"or an encoder with an encode method")
    # Tool output is untrusted: text such as "<|endoftext|>" must count as text, not raise
    # the way tiktoken's `encode` does by default, so the ordinary encoder comes first.
    ordinary = getattr(counter, "encode_ordinary", None)
    if callable(ordinary):
        return lambda text: len(ordinary(text))
    if isinstance(counter, Encoder):
        return lambda text: len(counter.encode(text))
    if callable(counter):
        return counter
    raise TypeError(
        f"token_counter must be a callable text -> int or have an encode method, "
        f"not {type(counter).__name__}")


def resolve_counts(counter: TokenCounter | None,
                   count: Callable[[str], int]) -> Callable[[list[str]], list[int]]:
    """The counts of many texts at once, for `counter` as `resolve_counter` gave `count`.

    The default count takes a batch in one native call. An encoder's `encode_batch` is not
    used: bpe-openai's spreads a batch over a pool of threads, and on a notice's candidate
    lines it took 6 to 44 times as long as counting them one call apiece."""
    if counter is None or counter is count_tokens:
        return count_tokens_many
    return lambda texts: list(map(count, texts))


def _counts_messages(counter: object) -> bool:
    """A callable whose first parameter takes messages (LangChain's counters do)."""
    if not callable(counter) or hasattr(counter, "encode"):
        return False
    try:
        parameters = list(inspect.signature(counter).parameters.values())
    except (TypeError, ValueError):
        return False
    return bool(parameters) and parameters[0].name in ("messages", "msgs", "message_list")
