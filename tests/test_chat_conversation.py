"""quorvex_chat.Conversation call by call: prompts valid and within budget, cache-stable between
compactions, the same after a JSON round trip of its state, edits detected; and the replay of
the bundled sessions against the policies users would otherwise use."""
import copy
import json
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvex_chat as qc
from quorvex_chat import replay
from support.chat_rules import RULES
from test_chat_trim import check_prompt, history, turns


def calls_of(h):
    """History lengths at which an agent loop calls the model."""
    return [i for i in range(1, len(h)) if h[i]["role"] == "assistant"] + [len(h)]


@settings(max_examples=60, deadline=None)
@given(script=st.lists(turns, min_size=1, max_size=12), provider=st.sampled_from(list(RULES)),
       where=st.integers(0, 20), budget=st.integers(0, 6000))
def test_prompts_valid_within_budget_and_identical_after_a_json_round_trip(
        script, provider, where, budget):
    h = history(provider, script, where)
    before = copy.deepcopy(h)
    live = qc.Conversation(max_tokens=budget)
    state = qc.Conversation(max_tokens=budget).to_dict()
    previous = None
    for point in calls_of(h):
        part = h[:point]
        compactions = live.compactions
        r = live.prompt(part)
        restored = qc.Conversation.from_dict(json.loads(json.dumps(state)), max_tokens=budget)
        again = restored.prompt(part)
        state = restored.to_dict()
        assert (again.messages, again.kept, again.elided) == (r.messages, r.kept, r.elided)
        check_prompt(part, r, provider)
        assert r.over_budget == (r.tokens_after > budget)
        if r.tokens_before <= budget:
            assert list(r.messages) == part  # budget first: a history that fits is the prompt
        elif previous is not None and live.compactions == compactions:
            # No compaction: the previous prompt, extended by what was appended.
            assert r.messages[:len(previous.messages)] == previous.messages
        previous = r
    assert h == before


def test_edited_histories_are_detected():
    h = history("openai", [(50, [[900]], True)] * 6, 0)
    conversation = qc.Conversation(max_tokens=1200)
    conversation.prompt(h)
    redacted = [*h[:2], {**h[2], "content": "[redacted]"}, *h[3:]]
    cases = {"redacted": redacted, "deleted": h[:3] + h[5:], "reordered":
             [h[0], h[5], *h[2:5], h[1], *h[6:]], "doubled": h[:4] + [h[3]] + h[4:]}
    for name, edited in cases.items():
        fresh = qc.Conversation(max_tokens=1200).prompt(edited)
        replanning = qc.Conversation.from_dict(conversation.to_dict(), max_tokens=1200)
        r = replanning.prompt(edited)
        assert (r.messages, replanning.replans) == (fresh.messages, 1), name
        strict = qc.Conversation.from_dict(conversation.to_dict(), max_tokens=1200,
                                           on_edit="raise")
        with pytest.raises(qc.HistoryEdited, match=r"^message \d+: the history changed"):
            strict.prompt(edited)
    with pytest.raises(ValueError, match="^message 3: a tool result that answers no call"):
        qc.Conversation.from_dict(conversation.to_dict(), max_tokens=1200).prompt(
            h[:3] + h[4:])  # the call deleted, its result left: no provider takes that
    with pytest.raises(ValueError, match="the options differ"):
        qc.Conversation.from_dict(conversation.to_dict(), max_tokens=1201)
    with pytest.raises(ValueError, match="^the token_counter differs"):
        qc.Conversation.from_dict(conversation.to_dict(), max_tokens=1200,
                                  token_counter=lambda text: len(text)).prompt(h)


def fleet(rounds=6):
    h = history("openai", [(50, [[1]], True)] * rounds, 0)
    for message in h:  # results of many short lines: no counter sees one huge token run
        if message["role"] == "tool":
            message["content"] = "row ok\n" * 300
    return h


@pytest.mark.parametrize("change", ["redact", "grow"])
def test_a_message_changed_in_place_is_an_edit(change):
    h = fleet()
    conversation = qc.Conversation(max_tokens=2000)
    first = conversation.prompt(h)
    index = first.elided[0] if change == "redact" else first.kept[-1]
    h[index]["content"] = "[redacted]" if change == "redact" else "grown " * 3000
    r = conversation.prompt(h)
    assert conversation.replans == 1 and r.input_tokens == qc.trim(h).input_tokens
    assert r.tokens_after == sum(r.message_tokens) and (r.tokens_after <= 2000 or r.over_budget)
    fresh = [dict(m) for m in h]  # equal copies: no edit, and the prompt holds these
    again = conversation.prompt(fresh)
    assert conversation.replans == 1 and all(
        message is fresh[i] for message, i in zip(again.messages, again.kept)
        if i not in again.elided)


def test_a_repeated_call_returns_the_very_prompt_until_the_history_grows():
    h = fleet()
    conversation = qc.Conversation(max_tokens=2000)
    first = conversation.prompt(h)
    assert first.elided and conversation.prompt(h) is first
    assert conversation.prompt(list(h)) is first  # the same messages in another list
    h.append({"role": "user", "content": "and now?"})
    grown = conversation.prompt(h)
    assert grown is not first and grown.messages[-1] is h[-1]
    assert conversation.prompt(h) is grown and conversation.replans == 0


def test_a_malformed_message_leaves_the_budget_counted_whole():
    # The message read before the malformed one is in the reading; the plan must count it,
    # or the next prompt passes for within budget while it is over.
    start = [{"role": "user", "content": "hello " * 2000}, {"role": "assistant", "content": "hi"}]
    grown = start + [{"role": "user", "content": "more " * 200},
                     {"role": "assistant", "content": "done"}]
    budget = qc.trim(grown, max_tokens=10**6).tokens_after - 10
    conversation = qc.Conversation(max_tokens=budget)
    conversation.prompt(start)
    with pytest.raises(TypeError, match="message 3"):
        conversation.prompt(grown[:3] + [{"role": 7}])
    after = conversation.prompt(grown)
    fresh = qc.Conversation(max_tokens=budget).prompt(grown)
    assert (after.tokens_before, after.tokens_after, after.kept) == \
        (fresh.tokens_before, fresh.tokens_after, fresh.kept)
    assert after.tokens_after <= budget < after.tokens_before


def test_a_system_prompt_over_the_budget_is_reported_not_raised():
    r = qc.Conversation(max_tokens=5, system="You are a helpful assistant.").prompt(
        [{"role": "user", "content": "hi"}])
    assert r.over_budget and r.kept == (0,)
    assert r.tokens_after == r.overhead_tokens + r.message_tokens[0] > 5


def tampered(state, **changes):
    return {**json.loads(json.dumps(state)), **changes}


N = len(fleet(8))


@pytest.mark.parametrize("changes, message", [
    ({"fates": "2", "frozen": None, "clamps": {}}, "'tokens' must be a list of 1 int"),
    ({"frozen": 10**6}, "'frozen' must be None or the number of messages"),
    ({"fates": "x" * N}, "'fates' must be a string of the digits 0 to 4"),
    ({"fates": "0" * N, "clamps": {}}, "drops message"),
    ({"tokens": [0] * N}, "^the token_counter differs"),
    ({"provider": "gemini-ish"}, "'provider' must be one of"),
    ({"calls": -1}, "'calls' must be a non-negative int"),
    ({"clamps": {"3": 10}}, "'clamps' must give the line budget"),
])
def test_a_tampered_state_is_refused_with_a_clear_error(changes, message):
    h = fleet(8)
    conversation = qc.Conversation(max_tokens=1200)
    conversation.prompt(h)
    state = conversation.to_dict()
    assert len(state["fates"]) == N and "0" in state["fates"]
    with pytest.raises(ValueError, match=message):
        qc.Conversation.from_dict(tampered(state, **changes), max_tokens=1200).prompt(h)


def test_a_state_whose_plan_breaks_the_rules_is_refused():
    h = fleet(8)
    conversation = qc.Conversation(max_tokens=5000)
    conversation.prompt(h)
    state = conversation.to_dict()
    fates = list(state["fates"])
    result = next(i for i, fate in enumerate(fates) if fate != "0" and h[i]["role"] == "tool"
                  and fates[i - 1] != "0")  # a result goes, its call stays
    fates[result] = "0"
    with pytest.raises(ValueError, match="breaks the provider's rules"):
        qc.Conversation.from_dict(tampered(state, fates="".join(fates)),
                                  max_tokens=5000).prompt(h)


def test_a_second_thread_is_refused_not_interleaved():
    entered, release = threading.Event(), threading.Event()

    def slow(text):
        entered.set()
        assert release.wait(600)
        return len(text)

    conversation = qc.Conversation(max_tokens=100, token_counter=slow)
    worker = threading.Thread(target=conversation.prompt, args=([{"role": "user",
                                                                 "content": "hi"}],))
    worker.start()
    assert entered.wait(600)
    with pytest.raises(RuntimeError, match="already running in another thread"):
        conversation.prompt([{"role": "user", "content": "hi"}])
    release.set()
    worker.join()


def test_newest_result_too_large_is_clamped_with_its_notable_line():
    log = "\n".join(f"step {k}: ok" for k in range(3000))
    log = log.replace("step 1500: ok", "step 1500: ERROR checksum mismatch in shard 7")
    h = [{"role": "system", "content": "Run the job."}, {"role": "user", "content": "Go."},
         {"role": "assistant", "content": None, "tool_calls": [
             {"id": "c1", "type": "function", "function": {"name": "run", "arguments": "{}"}}]},
         {"role": "tool", "tool_call_id": "c1", "content": log}]
    for r in (qc.trim(h, max_tokens=2000), qc.Conversation(max_tokens=2000).prompt(h)):
        assert (r.kept, r.clamped, r.over_budget) == ((0, 1, 2, 3), (3,), False)
        text = r.messages[3]["content"]
        assert text.startswith("[tool result clamped to fit the prompt budget: ")
        assert "ERROR checksum mismatch in shard 7" in text and "step 0: ok" in text
        assert "step 2999: ok" in text and r.tokens_after <= 2000


@pytest.mark.parametrize("option, message", [
    ({"max_tokens": -1}, "max_tokens must be a non-negative int"),
    ({"max_tokens": 10, "on_edit": "ignore"}, "on_edit must be 'replan' or 'raise'"),
    ({"max_tokens": 10, "provider": "bard"}, "provider must be one of 'openai', 'anthropic', 'responses'")])
def test_nonsense_options_are_refused(option, message):
    with pytest.raises(ValueError, match=message):
        qc.Conversation(**option)


def test_bundled_sessions_meet_the_goals():
    """The replay of the four bundled sessions, both formats, at 8,000 and 32,000 tokens,
    counted by the library's own count (o200k is not a test dependency)."""
    sessions = [replay.load(path) for path in sorted(replay.SESSIONS.glob("*.json"))]
    assert len(sessions) == 4
    results = replay.run(sessions, [8000, 32000], ("openai", "anthropic"), qc.count_tokens)
    for budget, table in results.items():
        for scores in table.values():
            for name, score in scores.items():
                assert score.invalid == score.modified == 0, (budget, name)
            assert scores["Conversation"].over == scores["trim"].over == 0
        pooled = table["pooled"]
        conversation, base = pooled["Conversation"], pooled["none"].cost["anthropic"]
        share = conversation.facts_present / conversation.facts_needed
        cost = conversation.cost["anthropic"] / base
        # Measured 104/104 at 0.420 and 104/104 at 0.328: the goals sit a little below.
        goal = {32000: (0.97, 0.45), 8000: (0.97, 0.34)}[budget]
        assert share >= goal[0] and cost <= goal[1], (budget, share, cost)
        for name in ("last-N", "clear-tools", "trim"):
            assert conversation.facts_present >= pooled[name].facts_present, (budget, name)
        for name in ("last-N", "clear-tools", "trim"):
            if pooled[name].over == 0:
                assert conversation.cost["anthropic"] <= pooled[name].cost["anthropic"]


@pytest.mark.parametrize("fmt", ["responses", "gemini", "langchain"])
def test_bundled_sessions_meet_the_goals_in_the_other_formats(fmt):
    if fmt == "langchain":
        pytest.importorskip("langchain_core")
    sessions = [replay.load(path) for path in sorted(replay.SESSIONS.glob("*.json"))]
    for budget, table in replay.run(sessions, [8000, 32000], (fmt,), qc.count_tokens).items():
        pooled = table["pooled"]
        conversation = pooled["Conversation"]
        assert conversation.invalid == conversation.over == pooled["trim"].invalid == 0
        share = conversation.facts_present / conversation.facts_needed
        cost = conversation.cost["anthropic"] / pooled["none"].cost["anthropic"]
        # Measured: Responses 52/52 at 0.339 and 52/52 at 0.41 (its reasoning items cannot
        # be shortened); Gemini and LangChain 52/52 at 0.328, and 52/52 at 0.415.
        goal = {("responses", 8000): (0.97, 0.35), ("responses", 32000): (0.97, 0.44)}.get(
            (fmt, budget), {8000: (0.97, 0.34), 32000: (0.97, 0.45)}[budget])
        assert share >= goal[0] and cost <= goal[1], (budget, share, cost)


@pytest.mark.parametrize("options, budget, whole", [
    ({}, 1000, set()),
    ({"exclude_tools": ["lookup"]}, 1800, {3}),
    ({"keep_recent_results": 2}, 1600, {15}),  # the newest round (19) is whole anyway
    ({"pin": lambda m: "ORD-5521" in str(m.get("content"))}, 2000, {7})])
def test_callers_pin_what_stays_whole(options, budget, whole):
    h = [{"role": "system", "content": "Support agent."}]
    for t, name in enumerate(["lookup", "search", "search", "search", "search"]):
        text = f"row {t}: ORD-5521 shipped" if t == 1 else f"row {t}: ok"
        h += [{"role": "user", "content": f"question {t}"},
              {"role": "assistant", "content": None, "tool_calls": [{
                  "id": f"c{t}", "type": "function",
                  "function": {"name": name, "arguments": "{}"}}]},
              {"role": "tool", "tool_call_id": f"c{t}", "content": "\n".join([text] * 100)},
              {"role": "assistant", "content": "done"}]
    for r in (qc.trim(h, max_tokens=budget, **options),
              qc.Conversation(max_tokens=budget, **options).prompt(h)):
        results = {i for i, m in enumerate(h) if m["role"] == "tool"} - {19}
        assert results - set(r.elided) == whole and not r.over_budget


def test_a_rolling_cache_mark_is_a_hint_and_cache_marks_places_the_breakpoints():
    """Anthropic's recipe: a mark on the newest message, moved every call. It must neither
    freeze the history nor count as an edit."""
    conversation, sent = qc.Conversation(max_tokens=3000), []
    h = [{"role": "user", "content": [{"type": "text", "text": "Check every shard."}]}]
    for turn in range(12):
        for message in h:  # the caller moves its one mark to the newest message
            for block in message["content"]:
                block.pop("cache_control", None)
        h.append({"role": "assistant", "content": [{"type": "tool_use", "id": f"t{turn}",
                                                    "name": "f", "input": {}}]})
        h.append({"role": "user", "content": [
            {"type": "tool_result", "tool_use_id": f"t{turn}", "content": "row ok\n" * 300},
            {"type": "text", "text": f"now shard {turn}", "cache_control": {"type": "ephemeral"}}]})
        sent.append(conversation.prompt(h))
    assert conversation.replans == 0 and 0 < conversation.compactions < 6
    assert all(r.tokens_after <= 3000 and not r.over_budget for r in sent)
    last = sent[-1]
    marked = qc.cache_marks(last)
    where = [i for i, m in enumerate(marked) for b in m["content"] if "cache_control" in b]
    assert where == sorted({last.stable_messages - 1, len(marked) - 1}) and len(where) <= 2
    assert RULES["anthropic"](marked) == [] and "cache_control" in h[-1]["content"][1]
    assert not any("cache_control" in block for m in h[:-1] for block in m["content"])
    with pytest.raises(ValueError, match="^cache marks are for Anthropic Messages"):
        qc.cache_marks(qc.trim([{"role": "system", "content": "s"}]))


@pytest.mark.parametrize("half_life", [0.5, 6.0, float("inf")])
def test_a_request_outlasts_its_turn_but_not_for_ever(half_life):
    """Chat Completions takes a request without its answer: a small one stays a while after
    its turn goes, and a compaction still gets within the budget."""
    h = [{"role": "system", "content": "Answer."}]
    for turn in range(120):
        h += [{"role": "user", "content": f"ticket T-{turn:04d} please"},
              {"role": "assistant", "content": "Done. " * 40}]
    h.append({"role": "user", "content": "Which tickets?"})
    r = qc.Conversation(max_tokens=3000, half_life=half_life).prompt(h)
    assert not r.over_budget and r.tokens_after <= 3000
    bare = [i for i in r.kept if h[i]["role"] == "user" and i + 1 not in r.kept and i + 1 < len(h)]
    whole = [i for i in r.kept if h[i]["role"] == "user" and i + 1 in r.kept]
    if half_life != float("inf"):  # without decay the kernel ranks no turn above another
        assert bare and whole and max(bare) < min(whole)  # the bare ones older than any whole


def test_a_prompts_input_tokens_stay_those_of_its_own_history_as_the_conversation_grows():
    h = [{"role": ("user", "assistant")[i % 2], "content": f"message {i} " * (i % 7 + 1)}
         for i in range(40)]
    conversation = qc.Conversation(max_tokens=120)
    results = [conversation.prompt(h[:end]) for end in (10, 11, 30, 40)]
    assert conversation.compactions > 0
    for end, r in zip((10, 11, 30, 40), results):  # read only now, after the later calls
        assert r.input_tokens == tuple(qc.count_tokens(m["content"]) + 4 for m in h[:end])
        assert r.tokens_before == sum(r.input_tokens)
