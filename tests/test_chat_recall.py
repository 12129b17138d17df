"""Nothing leaves beyond recall: every notice names a handle, and the handle gives back the
original, in every format and with every kind of store."""
import json
import re

import pytest
from hypothesis import given, settings, strategies as st

import quorvex_chat as qc
from quorvex_chat import _elision, _recall
from quorvex_chat._elision import Eliser, Stretch, _shown
from quorvex_chat._formats import prompt_errors
from support.chat_formats import FORMATS
from test_chat_trim import history

HANDLE = re.compile(r"qv:[a-z2-7]{10}")


NEEDS = {"langchain": "langchain_core", "pydantic_ai": "pydantic_ai"}


def fleet(provider, turns=8):
    """A history whose every tool result is its own text, many lines long."""
    if provider in NEEDS:
        pytest.importorskip(NEEDS[provider])
    base = "openai" if provider == "openai" else "anthropic"
    if provider in FORMATS:
        base = FORMATS[provider][0]
    h = history(base, [(40, [[1]], True)] * turns, 99)
    results = []
    for message in h:
        parts = [message] if message["role"] == "tool" else [
            p for p in message["content"] if isinstance(p, dict) and p["type"] == "tool_result"
        ] if isinstance(message["content"], list) else []
        for part in parts:
            part["content"] = "".join(f"row {len(results)}.{n} ok\n" for n in range(300))
            results.append(part["content"])
    if provider in FORMATS:
        h = FORMATS[provider][1](h)
    return h, results


def stores(kind, tmp_path):
    return {"memory": None, "sqlite": tmp_path / "originals.db", "dict": {}}[kind]


@pytest.mark.parametrize("kind", ["memory", "sqlite", "dict"])
@pytest.mark.parametrize("provider", ["openai", "anthropic", *FORMATS])
def test_every_elided_result_comes_back_whole(provider, kind, tmp_path):
    h, results = fleet(provider)
    conversation = qc.Conversation(max_tokens=900, store=stores(kind, tmp_path))
    for end in range(1, len(h) + 1):
        r = conversation.prompt(h[:end])
    assert conversation.compactions >= 1 and not r.over_budget
    shown = repr(r.messages)
    handles = set(qc.HANDLE_PATTERN.findall(shown))
    recalled = [conversation.recall(handle) for handle in handles]
    assert handles and set(HANDLE.findall(shown)) == handles
    # Each result is whole in the prompt, or exactly what one handle gives back, or (its
    # turn dropped) inside the transcript another gives back.
    for text in results:
        assert text in shown.replace("\\n", "\n") or text in recalled or any(
            text in original for original in recalled), text[:20]
    assert any(text in recalled for text in results)  # elided, not only dropped
    if kind == "sqlite":  # another worker on the same file finds them too
        other = qc.SQLiteStore(tmp_path / "originals.db")
        assert {handle: other[handle] for handle in handles} == dict(zip(handles, recalled))
    restored = qc.Conversation.from_dict(json.loads(json.dumps(conversation.to_dict())),
                                         max_tokens=900, store=stores(kind, tmp_path))
    assert restored.to_dict()["handles"] == conversation.to_dict()["handles"]
    assert set(conversation.to_dict()["handles"]) == handles


CALLS = {
    "openai": lambda handle: ({"role": "assistant", "content": None, "tool_calls": [
        {"id": "call_r", "type": "function", "function": {
            "name": "recall", "arguments": json.dumps({"handle": handle})}}]}, None),
    "anthropic": lambda handle: ({"role": "assistant", "content": [
        {"type": "tool_use", "id": "toolu_r", "name": "recall", "input": {"handle": handle}}]},
        None),
    "responses": lambda handle: ({"type": "function_call", "call_id": "call_r",
                                  "name": "recall",
                                  "arguments": json.dumps({"handle": handle})}, None),
    "gemini": lambda handle: ({"role": "model", "parts": [
        {"function_call": {"name": "recall", "args": {"handle": handle}}}]}, 0),
}
ASK = {"openai": {"role": "user", "content": "Which row was it?"},
       "anthropic": {"role": "user", "content": "Which row was it?"},
       "responses": {"role": "user", "content": "Which row was it?"},
       "gemini": {"role": "user", "parts": [{"text": "Which row was it?"}]}}
TOOL_KEYS = {"openai": {"type", "function"}, "responses": {"type", "name", "description",
                                                           "parameters"},
             "anthropic": {"name", "description", "input_schema"},
             "gemini": {"function_declarations"}}


@pytest.mark.parametrize("provider", list(CALLS))
def test_the_model_recalls_through_its_own_tool_call(provider):
    h, results = fleet(provider)
    conversation = qc.Conversation(max_tokens=900)
    r = conversation.prompt(h)
    handle = qc.HANDLE_PATTERN.findall(repr(r.messages))[-1]
    assert set(conversation.recall_tool()) == TOOL_KEYS[provider]
    message, part = CALLS[provider](handle)
    call = message if part is None and provider == "responses" else \
        message["tool_calls"][0] if provider == "openai" else \
        message["content"][0] if provider == "anthropic" else message["parts"][part]
    answer = conversation.answer_recall(call)
    grown = [*h, ASK[provider], message, answer]
    again = conversation.prompt(grown)
    assert prompt_errors(list(again.messages), provider) == []
    assert conversation.recall(handle) in repr(answer).replace("\\n", "\n") or \
        conversation.recall(handle) in json.dumps(answer, ensure_ascii=False)


def test_a_query_brings_back_only_the_lines_that_hold_it():
    h, results = fleet("openai")
    conversation = qc.Conversation(max_tokens=900)
    r = conversation.prompt(h)
    handle = next(handle for handle in qc.HANDLE_PATTERN.findall(repr(r.messages))
                  if conversation.recall(handle) in results)
    whole = conversation.recall(handle)
    wanted = whole.splitlines()[200]  # its number is in no other line
    said = conversation.recall(handle, f"{wanted.split()[1]} NOTHING-like-this")
    assert said.splitlines() == [f"[1 of 300 lines hold '{wanted.split()[1]} "
                                 f"NOTHING-like-this']", wanted]
    call = {"id": "c", "type": "function", "function": {"name": "recall", "arguments": json.dumps(
        {"handle": handle, "query": "ok"})}}
    assert conversation.answer_recall(call)["content"].startswith(
        "[300 of 300 lines hold 'ok', the first 200 shown]")


@pytest.mark.parametrize("store", [dict, qc.MemoryStore, type("Own", (qc.MemoryStore,), {})])
def test_unknown_handles_and_colliding_digests(monkeypatch, store):
    conversation = qc.Conversation(max_tokens=100)
    with pytest.raises(KeyError, match="unknown handle 'qv:aaaaaaaaaa'"):
        conversation.recall("qv:aaaaaaaaaa")
    call = {"id": "c", "type": "function", "function": {"name": "recall",
                                                        "arguments": '{"handle": "qv:zz"}'}}
    said = conversation.answer_recall(call, provider="openai")
    assert said["tool_call_id"] == "c" and said["content"].startswith("[recall failed: unknown")
    # A text crafted to share another's short digest gets a longer handle, never its text.
    monkeypatch.setattr(_recall, "_digest", lambda text: "a" * 10 + ("b" if "x" in text
                                                                   else "c") * 42)
    originals = _recall.Originals(store())
    (first, _), (second, planned) = originals.keep(("x", "1")), originals.keep(("y", "2"))
    assert (first, second, planned) == ("qv:" + "a" * 10, "qv:" + "a" * 10 + "c", first)
    assert (originals.recall(first), originals.recall(second)) == ("x1", "y2")
    assert originals.keep("y2") == originals.keep(("y", "2")) == (second, planned)
    assert originals.again([first, "qv:gone"]) == ["qv:gone"]


def test_stores_are_bounded_oldest_first(tmp_path):
    memory = qc.MemoryStore(max_chars=10)
    for key in "abc":
        memory[key] = key * 4
    assert list(memory) == ["b", "c"]
    sqlite = qc.SQLiteStore(tmp_path / "s.db", key="thread-1", max_bytes=10)
    other = qc.SQLiteStore(tmp_path / "s.db", key="thread-2")
    for key in "abc":
        sqlite[key] = key * 4
    other["a"] = "kept apart"
    assert list(sqlite) == ["b", "c"] and sqlite["c"] == "cccc" and other["a"] == "kept apart"
    del sqlite["b"]
    with pytest.raises(KeyError):
        sqlite["b"]
    with pytest.raises(TypeError, match="store must be a mutable mapping"):
        qc.Conversation(max_tokens=10, store=42)


@pytest.mark.parametrize("kind", ["memory", "sqlite"])
def test_a_bounded_store_forgets_only_what_no_prompt_names(kind, tmp_path):
    """The notices of a long history's drops write their parts again at every compaction,
    far more than the bound; every handle a prompt shows is still recalled."""
    h, _ = fleet("openai", turns=40)
    store = qc.MemoryStore(max_chars=200_000) if kind == "memory" else qc.SQLiteStore(
        tmp_path / "o.db", max_bytes=200_000)
    conversation = qc.Conversation(max_tokens=8000, store=store)
    for end in range(2, len(h) + 1):
        if h[end - 1]["role"] in ("user", "tool"):
            for handle in set(HANDLE.findall(json.dumps(conversation.prompt(h[:end]).messages))):
                assert conversation.recall(handle)
    assert conversation.compactions > 10


def test_a_long_history_stores_each_part_of_its_drops_about_once():
    """Parts fall on fixed places of the history, so a compaction's notice names the
    parts the last one stored (before: 7.4 times the history stored after 80 turns)."""
    h, _ = fleet("openai", turns=80)
    store: dict[str, str] = {}
    conversation = qc.Conversation(max_tokens=8000, store=store, target=0.5)
    for end in range(2, len(h) + 1):
        if h[end - 1]["role"] in ("user", "tool"):
            conversation.prompt(h[:end])
    assert conversation.compactions > 30
    assert sum(map(len, store.values())) < 5 * sum(len(json.dumps(m)) for m in h)


def test_a_memory_store_holds_the_parts_of_drops_as_the_messages_own_texts():
    """The prompts and originals of a plain dict, while the strings it holds that are not
    the history's own come to a fraction of it: a grown part shares its messages' texts
    with the part it grew from (before: 3.6 times the history)."""
    h, _ = fleet("openai", turns=80)
    memory, plain = qc.MemoryStore(), {}
    shared = qc.Conversation(max_tokens=8000, store=memory, target=0.5)
    copied = qc.Conversation(max_tokens=8000, store=plain, target=0.5)
    for end in range(2, len(h) + 1):
        if h[end - 1]["role"] in ("user", "tool"):
            assert shared.prompt(h[:end]).messages == copied.prompt(h[:end]).messages
    assert shared.compactions > 30 and dict(memory) == plain
    own = {id(m["content"]) for m in h}
    held = {id(piece): len(piece) for text in memory._texts.values()
            for piece in ((text,) if isinstance(text, str) else text) if id(piece) not in own}
    assert sum(held.values()) < sum(len(json.dumps(m)) for m in h) / 10


@given(st.lists(st.lists(st.integers(0, 3), max_size=3), min_size=1, max_size=30), st.data())
def test_a_long_stretch_walks_the_rounds_of_its_digest_as_a_short_one(scores, data):
    """The order kept for all messages read, filtered to a stretch, is the order a heap of
    the stretch alone gives: equal scores the earlier first."""
    eliser = Eliser(None)
    offers = {index: [[score, "", 1] for score in sorted(line, reverse=True)]
              for index, line in enumerate(scores)}
    # Offered in two batches, the order made between them and merged after.
    first = data.draw(st.integers(0, len(scores)))
    eliser._offers = dict(list(offers.items())[:first])
    gone = tuple(sorted(data.draw(st.sets(st.sampled_from(range(len(scores))), min_size=1))))
    for batch in (first, len(scores)):
        for index in range(len(eliser._offers), batch):
            eliser._offers[index] = offers[index]
            eliser._added.append(index)
        among = tuple(index for index in gone if index < batch)
        for rank in range(3):
            assert list(eliser._round(among, rank, set(among))) == \
                list(eliser._round(among, rank, None))


def _walked_digest(eliser, gone):
    """A digest as a walk of every line of every round, each taken where it fits."""
    tokens, seen, chosen, spent, rank = _elision.DIGEST_TOKENS, set(), [], 0, 0
    while len(chosen) < tokens // _elision.DIGEST_LINE_TOKENS:
        rounds = list(eliser._round(gone, rank, None))
        for index in rounds:
            _, line, cost = eliser._offers[index][rank]
            if line not in seen and spent + cost <= tokens and \
                    len(chosen) < tokens // _elision.DIGEST_LINE_TOKENS:
                seen.add(line)
                chosen.append((index, rank, line))
                spent += cost
        if not rounds:
            break
        rank += 1
    return [line for _, _, line in sorted(chosen)]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.lists(st.tuples(st.integers(0, 3), st.sampled_from("abcdefghij"),
                                   st.integers(0, 90)), max_size=4), min_size=1, max_size=40),
       st.data())
def test_a_digest_narrowed_to_what_still_fits_takes_what_the_whole_walk_takes(offers, data):
    eliser = Eliser(None)
    for index, lines in enumerate(offers):
        eliser._offers[index] = sorted(map(list, lines), key=lambda offer: -offer[0])
        eliser._added.append(index)
        if any(cost == 0 for _, _, cost in lines):
            eliser._free.add(index)
    gone = tuple(sorted(data.draw(st.sets(st.sampled_from(range(len(offers))), min_size=1))))
    assert eliser._digest(gone, []) == _walked_digest(eliser, gone)


def test_a_digest_with_its_allowance_spent_still_takes_the_lines_counted_as_nothing():
    """A counter may count a short line as no tokens: such lines still join a digest whose
    allowance the longer lines spent to the token."""
    h = [m for t in range(60) for m in (
        {"role": "user", "content": f"Turn {t}: the deploy key for region {t} is "
                                    f"KX{t * 7919 % 10007:05d}, rotate it weekly\nok {t}"},
        {"role": "assistant", "content": f"Noted the key for region {t}, for the rotation."})]
    counter = lambda text: 0 if len(text) <= 6 else 40  # 8 long lines spend a digest's 320
    notice = qc.Conversation(max_tokens=900, token_counter=counter).prompt(h).messages[0]
    lines = notice["content"][0]["text"].splitlines()[1:]
    assert lines == [line for t in range(8) for line in (
        f"user: Turn {t}: the deploy key for region {t} is KX{t * 7919 % 10007:05d}, "
        f"rotate it weekly", f"ok {t}")]


@given(st.lists(st.sets(st.integers(0, 40), min_size=1), min_size=1, max_size=8),
       st.booleans())
def test_a_part_hashed_on_from_another_has_the_handle_of_its_whole_transcript(parts, compacted):
    """Parts from one message, in any order: each shares a start with the one before it,
    longer, shorter, or parting from it inside a step of the kept digests, the one before
    named in a compaction since where `compacted`."""
    views = [{"role": "user", "content": f"message {index} \u00e9\ud800"} for index in range(41)]
    eliser = Eliser(None)
    for members in parts:
        part = (0, *sorted(members - {0}))
        digest = eliser._part_digest(part, views)
        transcript = "\n\n".join(_shown(views[index]) for index in part)
        assert digest == _recall._digest(transcript)  # what the store is told the text is
        assert _recall.short_handle(digest) == _recall.handle_for(transcript)
        if compacted:
            eliser._digests[Stretch(part)] = digest
            eliser._tried.add(Stretch(part))
            eliser.forget_notes()
            eliser.forget_notes({})


def test_adapters_offer_the_recall_tool():
    langchain = pytest.importorskip("quorvex_chat.langchain")
    pydantic_ai = pytest.importorskip("quorvex_chat.pydantic_ai")
    agents = pytest.importorskip("quorvex_chat.openai_agents")
    store = {"qv:abcdefghij": "the original"}
    middleware = langchain.TrimMiddleware(max_tokens=500, recall=True, store=store)
    assert middleware.tools[0].invoke({"handle": "qv:abcdefghij"}) == "the original"
    assert middleware.tools[0].invoke({"handle": "qv:abcdefghij", "query": "ORIG"}) == \
        "[1 of 1 lines hold 'ORIG']\nthe original"
    assert langchain.TrimMiddleware(max_tokens=500).tools == []
    capability = pydantic_ai.TrimHistory(max_tokens=500, recall=True, store=store)
    assert capability.get_toolset() is not None
    assert pydantic_ai.TrimHistory(max_tokens=500).get_toolset() is None
    trim_input = agents.TrimInput(max_tokens=500, recall=True, store=store)
    assert trim_input.tool.name == "recall"
    assert trim_input.recall("qv:nothing").startswith("[recall failed")


@pytest.mark.parametrize("reach", [None, 8])
def test_a_notices_digest_hears_from_the_newest_of_its_stretch(monkeypatch, reach):
    from quorvex_chat import _elision
    if reach is not None:
        monkeypatch.setattr(_elision, "DIGEST_REACH", reach)
    h = [m for t in range(80) for m in (
        {"role": "user", "content": f"Turn {t}: the code is Z{t:03d}-{t * 7919 % 1000}"},
        {"role": "assistant", "content": f"Noted Q{t:03d}."})]
    notice = qc.Conversation(max_tokens=1200).prompt(h).messages[0]["content"][0]["text"]
    heard = sorted({int(t) for t in re.findall(r"\n\w+: \w+ (\d+)", notice)})
    gone = int(notice[1:notice.index(" ")])
    last = (gone - 1) // 2  # the turn of the newest message gone
    # Within a reach of 8 messages, the newest 4 turns; without one, from the first on.
    assert heard == list(range(last - 3, last + 1)) if reach else heard[0] == 0


def test_stretches_alike_at_their_ends_are_apart_as_keys():
    """A stretch hashes by its ends and length: two that differ inside stay two notices."""
    one, other = Stretch((1, 2, 5)), Stretch((1, 3, 5))
    assert hash(one) == hash(other) and one != other
    assert {one: "a", other: "b"}[Stretch((1, 3, 5))] == "b"
    assert Stretch((1, 2, 5), later=True) != one


def test_a_message_offers_its_lines_to_digests_once_over_a_session(monkeypatch):
    """The trials of one compaction read from before where the notices it keeps do, and
    the next one's again: what they read is not let go, or it is read anew every time."""
    monkeypatch.setattr(_elision, "DIGEST_REACH", 48)
    monkeypatch.setattr(_elision, "_REACH_MARGIN", 24)  # as far as the trials move here
    ranked, rank = [], Eliser._ranked
    monkeypatch.setattr(Eliser, "_ranked", lambda self, index, view: (
        index in self._offers or ranked.append(index), rank(self, index, view))[1])
    conversation, h = qc.Conversation(max_tokens=400), []
    for t in range(150):
        h += [{"role": "user", "content": f"Turn {t}: check host-{t * 7919 % 1000}"},
              {"role": "assistant", "content": f"Host {t} answers {t * 31 % 97} ms.\nok"}]
        conversation.prompt(h)
    assert conversation.compactions > 50 and len(ranked) == len(set(ranked))
