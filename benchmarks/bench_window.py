"""Cost of the ContextApoptosis window under a conversation-like load.

10,000 blocks are inserted; every 10 inserts a decay cycle runs (absorbing on every
other one) and every 100 inserts the window is rendered. Each kind of call is timed
on its own. A second part times single cycles over one large store.
"""
import random
import time

from quorvex_micro import ASSISTANT, FACT, SYSTEM, THINKING, TOOL, USER, ContextApoptosis

PURPOSE = "You are a careful coding assistant. Answer briefly and cite the files you touch.\n"
MIX = [(USER, 30), (ASSISTANT, 30), (TOOL, 20), (THINKING, 15), (FACT, 5)]
WORDS = ("the window keeps durable facts and lets ballast decay until it is purged "
         "while a stable purpose header stays cached ünïcödé € 😀").split()


def make_blocks(count, seed=7):
    rng = random.Random(seed)
    signals = [signal for signal, weight in MIX for _ in range(weight)]
    blocks = []
    for _ in range(count):
        size = rng.randint(10, 180)  # words: roughly 60 to 1,100 bytes
        blocks.append((" ".join(rng.choices(WORDS, k=size)), rng.choice(signals)))
    return blocks


def conversation(blocks=10_000, cycle_every=10, render_every=100):
    window = ContextApoptosis(half_life=4.0)
    window.set_purpose(PURPOSE)
    window.insert(PURPOSE, SYSTEM)
    t_insert = t_cycle = t_render = 0
    cycles = renders = cycled_blocks = rendered_bytes = 0
    clock = time.perf_counter_ns
    for i, (text, signal) in enumerate(make_blocks(blocks), 1):
        start = clock()
        window.insert(text, signal)
        t_insert += clock() - start
        if i % cycle_every == 0:
            cycled_blocks += len(window)
            absorb = cycles % 2 == 0
            start = clock()
            window.dehydrate(0.5, absorb)
            t_cycle += clock() - start
            cycles += 1
        if i % render_every == 0:
            start = clock()
            text = window.render()
            t_render += clock() - start
            renders += 1
            rendered_bytes += len(text.encode())
    return [
        ("insert", f"{t_insert / blocks / 1e3:.3f} us/insert", f"{blocks} inserts"),
        ("cycle", f"{t_cycle / cycles / 1e3:.2f} us/cycle",
         f"{t_cycle / cycled_blocks:.2f} us/1k blocks (avg {cycled_blocks / cycles:.0f} blocks)"),
        ("render", f"{t_render / renders / 1e3:.1f} us/render",
         f"{t_render / 1e3 / (rendered_bytes / 1e6):.0f} us/MB "
         f"(avg {rendered_bytes / renders / 1e3:.0f} kB)"),
        ("", f"final: {len(window)} blocks", f"reduction {window.reduction_ratio():.3f}"),
    ]


def large_store(count=200_000):
    rows = []
    texts = make_blocks(2_000, seed=11)
    clock = time.perf_counter_ns
    for label, absorb, oxygen in (("cycle, all kept", False, 1e30), ("cycle, all absorbed", True, 0.0)):
        window = ContextApoptosis(capacity=count)
        for i in range(count):
            text, _ = texts[i % len(texts)]
            window.insert(f"{i} {text[:200]}", USER, oxygen)
        start = clock()
        purged = window.dehydrate(0.5, absorb)
        elapsed = clock() - start
        rows.append((label, f"{elapsed / 1e3:.0f} us for {count} blocks",
                     f"{elapsed / count:.2f} us/1k blocks, purged {purged}"))
    window = ContextApoptosis(capacity=count)
    for i in range(count):
        window.insert(texts[i % len(texts)][0], FACT)
    start = clock()
    text = window.render()
    elapsed = clock() - start
    size = len(text.encode())
    rows.append(("render, large", f"{elapsed / 1e3:.0f} us for {size / 1e6:.1f} MB",
                 f"{elapsed / 1e3 / (size / 1e6):.0f} us/MB"))
    return rows


def print_table(title, rows):
    print(title)
    for row in rows:
        print(f"  {row[0]:<22}{row[1]:<34}{row[2]}")


def main():
    print_table("conversation: 10,000 inserts, cycle every 10, render every 100",
                conversation())
    print_table("large store", large_store())


if __name__ == "__main__":
    main()
