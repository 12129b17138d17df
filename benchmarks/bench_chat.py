"""quorvex_chat beside LangChain's `trim_messages`, in CPU seconds taken in one run.

The history is what an agent loop writes in Chat Completions: requests of about 50 tokens,
tool calls, and JSON or log results of 150 to 3,000 tokens, with their answers. Both
libraries count with the same counter: o200k where bpe-openai is installed, else
`count_tokens`. Rows:

- `trim` of a whole history beside `trim_messages` (strategy "last", the same budget);
- `Conversation.prompt` on a long history beside a short one: an append-only call (per
  message appended; the history sliced, grown in place, or sliced with the caches made cold
  before each call), a compaction, and a repeated call on an unchanged history beside an
  append-only one; its first call on the long history beside `trim_messages` on it; and
  the memory it holds on a long history beside the history's JSON.
"""
import json
import random
import time

import quorvex_chat as qc

BUDGET = 32_000


def make_conversation(n, seed=3):
    """An OpenAI history of `n` messages: requests, tool calls with JSON or log results,
    answers."""
    rng = random.Random(seed)
    history = [{"role": "system", "content": "You are the on-call agent for the storage "
                                             "fleet. Use the tools."}]
    turn = 0
    while len(history) < n:
        history.append({"role": "user", "content": (
            f"Turn {turn}: please look at shard group {turn % 13} in region eu-{turn % 4}; the "
            f"ticket is OPS-{4000 + turn} and the customer reports slow writes since the last "
            f"deploy, check it.")})
        call = f"call_{turn}"
        name = "shard_status" if turn % 2 else "tail_logs"
        history.append({"role": "assistant", "content": None, "tool_calls": [{
            "id": call, "type": "function", "function": {"name": name, "arguments": json.dumps(
                {"group": turn % 13, "region": f"eu-{turn % 4}"})}}]})
        if turn % 2:
            body = json.dumps([{"shard": k, "lag_ms": rng.randint(20, 140), "state": "ok",
                                "host": f"db-{rng.randint(1, 99)}.eu"}
                               for k in range(rng.randint(8, 140))])
        else:
            body = "\n".join(
                f"2026-12-0{rng.randint(1, 9)}T10:{rng.randint(10, 59)}:{rng.randint(10, 59)}Z "
                f"INFO writer-{rng.randint(1, 9)} flushed {rng.randint(100, 9000)} pages in "
                f"{rng.randint(3, 90)} ms" for _ in range(rng.randint(10, 160)))
        history.append({"role": "tool", "tool_call_id": call, "content": body})
        history.append({"role": "assistant", "content": f"Group {turn % 13} looks healthy; lag "
                                                        f"is within bounds."})
        turn += 1
    return history[:n]


def counter():
    """o200k where bpe-openai is installed, else the library's default count."""
    try:
        import bpe_openai
    except ImportError:
        return qc.count_tokens, "count_tokens"
    encoding = bpe_openai.get_encoding("o200k_base")
    encoding.encode_ordinary("warm up")  # its tables load on first use, outside the timings
    return (lambda text: len(encoding.encode_ordinary(text))), "o200k"


def cpu(call):
    began = time.process_time()
    call()
    return time.process_time() - began


def langchain_trim(history, count):
    """A callable timing LangChain's trim of `history` with `count`, or None without it."""
    try:
        from langchain_core.messages import convert_to_messages, trim_messages
    except ImportError:
        return None
    messages = convert_to_messages(history)

    def tokens(batch):
        return sum(count(m.content if isinstance(m.content, str) else str(m.content)) + 4
                   for m in batch)

    return lambda: cpu(lambda: trim_messages(messages, max_tokens=BUDGET, strategy="last",
                                             token_counter=tokens, start_on="human",
                                             include_system=True))


def session(n, count, calls, in_place=False, cold=False):
    """A Conversation's first call on n messages, then `calls` appends: (first, median
    append-only call, median compaction, repeated call) in seconds. The history is sliced
    anew for each call, as a framework that rebuilds its message list does, or (`in_place`)
    grown by appending to one list, as an agent loop does. Slicing touches every message
    just before the call, so the call runs with colder caches the longer the history is;
    `cold` makes them cold at every size before each call, as the model's reply and the
    tools run between two calls do."""
    history = make_conversation(n + calls)
    conversation = qc.Conversation(max_tokens=BUDGET, token_counter=count)
    grown = history[:n]
    first = cpu(lambda: conversation.prompt(grown))
    appends, compactions = [], []
    spill = bytearray(16 << 20)  # well past a core's caches
    for k in range(n + 1, n + calls + 1):
        before = conversation.compactions
        if in_place:
            grown.append(history[k - 1])
        else:
            grown = history[:k]
        if cold:
            spill[::64] = bytes(len(spill) // 64)  # a write to every cache line
        took = cpu(lambda: conversation.prompt(grown))
        (compactions if conversation.compactions > before else appends).append(took)
    repeats = 50
    repeat = cpu(lambda: [conversation.prompt(grown) for _ in range(repeats)]) / repeats
    median = lambda values: sorted(values)[len(values) // 2] if values else float("nan")
    return first, median(appends), median(compactions), repeat


def held(n, count):
    """The memory a Conversation holds once grown to n messages 25 at a call (its store of
    originals in memory included), and the history's JSON, in bytes."""
    import gc
    import tracemalloc
    history = make_conversation(n)
    gc.collect()
    tracemalloc.start()
    try:
        conversation = qc.Conversation(max_tokens=BUDGET, token_counter=count)
        for k in range(200, n + 1, 25):
            conversation.prompt(history[:k])
        gc.collect()
        size = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    return size, len(json.dumps(history))


def chat_rows(quick):
    count, name = counter()
    for n in (1_000, 3_000) if quick else (1_000, 10_000, 100_000):
        history = make_conversation(n)
        theirs = langchain_trim(history, count)
        ours = cpu(lambda: qc.trim(history, max_tokens=BUDGET, token_counter=count))
        if theirs is not None:
            lc = theirs()
            yield ("trim", f"{n // 1000}k msgs vs LC", f"s ({name})", ours, lc, lc / ours)
    # The 100,000 messages of the last trim (and LangChain's copy of them) would stay alive
    # through the sessions, and the collector's full passes over them land in whichever call
    # crosses its threshold, for either library.
    del history, theirs
    short, long = (1_000, 5_000) if quick else (1_000, 20_000)
    calls = 200 if quick else 400
    first_s, append_s, compact_s, _ = session(short, count, calls)
    first_l, append_l, compact_l, repeat_l = session(long, count, calls)
    yield ("Conversation", f"append {long // 1000}k/{short // 1000}k", "ms/call",
           append_l * 1e3, append_s * 1e3, append_s / append_l)
    yield ("Conversation", f"compact {long // 1000}k/{short // 1000}k", "ms",
           compact_l * 1e3, compact_s * 1e3, compact_s / compact_l)
    yield ("Conversation", "repeat vs append", "µs/call", repeat_l * 1e6, append_l * 1e6,
           append_l / repeat_l)
    _, append_s, _, _ = session(short, count, calls, in_place=True)
    _, append_l, _, repeat_l = session(long, count, calls, in_place=True)
    yield ("Conversation", f"in place {long // 1000}k/{short // 1000}k", "ms/call",
           append_l * 1e3, append_s * 1e3, append_s / append_l)
    yield ("Conversation", "in place repeat", "µs/call", repeat_l * 1e6,
           append_l * 1e6, append_l / repeat_l)
    _, append_s, _, _ = session(short, count, calls, cold=True)
    _, append_l, _, _ = session(long, count, calls, cold=True)
    yield ("Conversation", f"cold {long // 1000}k/{short // 1000}k", "ms/call",
           append_l * 1e3, append_s * 1e3, append_s / append_l)
    theirs = langchain_trim(make_conversation(long), count)
    if theirs is not None:
        lc = theirs()
        yield ("Conversation", f"first {long // 1000}k vs LC", "s", first_l, lc, lc / first_l)
    n = 2_000 if quick else 5_000
    size, text = held(n, count)
    yield ("Conversation", f"held vs JSON {n // 1000}k", "MB", size / 1e6, text / 1e6, text / size)
