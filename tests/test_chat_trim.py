"""quorvex_chat.trim on random OpenAI and Anthropic histories, the loop helpers, and the
fleet-watching agent of thirty turns."""
import copy
import json
import math
import random
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvex_chat as qc
from chat_rules import RULES, openai_errors

# A script: per turn the request's length, the tool rounds (sizes of parallel results) and
# whether the model answered (the last turn may stop anywhere: results in, no answer yet).
turns = st.tuples(st.integers(1, 400), st.lists(st.lists(st.integers(0, 3000), min_size=1,
                                                          max_size=2), max_size=3), st.booleans())


def call_id(*where):
    return "call_" + "_".join(map(str, where))


def openai_history(script, developer_at):
    h = [{"role": "system", "content": "You watch the fleet."}]
    for t, (request, rounds, answered) in enumerate(script):
        if t == developer_at:
            h.append({"role": "developer", "content": "Answer in one line."})
        h.append({"role": "user", "content": [{"type": "text", "text": "q" * request}]})
        for r, sizes in enumerate(rounds):
            ids = [call_id(t, r, k) for k in range(len(sizes))]
            h.append({"role": "assistant", "content": None, "tool_calls": [
                {"id": i, "type": "function", "function": {"name": "shard_status",
                                                           "arguments": "{}"}} for i in ids]})
            h += [{"role": "tool", "tool_call_id": i, "content": "r" * n} for i, n in zip(ids, sizes)]
        if answered:
            h.append({"role": "assistant", "content": "a" * 60})
    return h


def anthropic_history(script, mark_at):
    h = []

    def user(parts):  # a request right after tool results joins their user message
        if h and h[-1]["role"] == "user":
            h[-1]["content"] += parts
        else:
            h.append({"role": "user", "content": parts})

    for t, (request, rounds, answered) in enumerate(script):
        user([{"type": "text", "text": "q" * request}])
        for r, sizes in enumerate(rounds):
            ids = [call_id(t, r, k) for k in range(len(sizes))]
            h.append({"role": "assistant", "content": [
                {"type": "thinking", "thinking": "t" * 80, "signature": "sig"}] + [
                {"type": "tool_use", "id": i, "name": "shard_status", "input": {}} for i in ids]})
            user([{"type": "tool_result", "tool_use_id": i, "content": "r" * n}
                  for i, n in zip(ids, sizes)])
        if answered:
            h.append({"role": "assistant", "content": [{"type": "text", "text": "a" * 60}]})
    if mark_at < len(h):
        h[mark_at]["content"][0]["cache_control"] = {"type": "ephemeral"}
    return h


def protected(h, provider):
    """(prefix end, open turn start), found independently of the library."""
    if provider == "openai":
        prefix = next(i for i, m in enumerate(h) if m["role"] not in ("system", "developer"))
        requests = [i for i, m in enumerate(h) if m["role"] == "user"]
    else:
        prefix = max((i + 1 for i, m in enumerate(h) if "cache_control" in m["content"][0]),
                     default=0)
        requests = [i for i, m in enumerate(h) if m["role"] == "user"
                    and any(b["type"] == "text" for b in m["content"])]
    return prefix, requests[-1]


def next_float32(value):
    return struct.unpack("<f", struct.pack("<I", struct.unpack("<I", struct.pack("<f", value))[0]
                                           + 1))[0]


@settings(max_examples=150, deadline=None)
@given(script=st.lists(turns, min_size=1, max_size=14), provider=st.sampled_from(list(RULES)),
       where=st.integers(0, 20), share=st.floats(-0.2, 1.0),
       half_life=st.sampled_from([0.5, 6.0, 40.0, math.inf]))
def test_random_histories_trim_valid_exact_and_within_budget(script, provider, where, share,
                                                             half_life):
    h = (openai_history if provider == "openai" else anthropic_history)(script, where)
    assert RULES[provider](h) == []
    before = copy.deepcopy(h)
    floor, full = qc.trim(h, half_life=0.1), qc.trim(h, safe_threshold=0.0)
    budget = floor.tokens_after + round(share * (full.tokens_after - floor.tokens_after))
    r = qc.trim(h, max_tokens=budget, half_life=half_life)
    assert h == before and r.provider == provider
    assert RULES[provider](r.messages) == []
    assert list(r.kept) == sorted(set(r.kept)) and set(r.elided) <= set(r.kept)
    for message, index, tokens in zip(r.messages, r.kept, r.message_tokens, strict=True):
        assert (message is h[index]) == (index not in r.elided)
        assert message["role"] == h[index]["role"]
        assert tokens == r.input_tokens[index] or tokens < r.input_tokens[index] and index in r.elided
    prefix, start = protected(h, provider)
    untouched = set(r.kept) - set(r.elided)
    assert set(range(prefix)) | set(range(start, len(h))) <= untouched
    # The budget is met unless the smallest valid history (the floor) exceeds it, and the
    # half-life chosen is the largest single-precision value that meets it.
    assert r.over_budget == (floor.tokens_after > budget)
    assert r.tokens_after == (floor.tokens_after if r.over_budget else r.tokens_after) <= max(
        budget, floor.tokens_after)
    assert r.kept == qc.trim(h, half_life=r.half_life).kept
    if not r.over_budget and r.half_life < min(half_life, 3.4e38):
        assert qc.trim(h, half_life=next_float32(r.half_life)).tokens_after > budget
    assert r.tokens_before == full.tokens_after == sum(r.input_tokens)


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
    assert qc.trim(h[:3], token_counter=len).input_tokens == (96, 17, 4 + 1600)
    assert qc.trim(h[:3], token_counter=Tokenizer(), part_tokens={"image_url": 85}).input_tokens == (
        16, 3, 1 + 85)
    with pytest.raises(TypeError, match="token_counter must be a callable"):
        qc.trim(h, token_counter=42)
    with pytest.raises(TypeError, match="message 1: 'content' must be a str"):
        qc.trim([h[0], {"role": "user", "content": 5}])


def test_screen_effort_and_cache_helpers():
    flood = "ERROR shard 7 replica lagging behind primary " * 300
    assert qc.screen(flood) == "[withheld: a repetitive flood of 3,376 tokens, saturation 1.00]"
    short = flood[:90]  # too short to repeat an 8-word shingle
    assert qc.screen(short) is short
    e = qc.effort("Design a migration plan that must never lose a payment and compare two approaches.")
    assert (e.tier, e.budget_tokens, e.reasoning_effort) == ("low", 1024, "low")
    assert e.thinking == {"type": "enabled", "budget_tokens": 1024}
    assert qc.effort("ok").thinking == {"type": "disabled"}
    assert qc.effort("ok", efforts={"off": "low"}).reasoning_effort == "low"
    # Fourteen requests, each with a large tool result: the cached prompt of request 13
    # is extended while that is cheaper, then rewritten.
    h = [{"role": "system", "content": "s" * 4000}]
    for t in range(14):
        h += [{"role": "user", "content": f"q{t}"}, {"role": "assistant", "content": "a" * 40}]
    h.pop()
    sent = qc.trim(h[:-2])
    fresh = qc.trim(h)
    gain = qc.rewrite_gain(sent, fresh)  # the rewrite purges the oldest answer and request
    p, r = sent.tokens_after, sent.tokens_after - 11 - 1
    assert (gain["cost_keep"], gain["cost_consolidate"]) == ((p * 8.0) * 0.1, (7.0 * r) * 0.1 + 1.25 * r)
    chosen = qc.keep_or_rewrite(sent, fresh, h)
    assert chosen.kept == sent.kept + (len(h) - 2, len(h) - 1)
    assert chosen.messages == [*sent.messages, *h[-2:]] and chosen.tokens_after == p + 11 + 1
    assert qc.keep_or_rewrite(sent, fresh, h, calls_ahead=10_000) is fresh
    assert qc.keep_or_rewrite(None, fresh, h) is fresh


class Fleet:
    """The model and the shard_status tool of a fleet-watching agent, simulated: the model
    checks every prompt it gets (valid for OpenAI, within budget) before it answers."""

    def __init__(self, counter, budget=6000):
        self.rng, self.counter, self.budget, self.calls, self.sent = random.Random(30), counter, budget, 0, []
        self.questions = [f"Turn {t}: is shard group {t % 7} healthy after the {w} deploy?"
                          for t, w in enumerate(["morning", "canary", "rollback"] * 10)]

    def model(self, messages):
        assert openai_errors(messages) == []
        tokens = qc.trim(messages, token_counter=self.counter, safe_threshold=0.0).tokens_before
        assert tokens <= self.budget
        self.sent.append((len(messages), tokens))
        if messages[-1]["role"] == "tool":
            return {"role": "assistant", "content": "Group healthy; lag below 900 ms everywhere."}
        self.calls += 1
        return {"role": "assistant", "content": None, "tool_calls": [
            {"id": f"call_{self.calls}_{k}", "type": "function", "function": {
                "name": "shard_status", "arguments": json.dumps({"group": k})}}
            for k in range(self.rng.choice([1, 2]))]}

    def shard_status(self, call):
        if call["id"] == "call_17_1":  # a replica dumping the same line again and again
            return "replica s-071 lagging, retrying sync from primary " * 400
        return json.dumps([{"shard": n, "state": self.rng.choice(["ok", "ok", "ok", "lagging"]),
                            "lag_ms": self.rng.randint(0, 900)} for n in range(self.rng.randint(20, 120))])


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
        history.append(fleet.model(qc.trim(history, max_tokens=6000, token_counter=counter).messages))
    assert len(fleet.sent) == 60 and any(m["content"].startswith("[withheld") for m in history[1:]
                                         if m["role"] == "tool")
    full = qc.trim(history, token_counter=counter, safe_threshold=0.0).tokens_before
    print(f"{encoding or 'estimate'}: history {len(history)} messages, {full:,} tokens; prompts "
          f"{min(t for _, t in fleet.sent):,}..{max(t for _, t in fleet.sent):,} tokens, "
          f"{max(n for n, _ in fleet.sent)} messages at most")
