"""A new request that points at what the prompt no longer shows whole gets those lines back,
in every format, within the budget."""
import copy
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvex_chat as qc
from quorvex_chat import _lookup
from quorvex_chat._formats import prompt_errors
from support.chat_formats import FORMATS
from test_chat_recall import NEEDS, fleet

LINE = "row 0.7 took 127 ms"  # like every other line: no notice keeps it as notable
CALL = {"role": "assistant", "content": None}


def asking(provider):
    """A long history of results, then a request for one line of the first."""
    base = FORMATS[provider][0] if provider in FORMATS else provider
    h, _ = fleet(base)
    for message in h:
        for part in [message] + [p for p in message.get("content") or () if isinstance(p, dict)]:
            if isinstance(part.get("content"), str):
                part["content"] = re.sub(r"row (\d+)\.(\d+) ok", lambda m: (
                    f"row {m[1]}.{m[2]} took {100 + (37 * int(m[1]) + 11 * int(m[2])) % 50} ms"),
                    part["content"])
    h.append({"role": "user", "content": "How long did row 0.7 take in that first output?"})
    return FORMATS[provider][1](h) if provider in FORMATS else h


@pytest.mark.parametrize("provider,padding", [
    ("openai", ""), ("anthropic", ""), ("openai", " Thanks." * 300), ("openai", "\n.\n.\n.\n."),
    ("anthropic", "json"), *((provider, "") for provider in FORMATS)])
def test_a_short_result_that_asks_gets_lines_where_it_can_carry_them(provider, padding):
    """A checklist item handed over by a tool is read as a request where the caller's own
    dicts can carry the note; a long, many-lined or JSON result (an output) is not."""
    if provider in NEEDS:
        pytest.importorskip(NEEDS[provider])
    base = FORMATS[provider][0] if provider in FORMATS else provider
    h = asking(base)
    ask = h.pop()["content"]
    ask = json.dumps({"item": ask}) if padding == "json" else ask + padding
    h.append({"role": "user", "content": "Go on."})
    h += [{"role": "assistant", "content": None, "tool_calls": [{"id": "c9", "type": "function",
           "function": {"name": "next_item", "arguments": "{}"}}]},
          {"role": "tool", "tool_call_id": "c9", "content": ask}] if base == "openai" else [
        {"role": "assistant", "content": [{"type": "tool_use", "id": "c9", "name": "next_item",
                                           "input": {}}]},
        {"role": "user", "content": [{"type": "tool_result", "tool_use_id": "c9", "content": ask}]}]
    h = FORMATS[provider][1](h) if provider in FORMATS else h
    conversation = qc.Conversation(max_tokens=1200, target=0.6)
    r = [conversation.prompt(h[:end]) for end in range(1, len(h) + 1)][-1]
    assert (LINE in repr(r.messages[-1])) == (provider in ("openai", "anthropic") and not padding)
    assert r.tokens_after <= 1200 and not prompt_errors(list(r.messages), r.provider)


@pytest.mark.parametrize("provider", ["openai", "anthropic", *FORMATS])
def test_a_request_gets_back_the_line_it_asks_for(provider):
    if provider in NEEDS:
        pytest.importorskip(NEEDS[provider])
    h = asking(provider)
    before = copy.deepcopy(h)
    conversation = qc.Conversation(max_tokens=900, target=0.6)
    off = qc.Conversation(max_tokens=900, target=0.6, recall_lines=False)
    for end in range(1, len(h)):
        conversation.prompt(h[:end])
        off.prompt(h[:end])
    earlier = conversation.prompt(h[:-1])
    assert LINE not in repr(earlier.messages)  # elided: only the request brings it back
    r = conversation.prompt(h)
    assert LINE in repr(r.messages[-1]) and LINE not in repr(off.prompt(h).messages)
    assert "[recalled for this request" not in repr(r.messages[:-1])
    assert r.tokens_after <= 900 and not prompt_errors(list(r.messages), r.provider)
    assert r.message_tokens[-1] > r.input_tokens[-1] and len(h) - 1 in r.elided
    restored = qc.Conversation.from_dict(json.loads(json.dumps(conversation.to_dict())),
                                         max_tokens=900, target=0.6)
    assert restored.prompt(h).messages == r.messages
    assert repr(h) == repr(before)


def test_recall_lines_must_be_a_bool():
    with pytest.raises(TypeError, match="recall_lines must be a bool"):
        qc.Conversation(max_tokens=10, recall_lines=1)


def test_a_state_saved_before_recalled_lines_still_restores():
    h = asking("openai")[:-1]
    conversation = qc.Conversation(max_tokens=900)
    r = conversation.prompt(h)
    state = json.loads(json.dumps(conversation.to_dict()))
    assert state["format"] == "quorvex_chat.Conversation/4" and state["lookups"] == {}
    del state["lookups"], state["options"]["recall_lines"]
    state["format"] = "quorvex_chat.Conversation/3"
    assert qc.Conversation.from_dict(state, max_tokens=900).prompt(h).messages == r.messages
    with pytest.raises(ValueError, match="options differ"):
        qc.Conversation.from_dict(conversation.to_dict(), max_tokens=900, recall_lines=False)


ROWS = [f"bench_{n},5000,{40 + n % 7},{n % 9},c{n:03x}9f2,within" for n in range(12)]


@pytest.mark.parametrize("lines, far", [
    (ROWS[:5] + ["bench_5,5000,29255,3,0f05ab,within"] + ROWS[6:], [5]),  # a CSV column
    ([f"<tr><td>b_{n}</td><td>{30 + n}</td><td>7b{n}f</td></tr>" for n in range(9)]
     + ["<tr><td>b_9</td><td>9400</td><td>7b9f</td></tr>"], [9]),  # a cell; hashes are no values
    ([f"12:00:{n:02d} handled batch in {120 + n}ms" for n in range(8)]
     + ["12:00:09 handled batch in 8751ms"], [8]),  # a value with its unit
    (ROWS[:4], []),  # too few values to stand out
    ([f"row {n} took 100 ms" for n in range(9)], []),  # no spread, nothing stands out
])
def test_far_values_by_column(lines, far):
    assert [n for n, flag in enumerate(_lookup.far_values(lines)) if flag] == far


def test_every_process_recalls_the_same_lines():
    """Word weights are summed in one order: a fleet's workers, each with its own string
    hash, send the same prompt."""
    script = ("import json, sys; sys.path[:0] = sys.argv[1:]; import quorvex_chat as qc; "
              "from test_chat_recalled_lines import asking; h = asking('anthropic'); "
              "c = qc.Conversation(max_tokens=900, target=0.6); "
              "[c.prompt(h[:end]) for end in range(1, len(h))]; "
              "print(json.dumps(c.prompt(h).messages[-1], sort_keys=True))")
    here = str(Path(__file__).parent)
    sent = {subprocess.run([sys.executable, "-c", script, here], capture_output=True, text=True,
                           check=True, env={**os.environ, "PYTHONHASHSEED": seed}).stdout
            for seed in ("1", "2", "3")}
    assert len(sent) == 1 and "[recalled for this request" in sent.pop()


@pytest.mark.parametrize("by_tool", [False, True])
def test_an_earlier_ask_worded_alike_is_no_answer(by_tool):
    """Asks reuse their wording: the line of an earlier one (a request, or an item a tool
    handed over) that the new request mostly repeats asks again and holds no answer."""
    from quorvex_chat._elision import Eliser
    from quorvex_chat._options import Options
    from quorvex_chat._plan import DROPPED, KEPT, Plan
    from quorvex_chat._reading import read
    ask = "For the report I need the p99 of shard {} in the probe output from {}."
    h = [{"role": "system", "content": "You watch the fleet."}]
    for n, (shard, at) in enumerate([("ash", "09:10"), ("oak", "09:40")]):
        call = {"id": f"c{n}", "type": "function",
                "function": {"name": "probe", "arguments": shard}}
        asked = [{"role": "user", "content": ask.format(shard, at)}]
        if by_tool:
            asked = [{"role": "user", "content": "Go on."},
                     {**CALL, "tool_calls": [{**call, "id": f"n{n}"}]},
                     {"role": "tool", "tool_call_id": f"n{n}", "content": ask.format(shard, at)}]
        rows = "\n".join(f"shard {shard} replica {r} p99 {40 + 10 * n + r} ms" for r in range(9))
        h += [*asked, {**CALL, "tool_calls": [call]},
              {"role": "tool", "tool_call_id": f"c{n}", "content": rows}]
    gone = len(h) - 1
    for topic in ("the open incidents", "the on-call rota", "the deploy freeze"):
        h += [{"role": "user", "content": f"For the report I need {topic}."},
              {**CALL, "content": "Here."}]
    h.append({"role": "user", "content": ask.format("oak replica 3", "09:40")})
    options = Options(max_tokens=4000).for_conversation()
    plan = Plan([KEPT] + [DROPPED] * gone + [KEPT] * (len(h) - 1 - gone))
    lines = _lookup.Lookup().lines_for(read(h, options), plan, Eliser(options.meter),
                                       len(h) - 1, 4000)
    assert "shard oak replica 3 p99 53 ms" in lines and not any("report" in line for line in lines)


def test_only_an_ask_still_waiting_for_its_answer_gets_lines():
    h = asking("openai") + [{"role": "assistant", "content": "It took 127 ms."},
                            {"role": "user", "content": "And row 0.7 in that first output?"}]
    r = qc.Conversation(max_tokens=4400, target=0.6).prompt(h)  # a first call on all of it
    assert h[-3] in r.messages and "[recalled for" in repr(r.messages[-1])
    assert repr(r.messages).count("[recalled for") == 1


def long_ops_session():
    """40 turns of an on-call session: six facts in its first turns, in the person's words
    and in results, all asked for in the last request, some 150 messages later."""
    h = [{"role": "system", "content": "You are an on-call assistant."}, {"role": "user",
         "content": "I'm on call for ticket OPS-48213. Stay in eu-west-3, never us-east."}]
    rows = [{"host": f"chk-{i:02d}", "p99_ms": 9123 if i == 23 else 60 + i * 37 % 80}
            for i in range(40)]
    log = [f"02:{i:02d}:11Z INFO deploy step {i} ok" for i in range(60)]
    log[37] = "02:37:11Z ERROR deploy step 37 failed: E-DEPLOY-7741 checksum mismatch"
    config = [f"TIMEOUT_{i} = {100 + i * 29}  # per-call timeout" for i in range(30)]
    config[17] = "MAX_RETRIES_CHECKOUT = 17  # set after the March outage"
    orders = [f"ORD-{10000 + i * 811},ok,{10 + i * 7}" for i in range(50)]
    orders[31] = "ORD-66120,stuck_in_payment,188"
    results = [json.dumps(rows)] + ["\n".join(lines) for lines in (log, config, orders)] + [
        "\n".join(f"03:{k:02d}:{t:02d}Z INFO svc-{t % 6} handled {100 + k * t % 899}"
                  for k in range(30 + t)) for t in range(36)]
    for turn, result in enumerate(results):
        if turn >= 4:
            h.append({"role": "user", "content": f"Next service, step {turn}: anything odd?"})
        h += [{**CALL, "tool_calls": [{"id": f"c{turn}", "type": "function", "function": {
                   "name": "read", "arguments": "{}"}}]},
              {"role": "tool", "tool_call_id": f"c{turn}", "content": result},
              {"role": "assistant", "content": f"Step {turn} read."}]
    h.append({"role": "user", "content": "For the handover: which ticket am I on, where did I "
              "say we must stay, how slow was the worst checkout host, what failed in the "
              "deploy, how many retries does checkout allow, and which order got stuck?"})
    return h, ["OPS-48213", "eu-west-3", "9123", "E-DEPLOY-7741", "MAX_RETRIES_CHECKOUT = 17",
               "ORD-66120"]


@pytest.mark.parametrize("budget, least", [(8000, 5), (16000, 6)])
def test_facts_of_the_first_turns_outlast_a_long_session(budget, least):
    h, facts = long_ops_session()
    conversation = qc.Conversation(max_tokens=budget)
    for end in range(2, len(h) + 1):
        if h[end - 1]["role"] in ("user", "tool"):
            prompt = json.dumps(conversation.prompt(h[:end]).messages)
    assert conversation.compactions > 0
    assert sum(fact in prompt for fact in facts) >= least
    recalled = "".join(map(conversation.recall, set(qc.HANDLE_PATTERN.findall(prompt))))
    assert all(fact in prompt + recalled for fact in facts)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.sets(st.integers(0, 30), max_size=12), min_size=1, max_size=12))
def test_the_words_of_a_moving_span_are_those_of_its_messages(spans):
    # Each message holds its own word, one of its neighbours' and one of all: a span posted anew, one
    # let go of and taken back, must post each message once, and only while it is in it.
    postings = _lookup._Postings()
    for members in spans:
        docs = {index: _lookup._Doc(tuple({f"w{index}", f"w{index // 3}", "all"}), [], 0)
                for index in members}
        postings.move_to(docs)
        for term in {"all", *(f"w{n}" for n in range(31))}:
            want = sorted(index for index, doc in docs.items() if term in doc.words)
            assert sorted(postings.holding(term)) == want


# Ratios a request's weights take whose log one common C library rounds the wrong way.
@pytest.mark.parametrize("held, count", [(57, 48), (62, 30), (79, 38), (1045, 42), (1533, 7)])
def test_a_weight_is_its_log_correctly_rounded_on_every_platform(held, count):
    from decimal import Context, Decimal
    x = (held + 1) / (count + 0.5)
    assert _lookup._log(x) == float(Decimal(x).ln(Context(prec=60)))
