#!/usr/bin/env python3
"""Leak check of the chat layer: many conversations and stateless trims, and memory stays flat.

Two cases, each run for a warm-up and then N times (default 10,000):
  - conversation: a `Conversation` prompts a small growing history a few times (compacting
    it), goes through `to_dict`/`from_dict`, prompts once more restored, and is dropped;
  - trim: a stateless `trim` of a history whose older tool results are elided to notices.
Each run has text of its own, so the module-level notice cache of `_notable` keeps filling;
it must never hold more than its 4096 entries. After a warm-up, growth over the N runs is
measured by the Python allocator's blocks in use, the count of live objects and the resident
size; then over further runs (--traced) by tracemalloc, which slows them several times over;
and the conversations of a last hundred runs, once dropped, must all be freed.

Usage: PYTHONPATH=src python3 tools/chat_leak_check.py [-n 10000]
Prints one line per case and a last summary line; exits 1 when anything grew.
"""
import argparse
import gc
import sys
import time
import tracemalloc
import weakref

import quorvex_chat as qc
from leak_check import rss_bytes  # the native leak check's, beside this file
from quorvex_chat import _notable

KiB = 1024
BUDGET = 250


def round_of(i, r):
    """One call and its result, with text no other round has (so no notice is reused)."""
    call = f"call_{i}_{r}"
    rows = "\n".join(f"shard {k} ok lag {(i * 7 + k) % 900} ms" for k in range(8))
    return [{"role": "assistant", "content": None, "tool_calls": [
                {"id": call, "type": "function",
                 "function": {"name": "shard_status", "arguments": f'{{"group": {r}}}'}}]},
            {"role": "tool", "tool_call_id": call,
             "content": f"{rows}\nERROR replica s-{i:05d}-{r} diverged"}]


def grown(i, rounds):
    history = [{"role": "system", "content": "You watch the shard fleet."},
               {"role": "user", "content": f"Is group {i % 7} healthy?"}]
    for r in range(rounds):
        history += round_of(i, r)
    return history


class Watched(list):
    """Weak references to the conversations of the runs made while `watching`."""

    watching = False


class Bound:
    """The notice cache's largest size seen, read after every call."""

    def __init__(self):
        self.most = 0

    def see(self):
        self.most = max(self.most, len(_notable._NOTICES))


def conversation_case(dropped, bound):
    def run(i):
        conversation = qc.Conversation(max_tokens=BUDGET)
        history = grown(i, 1)
        for rounds in (1, 3, 5):  # the history grows by appending; the last prompts compact
            history = history + grown(i, rounds)[len(history):]
            conversation.prompt(history)
            bound.see()
        state = conversation.to_dict()
        restored = qc.Conversation.from_dict(state, max_tokens=BUDGET)
        history = history + [{"role": "assistant", "content": "All healthy."}]
        result = restored.prompt(history)
        assert restored.to_dict()["calls"] == state["calls"] + 1
        assert result.tokens_after <= BUDGET or result.over_budget
        bound.see()
        if dropped.watching:
            dropped.extend([weakref.ref(conversation), weakref.ref(restored)])
    return run


def trim_case(bound):
    def run(i):
        history = grown(i, 6)
        result = qc.trim(history, max_tokens=BUDGET)
        assert result.elided, "the case must elide"
        bound.see()
    return run


def snapshot():
    # The notice cache is emptied first: what it holds is bounded, not leaked, and is checked
    # on its own; left in, its clearing every 4096 notices would move the numbers by
    # megabytes either way.
    _notable._NOTICES.clear()
    gc.collect()
    return {"blocks": sys.getallocatedblocks(), "objects": len(gc.get_objects()),
            "rss": rss_bytes(), "traced": tracemalloc.get_traced_memory()[0]}


def measured(run, first, iterations, traced):
    """Growth over `iterations` runs numbered from `first`; traced by tracemalloc if asked,
    which slows the runs several times over, so the long runs go untraced."""
    if traced:
        tracemalloc.start()
        # Blocks allocated before tracing and grown during it (the extension's scratch
        # buffers, dict tables) would be new to it: a first stretch of runs takes them in.
        for i in range(first, first + 100):
            run(i)
        first += 100
    before = snapshot()
    for i in range(first, first + iterations):
        run(i)
    after = snapshot()
    tracemalloc.stop()
    return {key: None if before[key] is None else after[key] - before[key] for key in before}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", "--iterations", type=int, default=10_000)
    parser.add_argument("--traced", type=int, default=500,
                        help="further runs of each case under tracemalloc")
    parser.add_argument("--warmup", type=int, default=500)
    args = parser.parse_args(argv)
    # A leak of one allocation in ten runs shows in the blocks; one of 64 bytes a run shows
    # in the traced memory. The resident size moves by whole arenas and pages, so only
    # megabytes count there.
    tolerance = {"blocks": max(args.iterations // 10, 100), "objects": 100,
                 "rss": 8 * 1024 * KiB, "traced": 64 * args.traced}
    held = _notable._NOTICES_HELD
    bound = Bound()
    dropped = Watched()
    cases = {"conversation": conversation_case(dropped, bound), "trim": trim_case(bound)}
    failures = []
    started = time.monotonic()
    for name, run in cases.items():
        for i in range(args.warmup):
            run(-1 - i)
        grew = measured(run, 0, args.iterations, traced=False)
        grew["traced"] = measured(run, args.iterations, args.traced, traced=True)["traced"]
        dropped.watching = True
        for i in range(100):  # and every conversation dropped is freed, none held anywhere
            run(args.iterations + args.traced + 100 + i)
        dropped.watching = False
        gc.collect()
        alive = sum(ref() is not None for ref in dropped)
        problems = [what for what in grew if grew[what] is not None and grew[what] > tolerance[what]]
        problems += [f"{alive} of {len(dropped)} dropped conversations alive"] if alive else []
        failures += [f"{name}: {problem}" for problem in problems]
        rss = "n/a" if grew["rss"] is None else f"{grew['rss'] / KiB:+.0f} KiB"
        dropped.clear()
        print(f"{name:<13} {args.iterations} runs: blocks {grew['blocks']:+d}, objects "
              f"{grew['objects']:+d}, RSS {rss}; {args.traced} more traced: "
              f"{grew['traced'] / KiB:+.1f} KiB  {'GROWS: ' + ', '.join(problems) if problems else 'ok'}")
    if held != 4096 or bound.most > held:
        failures.append(f"notice cache held {bound.most} entries, bound {held}")
    if bound.most < held // 2:  # the runs must have tested the bound, not stayed under it
        failures.append(f"notice cache reached only {bound.most} entries: the bound went untested")
    elapsed = time.monotonic() - started
    print(f"chat leak check: {'FAIL ' + '; '.join(failures) if failures else 'ok'} "
          f"({len(cases)} cases x {args.iterations}, notice cache at most {bound.most} of "
          f"{held} entries, {elapsed:.0f} s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
