"""quorvex_chat on tool results and requests made of hostile text: separator runs, deep
nesting, lone surrogates, NUL bytes, base64, emoji, rare scripts, JSON with one odd row.
Whatever the text, a history stays valid, within its budget by an independent count, and
nothing but a documented error comes out."""
import base64
import json
import math
import pickle
import random
import re
import time

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import quorvex_chat as qc
from support.chat_formats import FORMATS
from support.chat_rules import RULES
from test_chat_trim import check_prompt, history, turns

EMOJI = ["\U0001F468\u200d\U0001F469\u200d\U0001F467\u200d\U0001F466", "\U0001F1EF\U0001F1F5",
         "\U0001F44D\U0001F3FD", "\U0001F3F4\u200d\u2620\ufe0f", "\u2764\ufe0f\u200d\U0001F525"]
SCRIPTS = ["数据库连接失败", "한국어 오류", "ⵜⴰⵎⴰⵣⵉⵖⵜ", "𒀀𒀁𒀂", "𐌰𐌱𐌲", "ᚠᚢᚦ", "\u202eعربي\u202c",
           "e\u0301\u0302\u0303", "ﷺ", "\U000E0041"]


def rows(n, rng):
    good = [{"shard": i, "state": "ok", "lag_ms": rng.randint(0, 900)} for i in range(n)]
    good.insert(rng.randint(0, n), {"shard": "s-0x9f3e2a1c", "error": "replica diverged"})
    return json.dumps(good)


KINDS = {
    "a-": lambda n, rng: "a-" * n,
    "dashes": lambda n, rng: "-" * n,
    "equals": lambda n, rng: "=" * n,
    "dot-dot": lambda n, rng: "/.." * n,
    "brackets": lambda n, rng: "[" * n + "]" * n,
    "open objects": lambda n, rng: '{"a":' * n,
    "deep JSON": lambda n, rng: '{"a":' * n + "1" + "}" * n,
    "lone surrogates": lambda n, rng: "".join(
        rng.choice(["\ud800", "\udfff", "x", "\udc80 ", "\ud83d"]) for _ in range(n)),
    "NUL bytes": lambda n, rng: "".join(rng.choice(["\x00", "ok\x00", "\x00\x00 "]) for _ in range(n)),
    "base64": lambda n, rng: base64.b64encode(rng.randbytes(3 * n)).decode(),
    "emoji": lambda n, rng: "".join(rng.choice(EMOJI) for _ in range(n)),
    "scripts": lambda n, rng: " ".join(rng.choice(SCRIPTS) for _ in range(n)),
    "JSON rows": lambda n, rng: rows(n // 8 + 1, rng),
}
LINE_KINDS = ["a-", "equals", "dot-dot", "open objects"]


def make(kind, n, seed, width):
    """The kind's text at size n, as one line or cut into lines of `width` characters."""
    text = KINDS[kind](n, random.Random(seed))
    if width:
        text = "\n".join(text[i:i + width] for i in range(0, len(text), width))
    return text


def hostile(kinds=tuple(KINDS), most=3000):
    return st.builds(make, st.sampled_from(kinds), st.integers(1, most), st.integers(0, 2**16),
                     st.sampled_from([0, 1, 77]))


def hostile_history(provider, script, where, data, texts):
    """The random history of test_chat_trim with its results (and some requests) hostile."""
    h = history(provider, script, where)
    for m in h:
        parts = m["content"] if isinstance(m["content"], list) else []
        if m["role"] == "tool":
            m["content"] = data.draw(texts)
        for p in parts:
            if p["type"] == "tool_result":
                p["content"] = data.draw(texts)
            elif p["type"] == "text" and data.draw(st.booleans()):
                p["text"] = data.draw(texts)
    return h


def attempt(call, h):
    """The call's result; None for a documented refusal, which names a message of `h`."""
    try:
        return call()
    except (TypeError, ValueError) as error:  # anything else fails the test as it is
        named = re.search(r"\bmessage (\d+)", str(error))
        assert named and int(named[1]) < len(h), repr(error)
        return None


def fuzz(fmt, script, where, share, data, texts):
    base, encode, decode = FORMATS[fmt] if fmt in FORMATS else (fmt, None, None)
    h = hostile_history(base, script, where, data, texts)
    h = encode(h) if encode else h
    before = pickle.dumps(h)
    full = attempt(lambda: qc.trim(h, max_tokens=10**12), h)
    if full is None:
        return
    budget = max(round(share * full.tokens_before), 0)
    conversation = qc.Conversation(max_tokens=budget)
    cut = data.draw(st.integers(1, max(len(h), 1)))
    for given_, call, budgeted in [
            (h, lambda: qc.trim(h, max_tokens=budget), True), (h, lambda: qc.trim(h), False),
            (h[:cut], lambda: conversation.prompt(h[:cut]), True),
            (h, lambda: conversation.prompt(h), True)]:
        r = attempt(call, given_)
        if r is None:
            continue
        if encode:
            assert r.provider == fmt and RULES[base](decode(r.messages)) == []
        else:
            check_prompt(given_, r, fmt)
        assert not budgeted or r.tokens_after <= budget or r.over_budget
    assert pickle.dumps(h) == before


def fuzzed(examples, texts, formats):
    @pytest.mark.parametrize("fmt", formats)
    @settings(max_examples=examples, deadline=None)
    @given(script=st.lists(turns, min_size=1, max_size=6), where=st.integers(0, 8),
           share=st.floats(0.0, 1.1), data=st.data())
    def test(fmt, script, where, share, data):
        if fmt in ("langchain", "pydantic_ai"):
            pytest.importorskip({"langchain": "langchain_core"}.get(fmt, fmt))
        fuzz(fmt, script, where, share, data, texts)
    return test


test_hostile_histories_stay_valid_within_budget = fuzzed(10, hostile(most=1500),
                                                         ["openai", "anthropic"])
test_hostile_histories_in_the_other_formats = fuzzed(4, hostile(most=1500), list(FORMATS))
test_hostile_histories_more_examples = pytest.mark.slow(fuzzed(100, hostile(), [
    "openai", "anthropic", *FORMATS]))


def o200k():
    encoding = pytest.importorskip("bpe_openai").get_encoding("o200k_base")

    def count(text):  # the encoder refuses more than 200,000 tokens at once
        return sum(len(encoding.encode_ordinary(text[i:i + 100_000]))
                   for i in range(0, len(text), 100_000))
    return count


def texts_of(m):
    """The text a message sends, found without the library: what o200k must be billed for."""
    content = m.get("content")
    for p in [content] if isinstance(content, str) else content or ():
        if isinstance(p, str):
            yield p
        elif p["type"] == "text":
            yield p["text"]
        elif p["type"] == "thinking":
            yield p["thinking"]
        elif p["type"] == "tool_result":
            yield from texts_of(p)
    for call in m.get("tool_calls") or ():
        yield from (call["function"]["name"], call["function"]["arguments"])


def recounted(provider, script, where, share, data, texts, huge=None):
    count = o200k()
    h = hostile_history(provider, script, where, data, texts)
    if huge is not None:  # one result of megabytes among small ones
        results = [m for m in h if m["role"] == "tool"] + [
            p for m in h if isinstance(m["content"], list) for p in m["content"]
            if p["type"] == "tool_result"]
        assume(results)
        data.draw(st.sampled_from(results))["content"] = data.draw(huge)
    full = qc.trim(h, max_tokens=10**12, token_counter=count)
    budget = round(share * full.tokens_before)
    r = qc.trim(h, max_tokens=budget, token_counter=count)
    check_prompt(h, r, provider)
    mine = [sum(count(text) for text in texts_of(m)) for m in r.messages]
    assert all(a <= b for a, b in zip(mine, r.message_tokens, strict=True)), (mine, r.message_tokens)
    assert sum(mine) <= r.tokens_after and (r.tokens_after <= budget or r.over_budget)
    # A result that alone holds more than the budget is never sent whole.
    assert not any(count(text) > budget and text in (t for m in r.messages for t in texts_of(m))
                   for m in h if m["role"] == "tool" for text in texts_of(m)) or r.over_budget


@pytest.mark.parametrize("provider", ["openai", "anthropic"])
@settings(max_examples=8, deadline=None)
@given(script=st.lists(turns, min_size=1, max_size=5), where=st.integers(0, 6),
       share=st.floats(0.05, 1.0), data=st.data())
def test_the_budget_holds_by_an_independent_o200k_count(provider, script, where, share, data):
    recounted(provider, script, where, share, data, hostile())


@pytest.mark.slow
@pytest.mark.parametrize("provider", ["openai", "anthropic"])
@settings(max_examples=4, deadline=None)
@given(script=st.lists(turns, min_size=1, max_size=3), where=st.integers(0, 4),
       share=st.floats(0.05, 1.0), data=st.data())
def test_megabyte_results_hold_the_budget(provider, script, where, share, data):
    recounted(provider, script, where, share, data, hostile(most=300), st.builds(
        make, st.sampled_from(list(KINDS)), st.integers(500_000, 1_000_000), st.just(0),
        st.sampled_from([0, 77])))


@pytest.mark.parametrize("kind", list(KINDS))
@settings(max_examples=6, deadline=None)
@given(n=st.integers(1, 4000), seed=st.integers(0, 2**16), width=st.sampled_from([0, 1, 77]))
def test_screen_and_effort_take_every_kind(kind, n, seed, width):
    text = make(kind, n, seed, width)
    screened = qc.screen(text)
    assert screened is text or screened.startswith("[flood collapsed: ")
    e = qc.effort(text)
    assert e.tier in qc.REASONING_EFFORT and math.isfinite(e.score)
    assert e.budget_tokens in (0, 1024, 4096, 16384)


@pytest.mark.parametrize("text", ["a b c d e f g h " * 3, "=\n" * 30, " ".join(
    chr(0xD800 + i) for i in range(16))], ids=["short shingles", "short lines", "surrogates"])
def test_a_flood_notice_is_shorter_than_the_flood(text):
    screened = qc.screen(text)
    assert screened is text or len(screened) < len(text)


def elided_result(text):
    return [{"role": "system", "content": "You read logs."}, {"role": "user", "content": "Read it."},
            {"role": "assistant", "content": None, "tool_calls": [
                {"id": "c1", "type": "function", "function": {"name": "read", "arguments": "{}"}}]},
            {"role": "tool", "tool_call_id": "c1", "content": text},
            {"role": "assistant", "content": "Read."}, {"role": "user", "content": "Summarise."}]


@pytest.mark.parametrize("kind", LINE_KINDS)
def test_trim_time_grows_about_linearly_with_a_hostile_line(kind):
    unit = len(make(kind, 1000, 0, 0)) / 1000

    def best(size, round_):
        text = make(kind, int(size / unit), 0, 0) + f"\n{round_}"  # new text: no notice cached
        started = time.perf_counter()
        r = qc.trim(elided_result(text), max_tokens=60)
        elapsed = time.perf_counter() - started
        assert r.elided == (3,)
        return elapsed
    small, large = [], []
    for round_ in range(3):  # interleaved, so that a busy moment slows both alike
        small.append(best(8 * 1024, round_))
        large.append(best(64 * 1024, round_))
    assert min(large) / min(small) < 28, (min(small), min(large))  # linear 8x, quadratic 64x
