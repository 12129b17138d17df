"""Benchmark of the one-pass `dehydrate` on a mixed 10,000-message history."""

import random
import statistics
import time

import quorvex_micro as qm

CLASSES = [qm.SYSTEM, qm.USER, qm.ASSISTANT, qm.FACT, qm.TOOL, qm.THINKING, 0,
           qm.USER | qm.THINKING, qm.SYSTEM | qm.TOOL]
ALPHABET = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,;:"


def make_history(n, seed=7):
    rng = random.Random(seed)
    return [
        ("".join(rng.choices(ALPHABET, k=rng.randint(50, 400))), rng.choice(CLASSES))
        for _ in range(n)
    ]


def measure(messages, repeats, **kwargs):
    """Median whole-call and reported kernel time, in ns per message."""
    calls, kernels = [], []
    qm.dehydrate(messages, **kwargs)  # warm-up
    for _ in range(repeats):
        start = time.perf_counter_ns()
        r = qm.dehydrate(messages, **kwargs)
        calls.append(time.perf_counter_ns() - start)
        kernels.append(r["kernel_latency_us"] * 1000.0)
    n = len(messages)
    return statistics.median(calls) / n, statistics.median(kernels) / n, r


def main(n=10_000, repeats=200):
    messages = make_history(n)
    total_bytes = sum(len(t) for t, _ in messages)
    print(f"dehydrate: {n} messages, {total_bytes} bytes, median of {repeats} calls")
    print(f"{'case':<24}{'kept':>8}{'call ns/msg':>14}{'kernel ns/msg':>16}")
    for name, kwargs in [
        ("defaults", {}),
        ("stable_prefix=2000", {"stable_prefix": 2000}),
        ("half_life=500", {"half_life": 500.0}),
    ]:
        call_ns, kernel_ns, r = measure(messages, repeats, **kwargs)
        print(f"{name:<24}{r['blocks_kept']:>8}{call_ns:>14.1f}{kernel_ns:>16.2f}")


if __name__ == "__main__":
    main()
