"""Benchmark of the one-pass `dehydrate` on a mixed 10,000-message history, beside
`conversions_only.c`: a C function doing only the conversions dehydrate must do
(walk the list, check each pair, copy the UTF-8 into one arena, convert the flags,
build new str for the kept messages), compiled here with the system compiler.

    python benchmarks/bench_dehydrate.py
"""

import importlib.machinery
import importlib.util
import os
import random
import shutil
import statistics
import subprocess
import sysconfig
import tempfile
import time

import quorvex_micro as qm

HERE = os.path.dirname(os.path.abspath(__file__))

CLASSES = [qm.SYSTEM, qm.USER, qm.ASSISTANT, qm.FACT, qm.TOOL, qm.THINKING, 0,
           qm.USER | qm.THINKING, qm.SYSTEM | qm.TOOL]
ALPHABET = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,;:"


def make_history(n, seed=7):
    rng = random.Random(seed)
    return [
        ("".join(rng.choices(ALPHABET, k=rng.randint(50, 400))), rng.choice(CLASSES))
        for _ in range(n)
    ]


def build_conversions_only(directory):
    """Compiles conversions_only.c into `directory` and imports it."""
    target = os.path.join(directory, "conversions_only" + importlib.machinery.EXTENSION_SUFFIXES[0])
    compiler = os.environ.get("CC") or shutil.which("cc") or "gcc"
    subprocess.run([
        compiler, "-shared", "-fPIC", "-O2", "-DPy_LIMITED_API=0x030A0000",
        "-I" + sysconfig.get_paths()["include"], os.path.join(HERE, "conversions_only.c"),
        "-o", target,
    ], check=True)
    loaded = importlib.util.spec_from_file_location("conversions_only", target)
    module = importlib.util.module_from_spec(loaded)
    loaded.loader.exec_module(module)
    return module


def kept_mask(messages, **kwargs):
    """dehydrate's decisions for `messages`, one byte per message. They depend on the
    flags and positions only, so the texts are swapped for their indices."""
    kept = qm.dehydrate([(str(k), flags) for k, (_, flags) in enumerate(messages)], **kwargs)
    keep = bytearray(len(messages))
    for index in kept["kept"]:
        keep[int(index)] = 1
    return bytes(keep)


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


def versus_floor(convert, messages, repeats, **kwargs):
    """Median ns per message of dehydrate and of conversions_only.convert on the same
    history, timed alternately so that a change in the machine's load hits both."""
    keep = kept_mask(messages, **kwargs)
    assert convert(messages, keep) == qm.dehydrate(messages, **kwargs)["kept"]
    clock = time.perf_counter_ns
    calls, floors = [], []
    for _ in range(repeats):
        start = clock()
        qm.dehydrate(messages, **kwargs)
        middle = clock()
        convert(messages, keep)
        calls.append(middle - start)
        floors.append(clock() - middle)
    n = len(messages)
    return statistics.median(calls) / n, statistics.median(floors) / n


def main(n=10_000, repeats=200):
    messages = make_history(n)
    total_bytes = sum(len(t) for t, _ in messages)
    print(f"dehydrate: {n} messages, {total_bytes} bytes, median of {repeats} calls")
    print(f"{'case':<24}{'kept':>8}{'call ns/msg':>14}{'kernel ns/msg':>16}"
          f"{'floor ns/msg':>15}{'ratio':>8}")
    with tempfile.TemporaryDirectory() as directory:
        convert = build_conversions_only(directory).convert
        for name, kwargs in [
            ("defaults", {}),
            ("stable_prefix=2000", {"stable_prefix": 2000}),
            ("half_life=500", {"half_life": 500.0}),
        ]:
            _, kernel_ns, r = measure(messages, repeats, **kwargs)
            call_ns, floor_ns = versus_floor(convert, messages, repeats, **kwargs)
            print(f"{name:<24}{r['blocks_kept']:>8}{call_ns:>14.1f}{kernel_ns:>16.2f}"
                  f"{floor_ns:>15.1f}{call_ns / floor_ns:>7.2f}x")


if __name__ == "__main__":
    main()
