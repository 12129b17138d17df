"""quorvex_chat on random OpenAI and Anthropic histories, its loop helpers, the thirty-turn
fleet agent, and its types against the official SDKs."""
import copy
import json
import math
import os
import random
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvex_chat as qc
from support.chat_rules import RULES, openai_errors

# Per turn: the request's length, tool rounds (sizes of parallel results), whether answered.
turns = st.tuples(st.integers(1, 400), st.lists(st.lists(st.integers(0, 3000), min_size=1,
                                                          max_size=2), max_size=3), st.booleans())


def history(provider, script, where):
    """The script as an OpenAI history (a developer message at turn `where`) or an Anthropic
    one (a cache mark on message `where`; a request after tool results joins their message)."""
    h = [{"role": "system", "content": "You watch the fleet."}] if provider == "openai" else []
    for t, (request, rounds, answered) in enumerate(script):
        if provider == "openai":
            h += [{"role": "developer", "content": "Be brief."}] if t == where else []
            h.append({"role": "user", "content": [{"type": "text", "text": "q" * request}]})
        elif h and h[-1]["role"] == "user":
            h[-1]["content"].append({"type": "text", "text": "q" * request})
        else:
            h.append({"role": "user", "content": [{"type": "text", "text": "q" * request}]})
        for r, sizes in enumerate(rounds):
            ids = [f"call_{t}_{r}_{k}" for k in range(len(sizes))]
            if provider == "openai":
                h.append({"role": "assistant", "content": None, "tool_calls": [
                    {"id": i, "type": "function", "function": {"name": "f", "arguments": ""}}
                    for i in ids]})
                h += [{"role": "tool", "tool_call_id": i, "content": "r" * n}
                      for i, n in zip(ids, sizes)]
            else:
                h.append({"role": "assistant", "content": [
                    {"type": "thinking", "thinking": "t" * 80, "signature": "s"},
                    *({"type": "tool_use", "id": i, "name": "f", "input": {}} for i in ids)]})
                h.append({"role": "user", "content": [
                    {"type": "tool_result", "tool_use_id": i, "content": "r" * n}
                    for i, n in zip(ids, sizes)]})
        if answered:
            h.append({"role": "assistant", "content": "a" * 60})
    if provider == "anthropic" and where < len(h) and h[where]["role"] == "user":
        h[where]["content"][0]["cache_control"] = {"type": "ephemeral"}
    return h


def protected(h, provider):
    """(prefix end, last request, newest call round), found independently of the library."""
    if provider == "openai":
        requests = [i for i, m in enumerate(h) if m["role"] == "user"]
        calls = [i for i, m in enumerate(h) if m.get("tool_calls")]
        prefix = 1 + (h[1]["role"] == "developer")
    else:
        requests = [i for i, m in enumerate(h) if m["role"] == "user" and any(
            p["type"] == "text" for p in m["content"])]
        calls = [i for i, m in enumerate(h) if m["role"] == "assistant" and any(
            p["type"] == "tool_use" for p in m["content"] if isinstance(m["content"], list))]
        prefix = 0  # a cache mark is a hint, never protection
    newest = set()
    if calls:  # the newest call and its results: the tool messages, or the next message
        end = calls[-1] + 1
        while end < len(h) and (h[end]["role"] == "tool" if provider == "openai"
                                else end == calls[-1] + 1):
            end += 1
        newest = set(range(calls[-1], end))
    return prefix, requests, newest


# What a request carries for the messages dropped around it, when originals are kept, and
# the lines a new request points at among them.
DROPPED_NOTE = re.compile(r'"\[[\d,]+ (earlier|later) messages? elided: [\d,]+ tokens[^"]*; '
                          r'recall qv:[a-z2-7]{10}|"\[recalled for this request: \d+ lines? ')


def check_prompt(h, r, provider):
    """What every prompt must be: valid, exact, its tokens accounted, the input untouched."""
    assert r.provider == provider and RULES[provider](r.messages) == []
    assert list(r.kept) == sorted(set(r.kept)) and set(r.clamped) <= set(r.elided) <= set(r.kept)
    for message, index, tokens in zip(r.messages, r.kept, r.message_tokens, strict=True):
        assert (message is h[index]) == (index not in r.elided)
        assert message["role"] == h[index]["role"]
        assert tokens == r.input_tokens[index] or (
            tokens < r.input_tokens[index] and index in r.elided) or (
            index in r.elided and DROPPED_NOTE.search(json.dumps(message)))
    assert r.tokens_after == sum(r.message_tokens) + r.overhead_tokens
    assert r.tokens_before == sum(r.input_tokens) + r.overhead_tokens


@settings(max_examples=150, deadline=None)
@given(script=st.lists(turns, min_size=1, max_size=14), provider=st.sampled_from(["openai", "anthropic"]),
       where=st.integers(0, 20), share=st.floats(-0.2, 1.2),
       half_life=st.sampled_from([0.5, 6.0, 40.0, math.inf]))
def test_random_histories_trim_valid_exact_and_within_budget(script, provider, where, share,
                                                             half_life):
    h = history(provider, script, where)
    assert RULES[provider](h) == []
    before = copy.deepcopy(h)
    full = qc.trim(h, max_tokens=10**9)
    budget = max(round(share * full.tokens_before), 0)
    r = qc.trim(h, max_tokens=budget, half_life=half_life)
    decayed = qc.trim(h, half_life=half_life)  # no budget: the decay law alone
    assert h == before
    check_prompt(h, r, provider)
    check_prompt(h, decayed, provider)
    # Budget first: a history that fits is the prompt, unchanged.
    if full.tokens_before <= budget:
        assert list(r.messages) == h and r.kept == tuple(range(len(h))) and not r.elided
    prefix, requests, newest = protected(h, provider)
    request = requests[-1]
    untouched = set(range(prefix)) | {request}
    assert untouched - newest <= set(r.kept) - set(r.elided) | {request} and request in r.kept
    if request in r.elided:  # only the older results that share its message are notices
        said = r.messages[r.kept.index(request)]["content"]
        assert [p for p in said if p["type"] == "text"] == [
            p for p in h[request]["content"] if p["type"] == "text"]
    assert newest <= set(r.kept) and set(r.elided) & newest <= set(r.clamped)
    assert set(r.clamped) <= newest
    assert r.over_budget == (r.tokens_after > budget)
    merged = provider == "anthropic" and any(  # a call answered inside a later request
        p["type"] == "tool_result" for i in requests for p in h[i]["content"])
    if r.over_budget and not merged:  # only what may not go is left
        asked = {i for i in requests if i < min(newest, default=0)}
        assert set(r.kept) - set(r.elided) <= untouched | newest | set(sorted(asked)[-1:]) | set(
            i for i, m in enumerate(h) if m["role"] == "assistant" or i >= request) | set(
            i for i, m in enumerate(h) if m["role"] in ("system", "developer"))


class Tokenizer:  # tiktoken's shape: encode() refuses special-token text, encode_ordinary() not
    def encode(self, text):
        raise ValueError("disallowed special token")

    def encode_ordinary(self, text):
        return text.split()


def test_flag_table_costs_and_counters():
    h = [{"role": "user", "content": "hello there " * 8},
         {"role": "developer", "content": "Answer in French."},
         {"role": "user", "content": [{"type": "text", "text": "look"},
                                      {"type": "image_url", "image_url": {"url": "x"}}]}]
    h += [{"role": "assistant" if i % 2 else "user", "content": "word " * 10} for i in range(12)]
    assert qc.trim(h).kept == (1, *range(5, 15))  # developer is SYSTEM: durable
    assert qc.trim(h, flags={"developer": 0}).kept == tuple(range(5, 15))
    # Content, and 4 tokens of framing a message.
    assert qc.trim(h[:3], token_counter=lambda text: len(text)).input_tokens == (
        100, 21, 8 + 1600)
    assert qc.trim(h[:3], token_counter=Tokenizer(),
                   part_tokens={"image_url": 85}).input_tokens == (20, 7, 5 + 85)
    with pytest.raises(TypeError, match="token_counter must be a callable"):
        qc.trim(h, token_counter=42)
    with pytest.raises(TypeError, match="message 1: 'content' must be a str"):
        qc.trim([h[0], {"role": "user", "content": 5}])


def test_screen_effort_and_cache_helpers():
    flood = "ERROR shard 7 replica lagging behind primary " * 300
    assert qc.screen(flood) == ("[flood collapsed: 3,631 tokens, saturation 1.00]\n"
                                "[repeated 300 times:] ERROR shard 7 replica lagging behind primary")
    # A runaway recursion: the traceback's head and its last line, the one naming the error.
    frame = '  File "app.py", line 4, in walk\n    return walk(node.child)\n'
    head = 'Traceback (most recent call last):\n  File "app.py", line 9, in <module>\n'
    notice = qc.screen(head + frame * 900 + "RecursionError: maximum recursion depth exceeded")
    assert notice.splitlines()[1:] == [*head.splitlines(), "[repeated 900 times:] " + frame.strip(
        " ").splitlines()[0], frame.splitlines()[1], "RecursionError: maximum recursion depth "
        "exceeded"]
    assert len(qc.screen("x " * 5 + "spam " * 10**6 + "tail")) < 4 * 300
    short = flood[:90]  # too short to repeat an 8-word shingle
    assert qc.screen(short) is short
    e = qc.effort("Design a migration plan that must never lose a payment and compare two "
                  "approaches.")
    assert (e.tier, e.budget_tokens, e.reasoning_effort, e.thinking) == (
        "low", 1024, "low", {"type": "enabled", "budget_tokens": 1024})
    assert (qc.effort("ok").thinking, qc.effort("ok", efforts={"off": "low"}).reasoning_effort) == (
        {"type": "disabled"}, "low")
    # Fourteen requests: the prompt cached at request 13 is extended while that is cheaper.
    h = [{"role": "system", "content": "s" * 4000}]
    for t in range(14):
        h += [{"role": "user", "content": f"q{t}"}, {"role": "assistant", "content": "a" * 40}]
    h.pop()
    sent, fresh = qc.trim(h[:-2]), qc.trim(h)
    with pytest.deprecated_call(match="^rewrite_gain is deprecated"):
        gain = qc.rewrite_gain(sent, fresh)  # the rewrite purges the oldest answer and request
    def size(text):  # a message: its text and its framing
        return qc.count_tokens(text) + 4

    answer, request = size("a" * 40), size("q0")
    p, r = sent.tokens_after, sent.tokens_after - answer - request
    assert (gain["cost_keep"], gain["cost_consolidate"]) == (
        (p * 8.0) * 0.1, (7.0 * r) * 0.1 + 1.25 * r)
    with pytest.deprecated_call():
        chosen = qc.keep_or_rewrite(sent, fresh, h)
    assert (chosen.kept, chosen.messages, chosen.tokens_after) == (
        sent.kept + (len(h) - 2, len(h) - 1), (*sent.messages, *h[-2:]),
        p + answer + size("q13"))
    with pytest.deprecated_call():
        assert qc.keep_or_rewrite(sent, fresh, h, calls_ahead=10_000) is fresh
        assert qc.keep_or_rewrite(None, fresh, h) is fresh
    # Misuse is loud: read-only tables, results built by keyword, a missing trim named.
    with pytest.raises(TypeError):
        qc.REASONING_EFFORT["off"] = "low"
    with pytest.raises(TypeError):
        qc.TrimResult(fresh.messages, fresh.kept)
    with pytest.raises(TypeError, match="^fresh must be the TrimResult of trim"), \
            pytest.deprecated_call():
        qc.keep_or_rewrite(sent, None, h)
    with pytest.raises(ValueError, match="^max_tokens must be a non-negative int"):
        qc.trim(h, max_tokens=-1)


class Fleet:
    """The model and the shard_status tool of a fleet-watching agent, simulated; the model
    checks each prompt it gets (valid for OpenAI, within budget) before it answers."""

    def __init__(self, counter):
        self.rng, self.counter, self.sent = random.Random(30), counter, []
        self.questions = [f"Turn {t}: is shard group {t % 7} healthy after the {w} deploy?"
                          for t, w in enumerate(["morning", "canary", "rollback"] * 10)]

    def model(self, messages):
        assert openai_errors(messages) == []
        self.sent.append(qc.trim(messages, token_counter=self.counter,
                                 safe_threshold=0.0).tokens_before)
        assert self.sent[-1] <= 6000
        if messages[-1]["role"] == "tool":
            return {"role": "assistant", "content": "Group healthy; lag below 900 ms everywhere."}
        return {"role": "assistant", "content": None, "tool_calls": [
            {"id": f"call_{len(self.sent)}_{k}", "type": "function",
             "function": {"name": "shard_status", "arguments": json.dumps({"group": k})}}
            for k in range(self.rng.choice([1, 2]))]}

    def shard_status(self, call):
        if call["id"] == "call_33_1":  # a replica repeating the same line
            return "replica s-071 lagging, retrying sync from primary " * 400
        rows = self.rng.randint(20, 120)
        return json.dumps([{"shard": n, "state": self.rng.choice(["ok", "ok", "ok", "lagging"]),
                            "lag_ms": self.rng.randint(0, 900)} for n in range(rows)])


@pytest.mark.parametrize("encoding", [None, "o200k_base"])
def test_thirty_turns_of_shard_status_stay_valid_under_6000_tokens(encoding):
    counter = encoding and pytest.importorskip("bpe_openai").get_encoding(encoding)
    fleet = Fleet(counter)
    # The user's code: ten lines at most.
    history = [{"role": "system", "content": "You watch the shard fleet; call shard_status."}]
    for question in fleet.questions:
        history.append({"role": "user", "content": question})
        calls = fleet.model(qc.trim(history, max_tokens=6000, token_counter=counter).messages)
        history.append(calls)
        history += [{"role": "tool", "tool_call_id": call["id"], "content": qc.screen(
            fleet.shard_status(call))} for call in calls["tool_calls"]]
        history.append(fleet.model(qc.trim(history, max_tokens=6000,
                                           token_counter=counter).messages))
    floods = [m for m in history if m["role"] == "tool" and m["content"].startswith("[flood collapsed")]
    assert len(fleet.sent) == 60 and len(floods) == 1
    total = qc.trim(history, token_counter=counter).tokens_before
    print(f"{encoding or 'estimate'}: {len(history)} messages, {total:,} tokens; prompts "
          f"{min(fleet.sent):,}..{max(fleet.sent):,} tokens")


def test_trimmed_messages_type_check_against_the_sdks():
    for module in ("mypy", "openai", "anthropic"):
        pytest.importorskip(module)
    # In a source tree the package and the extension's stubs are there; a wheel brings both.
    root = Path(__file__).resolve().parent.parent
    paths = [str(path) for path in (root / "src", root / "stubs") if path.is_dir()]
    sources = [str(path) for path in (root / "tests" / "support" / "chat_sdk_snippet.py",
                                      root / "src" / "quorvex_chat") if path.exists()]
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *sources],
        capture_output=True, text=True, env={**os.environ, "MYPYPATH": os.pathsep.join(paths)})
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("make, error, message", [
    (lambda h: qc.trim(h, pin=lambda m: True), ValueError, "^pin applies only with max_tokens"),
    (lambda h: qc.trim(h, system="Be brief."), ValueError, "^system applies only with max_"),
    (lambda h: qc.trim(h, exclude_tools=["f"]), ValueError, "^exclude_tools applies only"),
    (lambda h: qc.trim(h, max_tokens=100, safe_threshold=0.2), ValueError,
     "^safe_threshold applies only without max_tokens"),
    (lambda h: qc.trim(h, max_tokens=True), ValueError, "^max_tokens must be a non-negative int"),
    (lambda h: qc.trim(h, max_tokens=100, exclude_tools="read_file"), TypeError,
     "^exclude_tools must be a list of tool names"),
    (lambda h: qc.trim(h, flags={"tool": -1}), ValueError, r"^flags\['tool'\] must be an int"),
    (lambda h: qc.trim(h, part_tokens={"image": -5}), ValueError, r"^part_tokens\['image'\]"),
    (lambda h: qc.Conversation(max_tokens=100, target=math.inf), ValueError, "^target must be"),
    (lambda h: qc.Conversation(max_tokens=100, target=5000), ValueError, "^target must be"),
    (lambda h: qc.Conversation(max_tokens=None), ValueError, "^max_tokens must be"),
])
def test_an_option_is_checked_once_and_never_ignored(make, error, message):
    with pytest.raises(error, match=message):
        make([{"role": "user", "content": "hi"}])


@pytest.mark.parametrize("target, system, expected", [
    (1, None, 1000), (1.0, None, 1000), (0.5, None, 500), (0.5, "s" * 400, None)])
def test_target_is_a_share_of_the_budget_beside_the_system_prompt(target, system, expected):
    conversation = qc.Conversation(max_tokens=1000, target=target, system=system)
    overhead = qc.count_tokens(system) if system else 0
    assert overhead == (0 if system is None else qc.trim([], max_tokens=1000,
                                                          system=system).overhead_tokens)
    assert conversation.target() == (expected if expected is not None
                                     else overhead + (1000 - overhead) // 2)


@pytest.mark.parametrize("budget, grown, expected", [
    (4000, 500, 2000), (7000, 500, 5000), (8000, 500, 6000), (8000, 3000, 5000),
    (8000, 5000, 4000), (12000, 1000, 6000), (32000, 3000, 16000), (32000, 200, 16000),
    (128000, 500, 64000)])
def test_the_default_target_keeps_the_newest_turns_where_the_budget_leaves_room(
        budget, grown, expected):
    """At least 6,000 tokens where 2,000 (and a call's growth) stay free; otherwise half
    the budget, however slowly the history grows and whatever the cache prices."""
    conversation = qc.Conversation(max_tokens=budget)
    conversation._appended, conversation._calls = grown, 1
    assert conversation.target() == expected
    with pytest.warns(DeprecationWarning, match="^cache_read_ratio and cache_write_ratio"):
        priced = qc.Conversation(max_tokens=budget, cache_read_ratio=0.5, cache_write_ratio=2)
    priced._appended, priced._calls = grown, 1
    assert priced.target() == expected


CALL = {"id": "c1", "type": "function", "function": {"name": "f", "arguments": "{}"}}


@pytest.mark.parametrize("h, message", [
    ([{"role": "user", "content": "q"}, {"role": "tool", "content": "x"}],
     "^message 1: a tool message without tool_call_id"),
    ([{"role": "user", "content": "q"}, {"role": "tool", "tool_call_id": "z", "content": "x"}],
     r"^message 1: a tool result that answers no call made before it \(id 'z'\)"),
    ([{"role": "user", "content": [{"type": "tool_result", "tool_use_id": "t", "content": "x"}]}],
     "^message 0: a tool result that answers no call"),
    ([{"role": "user", "content": "q"}, {"role": "assistant", "content": None, "tool_calls": [
        {**CALL, "function": {"name": "f", "arguments": {"x": 1}}}]}],
     "^message 1: tool call arguments must be a JSON string, not dict"),
])
def test_a_history_no_provider_takes_is_refused_naming_the_message(h, message):
    for call in (lambda: qc.trim(h), lambda: qc.Conversation(max_tokens=10).prompt(h)):
        with pytest.raises(ValueError, match=message):
            call()


def test_lone_surrogates_and_empty_histories_have_exact_answers():
    text = "fix the \ud800 parser " * 400  # json.loads("\"\\ud800\"") gives such text
    assert qc.screen(text).startswith("[flood collapsed: ")
    assert qc.effort(text).tier in qc.REASONING_EFFORT
    assert qc.screen("one \udfff") == "one \udfff"
    assert (qc.trim([]).provider, qc.trim([], provider="gemini").provider) == (None, "gemini")
    assert qc.Conversation(max_tokens=10).prompt([]).provider is None


def test_a_long_history_keeps_the_newest_that_fit_past_the_scores_underflow():
    """At half_life 6 every score underflows to 0 past about 900 messages of age: those go
    oldest first, not all at once."""
    h = [{"role": ("user", "assistant")[i % 2], "content": "ok"} for i in range(6001)]
    r = qc.trim(h, max_tokens=33000)  # 6 tokens a message, its framing with it
    assert r.tokens_before == 36006 and 32988 <= r.tokens_after <= 33000
    assert r.kept == tuple(range(6001 - len(r.kept), 6001)) and not r.elided


@pytest.mark.parametrize("provider", ["openai", "anthropic"])
def test_without_a_budget_no_answer_outlives_its_question(provider):
    h = [{"role": "user", "content": "Capital of France?"},
         {"role": "assistant", "content": "Paris."},
         {"role": "user", "content": "And of Spain?"}, {"role": "assistant", "content": "Madrid."},
         {"role": "user", "content": "Thanks! And Italy?"}]
    r = qc.trim(h, half_life=1.0, provider=provider)
    said = [m["content"] for m in r.messages]
    assert "Madrid." in said and "And of Spain?" in said and RULES[provider](r.messages) == []
    assert qc.trim(h, half_life=1.0, provider="openai").kept == (2, 3, 4)


@pytest.mark.parametrize("provider", ["openai", "anthropic"])
def test_many_short_messages_stay_within_the_budget_as_billed(provider):
    """Billed: each message's content in o200k tokens and 4 tokens of framing."""
    encoding = pytest.importorskip("bpe_openai").get_encoding("o200k_base")
    h = [{"role": ("user", "assistant")[i % 2], "content": f"ok {i}"} for i in range(801)]
    for r in (qc.trim(h, max_tokens=3000, token_counter=encoding, provider=provider),
              qc.Conversation(max_tokens=3000, token_counter=encoding,
                              provider=provider).prompt(h)):
        billed = sum(4 + sum(len(encoding.encode_ordinary(text)) for text in (
            [m["content"]] if isinstance(m["content"], str) else
            [part["text"] for part in m["content"]])) for m in r.messages)
        # (a conversation also sends the notice of what went, with its notable lines)
        assert billed == r.tokens_after <= 3000 and len(r.messages) > 150


def _fields_of(r):
    return (r.messages, r.kept, r.elided, r.tokens_after, r.message_tokens, r.clamped,
            r.over_budget, r.tokens_before, r.input_tokens)


@pytest.mark.parametrize("name", ["ops_agent", "coding_agent"])
@pytest.mark.parametrize("fmt", ["openai", "anthropic", "responses"])
def test_tool_results_counted_only_when_needed_give_the_same_trim(monkeypatch, name, fmt):
    from quorvex_chat import _reading, _trim
    system, messages, _ = _session(name, fmt)
    cuts = range(8, len(messages) + 1, len(messages) // 5)
    cases = [(messages[:cut], {"max_tokens": budget, "system": system})
             for cut in cuts for budget in (1500, 6000, 20000)]
    cases += [(messages[:cut], {"half_life": 2.0}) for cut in cuts]
    lazy = [_fields_of(qc.trim(h, **options)) for h, options in cases]
    monkeypatch.setattr(_trim, "read", lambda h, options, lazy: _reading.read(h, options))
    assert lazy == [_fields_of(qc.trim(h, **options)) for h, options in cases]


def rounds_of_rows(turns, rows):
    """A request, a call and its result of `rows` like lines (each result its own), `turns`
    times."""
    h = [{"role": "system", "content": "ops"}]
    for t in range(turns):
        h += [{"role": "user", "content": f"check {t}"},
              {"role": "assistant", "content": None, "tool_calls": [{
                  "id": f"c{t}", "type": "function",
                  "function": {"name": "f", "arguments": "{}"}}]},
              {"role": "tool", "tool_call_id": f"c{t}", "content": f"row {t}\n" * rows}]
    return h


def test_a_long_trim_counts_few_old_results_until_its_input_tokens_are_read():
    texts = []
    h = rounds_of_rows(900, 200)

    def count(text):
        texts.append(text)
        return qc.count_tokens(text)

    r = qc.trim(h, max_tokens=4000, token_counter=count)
    originals = {m["content"] for m in h if m["role"] == "tool"}
    results = sum(text in originals for text in texts)
    assert 0 < results < 300 and r.tokens_after <= 4000  # a window's worth, not the history
    each = [4 + (qc.count_tokens(m["content"]) if m["content"] else
                 4 + qc.count_tokens("f") + qc.count_tokens("{}")) for m in h]
    assert r.input_tokens == tuple(each) and r.tokens_before == sum(each)
    assert originals <= set(texts)


def test_two_threads_reading_a_trims_input_tokens_count_them_once():
    import threading
    import time
    h = rounds_of_rows(40, 50)

    def count(text):
        time.sleep(0.0005 if text.startswith("row ") else 0)  # lets the other thread in
        return qc.count_tokens(text)

    r = qc.trim(h, max_tokens=500, token_counter=count)
    seen = []
    threads = [threading.Thread(target=lambda: seen.append(r.tokens_before)) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert seen == [qc.trim(h, max_tokens=10**9).tokens_before] * 4


def _session(name, fmt):
    from quorvex_chat import replay
    transcript = replay.load(Path(qc.__file__).parent / "sessions" / f"{name}.json")
    return dict(replay.forms(transcript, [fmt]))[fmt](transcript)  # system, messages, facts


@pytest.mark.parametrize("fmt", ["openai", "anthropic", "responses"])
@pytest.mark.parametrize("options", [{"max_tokens": 1500}, {"max_tokens": 6000},
                                     {"half_life": 12.0}])
def test_a_trim_counts_a_result_once_though_its_notice_tells_its_tokens(fmt, options):
    from collections import Counter
    messages, counted = _session("ops_agent", fmt)[1], Counter()
    r = qc.trim(messages, token_counter=lambda text: counted.update([text]) or
                qc.count_tokens(text), **options)
    assert "tokens" in json.dumps(r.messages[1:])  # results elided, or purged to their size
    held = json.dumps(messages)  # a text counted more often than the history holds it
    assert not [text for text, n in counted.items()
                if len(text) > 200 and n > held.count(json.dumps(text)[1:-1]) > 0]


@pytest.mark.parametrize("fmt", ["openai", "anthropic", "responses", "gemini"])
def test_a_messages_content_costs_its_tokens_less_its_framing(fmt):
    # What a notice says a result cost is taken so from the message's count when read.
    from quorvex_chat._formats import views_of
    from quorvex_chat._options import Options
    meter = Options(max_tokens=1000).meter
    for index, view in enumerate(views_of(_session("coding_agent", fmt)[1])):
        tokens = meter.content_tokens(view, meter.measure(index, view)[1])
        assert tokens == meter.content_cost(view.get("content"))
