"""quorvex_chat per call: one message appended to a 10,000-message conversation, then its
prompt, by `Conversation.prompt` beside LangChain's `trim_messages` (when langchain-core is
installed) and a stateless `quorvex_chat.trim` on the same history."""
import json
import random
import time

import quorvex_chat as qc


def make_conversation(n, seed=7):
    """An OpenAI history of `n` messages: requests, tool calls with JSON results, answers."""
    rng = random.Random(seed)
    history = [{"role": "system", "content": "You watch the fleet; call shard_status."}]
    turn = 0
    while len(history) < n:
        history.append({"role": "user", "content": f"Is shard group {turn % 9} healthy?"})
        call = f"call_{turn}"
        history.append({"role": "assistant", "content": None, "tool_calls": [{
            "id": call, "type": "function",
            "function": {"name": "shard_status", "arguments": json.dumps({"group": turn})}}]})
        history.append({"role": "tool", "tool_call_id": call, "content": json.dumps(
            [{"shard": k, "lag_ms": rng.randint(0, 900)} for k in range(rng.randint(5, 40))])})
        history.append({"role": "assistant", "content": f"Group {turn % 9} is healthy."})
        turn += 1
    return history[:n]


def per_call_ms(prompt, history, start, calls):
    """Median ms of prompt(history[:k]) for k = start+1 .. start+calls, one append each."""
    times = []
    for k in range(start + 1, start + calls + 1):
        began = time.perf_counter()
        prompt(history[:k])
        times.append(time.perf_counter() - began)
    times.sort()
    return times[len(times) // 2] * 1e3


def chat_rows(quick):
    n = 2_000 if quick else 10_000
    calls = 20 if quick else 60
    history = make_conversation(n + calls)
    conversation = qc.Conversation(max_tokens=32_000)
    conversation.prompt(history[:n])  # the conversation so far, planned once
    # The slice each call takes is the caller's list as it stands; time it apart.
    slicing = per_call_ms(lambda h: None, history, n, calls)
    native = per_call_ms(conversation.prompt, history, n, calls) - slicing
    stateless = per_call_ms(lambda h: qc.trim(h, max_tokens=32_000), history, n, 5) - slicing
    yield ("Conversation", f"+1 of {n:,} msgs", "ms/call", native, stateless, stateless / native)
    try:
        from langchain_core.messages import trim_messages
        from langchain_core.messages.utils import count_tokens_approximately
    except ImportError:
        return
    lc = per_call_ms(lambda h: trim_messages(h, max_tokens=32_000, strategy="last",
                                             token_counter=count_tokens_approximately,
                                             start_on="human", include_system=True),
                     history, n, 5) - slicing
    yield ("Conversation", "vs trim_messages", "ms/call", native, lc, lc / native)
