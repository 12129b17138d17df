"""Concurrent use of one ContextApoptosis window from several Python threads:
inserters make a fixed number of calls, the other threads run alongside them."""
import sys
import threading

import numpy as np

from quorvex_micro import ASSISTANT, FACT, THINKING, TOOL, USER, ContextApoptosis
from support.text_model import tokens
from support.threads import HANG_SECONDS, Done, alongside, run_threads

INSERTS = 50_000


def test_four_threads_share_one_window():
    window = ContextApoptosis(half_life=1.0, state_capacity=16)
    signals = [0, USER, ASSISTANT, TOOL, THINKING, FACT, USER | TOOL]
    inserted = []
    purged_counts = []
    renders = []
    done = Done()

    def inserter():
        for i in range(INSERTS):
            text = f"block {i} " + "x" * (i % 23)
            window.insert(text, signals[i % len(signals)])
            inserted.append(text)
        done.finish()

    def cycler():
        for i in alongside(done, 10):
            purged_counts.append(window.dehydrate(absorb=i % 2 == 1))

    def noter():
        for i in alongside(done, 40):  # every fact at least once: the ledger fills
            window.note_state(f"fact {i % 40}")
            window.set_purpose(None if i % 3 == 0 else f"purpose {i % 2}")

    def reader():
        for _ in alongside(done, 10):
            text = window.render()
            entries = window.state_entries()
            assert len(entries) <= 16
            assert len(set(entries)) == len(entries)
            assert 0.0 <= window.reduction_ratio() <= 1.0
            assert len(window.active_context()) >= 0 and window.active_tokens() >= 0
            renders.append(len(text))

    run_threads([inserter, cycler, noter, reader])

    assert len(inserted) == INSERTS and purged_counts and renders
    total = sum(tokens(text) for text in inserted)
    assert window.inserted_tokens() == total

    survivors = window.active_context()
    survivor_set = set(survivors)
    assert len(survivor_set) == len(survivors) and survivor_set <= set(inserted)
    # One inserting thread: the survivors keep its order.
    assert survivors == [text for text in inserted if text in survivor_set]
    # Durable blocks are never purged.
    assert all(text in survivor_set
               for i, text in enumerate(inserted) if signals[i % len(signals)] == FACT)

    purged = sum(tokens(text) for text in inserted if text not in survivor_set)
    assert window.active_tokens() == sum(tokens(text) for text in survivors)
    assert window.active_tokens() + purged == window.inserted_tokens()
    assert sum(purged_counts) == len(inserted) - len(survivors)
    assert window.reduction_ratio() == float(np.float32(purged) / np.float32(total))
    assert len(window.state_entries()) == 16


def test_several_cyclers_and_inserters_keep_the_totals():
    window = ContextApoptosis(half_life=0.5)
    inserted = [[], []]
    purged_counts = []
    done = Done(2)

    def inserter(slot):
        def body():
            for i in range(INSERTS // 2):
                text = f"{slot}:{i}"
                window.insert(text, USER if i % 2 else TOOL)
                inserted[slot].append(text)
            done.finish()
        return body

    def cycler():
        for _ in alongside(done, 10):
            purged_counts.append(window.dehydrate(absorb=True))

    run_threads([inserter(0), inserter(1), cycler, cycler])

    everything = inserted[0] + inserted[1]
    survivors = set(window.active_context())
    assert window.inserted_tokens() == sum(tokens(text) for text in everything)
    assert sum(purged_counts) == len(everything) - len(survivors)
    purged = sum(tokens(text) for text in everything if text not in survivors)
    assert window.active_tokens() + purged == window.inserted_tokens()


def test_long_cycle_releases_the_interpreter_lock():
    blocks = 1_000_000
    window = ContextApoptosis(capacity=blocks)
    for i in range(blocks):
        window.insert(f"a block of the long store, number {i:07d}", USER, 0.0)

    phase = "before"
    running = True
    seen_mid_cycle = 0

    def watch():
        nonlocal seen_mid_cycle
        while running:
            # The purged total moves only at the very end of the cycle, so a zero
            # ratio after the cycle was entered means it is still running.
            if phase == "cycling" and window.reduction_ratio() == 0.0:
                seen_mid_cycle += 1

    watcher = threading.Thread(target=watch, daemon=True)
    # A long switch interval: the main thread, once it has the interpreter lock
    # back, is not asked to hand it over before it is inside the cycle, so the
    # watcher can only run mid-cycle if the cycle itself lets it.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.05)
    try:
        watcher.start()
        phase = "cycling"
        purged = window.dehydrate(absorb=True)
        phase = "after"
    finally:
        running = False
        watcher.join(HANG_SECONDS)
        sys.setswitchinterval(interval)
    assert purged == blocks and len(window) == 0
    assert window.reduction_ratio() == 1.0
    assert seen_mid_cycle > 0
