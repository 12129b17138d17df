"""Every benchmark of the module in one table: medians after warm-up, beside a
straightforward pure-Python version of the same work where one exists.

    python benchmarks/run.py [--repeats N] [--quick] [--only text|dehydrate|chat] [--before DIR]
    python benchmarks/run.py --markdown     # the README's table, with the line that dates it
    python benchmarks/run.py --only chat    # quorvex_chat beside LangChain (minutes; not in the above)

--before DIR first runs the text rows (or the --only rows) against the build of the
module in DIR (an earlier commit's build tree or install folder), so one run shows both.
"""
import argparse
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import quorvex_micro as qm  # noqa: E402
from bench_bus import build_baseline  # noqa: E402
from bench_chat import chat_rows  # noqa: E402
from bench_dehydrate import build_conversions_only, make_history, versus_floor  # noqa: E402
from bench_text import (  # noqa: E402
    VOCABULARY_ACCENTS, VOCABULARY_PT, flood, prose, py_effort_gauge, py_saturation_scan)
from bench_window import make_blocks  # noqa: E402

WEIGHTS = [(qm.USER | qm.ASSISTANT, 1.0), (qm.THINKING, 0.15), (qm.TOOL, 0.25)]


def py_dehydrate(messages, half_life=6.0, safe_threshold=0.35):
    """The one-pass rule as a Python user would write it."""
    n = len(messages)
    kept, before, after = [], 0, 0
    for k, (text, flags) in enumerate(messages):
        tokens = len(text.encode()) // 4 + 1
        before += tokens
        if flags & 9:
            keep = True
        else:
            weight = next((w for mask, w in WEIGHTS if flags & mask), 0.6)
            keep = 2.0 ** (-(n - 1 - k) / half_life) * weight >= safe_threshold
        if keep:
            kept.append(text)
            after += tokens
    return {"kept": kept, "tokens_before": before, "tokens_after": after}


class PyWindow:
    """A list-based window doing the same decay, purge and render work."""

    def __init__(self, half_life=4.0, threshold=0.35):
        self.factor = 2.0 ** (-1.0 / half_life)
        self.threshold = threshold
        self.blocks = []

    def insert(self, text, signal):
        weight = 4.0 if signal & 9 else next((w for m, w in WEIGHTS if signal & m), 0.6)
        self.blocks.append([text, weight, signal])

    def dehydrate(self):
        for block in self.blocks:
            block[1] = block[1] + 0.5 if block[2] & 9 else block[1] * self.factor
        before = len(self.blocks)
        self.blocks = [b for b in self.blocks if b[2] & 9 or b[1] >= self.threshold]
        return before - len(self.blocks)

    def render(self):
        return "\n".join(b[0] for b in self.blocks)


def median_seconds(fn, repeats, warmup=2):
    for _ in range(warmup):
        fn()
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def window_load(make_window, blocks):
    """Per-operation medians of a conversation: cycle every 10 inserts, render every 100."""
    window = make_window()
    inserts, cycles, renders, rendered = [], [], [], 0
    cycled = 0
    clock = time.perf_counter
    for i, (text, signal) in enumerate(blocks, 1):
        start = clock()
        window.insert(text, signal)
        inserts.append(clock() - start)
        if i % 10 == 0:
            size = len(window.blocks) if isinstance(window, PyWindow) else len(window)
            start = clock()
            window.dehydrate()
            cycles.append((clock() - start) / max(size, 1) * 1000)
            cycled += size
        if i % 100 == 0:
            start = clock()
            text = window.render()
            elapsed = clock() - start
            rendered = len(text.encode())
            renders.append(elapsed / max(rendered, 1) * 1e6)
    return statistics.median(inserts), statistics.median(cycles), statistics.median(renders)


ROOT = Path(__file__).resolve().parent.parent
CRAFTED_BITS = {"std": 15, "sip": 15, "shingle1": 15, "shingle8": 14}


def build_collider(directory):
    """Compiles tools/collide_words.cpp (the crafted-word generator) into `directory`."""
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which(
        "clang++")
    if compiler is None:
        sys.exit("the crafted-collision rows need a C++20 compiler (set CXX)")
    program = Path(directory) / "collide_words"
    subprocess.run([compiler, "-O2", "-std=c++20", "-pthread", str(ROOT / "tools" / "collide_words.cpp"),
                    "-o", str(program)], check=True)
    return program


def make_crafted(directory, count):
    """Word lists colliding in the low bits of the fixed hashes a set could use, saved in
    `directory` so that a --before child reads the same ones."""
    program = build_collider(directory)
    runs = {"std": ("std", count // 2), "sip": ("sip", count // 2),
            "shingle1": ("shingle", count, 1), "shingle8": ("shingle", count, 8)}
    for name, (mode, n, *window) in runs.items():
        args = [str(program), mode, str(n), str(CRAFTED_BITS[name]), *map(str, window)]
        out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
        (Path(directory) / f"{name}.txt").write_text(out)


def ordinary_like(words, seed):
    """As many distinct random words of the same lengths over the same characters."""
    rng = random.Random(seed)
    alphabet = "abcdefghijklmnopqrstuvwxyz012345"
    seen, out = set(), []
    for word in words:
        while True:
            candidate = "".join(rng.choice(alphabet) for _ in word)
            if candidate not in seen:
                break
        seen.add(candidate)
        out.append(candidate)
    return out


def crafted_rows(directory, repeats):
    """Time on crafted words beside ordinary words of the same size and count."""
    read = lambda name: (Path(directory) / f"{name}.txt").read_text().split()  # noqa: E731
    gauge_words = read("std") + read("sip")
    cases = [
        ("effort_gauge", f"crafted {len(gauge_words) // 1000}k words", gauge_words,
         qm.effort_gauge),
        ("saturation_scan", "crafted, window 1", read("shingle1"),
         lambda text: qm.saturation_scan(text, 1)),
        ("saturation_scan", "crafted, window 8", read("shingle8"),
         lambda text: qm.saturation_scan(text, 8)),
    ]
    for name, label, words, fn in cases:
        crafted = " ".join(words)
        ordinary = " ".join(ordinary_like(words, seed=len(words)))
        assert len(crafted) == len(ordinary)
        slow = median_seconds(lambda: fn(crafted), max(3, repeats // 6), warmup=1) * 1e3
        fast = median_seconds(lambda: fn(ordinary), max(3, repeats // 6), warmup=1) * 1e3
        yield (name, label, "ms (ordinary)", slow, fast, slow / fast)


def text_rows(repeats, quick, crafted_dir):
    texts = [("1 KB prose", prose(1_000)), ("100 KB prose", prose(100_000)),
             ("100 KB Portuguese", prose(100_000, vocabulary=VOCABULARY_PT)),
             ("100 KB accented", prose(100_000, vocabulary=VOCABULARY_ACCENTS))]
    for label, text in texts:
        mb = len(text.encode()) / 1e6
        native = mb / median_seconds(lambda: qm.effort_gauge(text), repeats)
        python = mb / median_seconds(lambda: py_effort_gauge(text), max(3, repeats // 10))
        yield ("effort_gauge", label, "MB/s", native, python, native / python)

    size = 200_000 if quick else 1_000_000
    for label, text in ((f"{size // 1000} KB prose", prose(size)),
                        (f"{size // 1000} KB flood", flood(size))):
        mb = len(text.encode()) / 1e6
        native = mb / median_seconds(lambda: qm.saturation_scan(text), max(3, repeats // 4))
        python = mb / median_seconds(lambda: py_saturation_scan(text), 3, warmup=1)
        yield ("saturation_scan", label, "MB/s", native, python, native / python)

    yield from crafted_rows(crafted_dir, repeats)


def dehydrate_rows(repeats, quick):
    n = 2_000 if quick else 10_000
    history = make_history(n)
    native = median_seconds(lambda: qm.dehydrate(history), repeats) / n * 1e9
    python = median_seconds(lambda: py_dehydrate(history), max(3, repeats // 10)) / n * 1e9
    yield ("dehydrate", f"{n:,} messages", "ns/message", native, python, python / native)
    # The floor: a C function doing only the conversions dehydrate must do, timed
    # alternately with it on the same history.
    with tempfile.TemporaryDirectory() as directory:
        convert = build_conversions_only(directory).convert
        call, floor = versus_floor(convert, history, max(100, 3 * repeats))
    yield ("dehydrate", "vs conversions", "ns/message", call, floor, call / floor)


def rows(repeats, quick, only, crafted_dir):
    if only == "chat":
        yield from chat_rows(quick)
        return
    if only == "text":
        yield from text_rows(repeats, quick, crafted_dir)
        return
    yield from dehydrate_rows(repeats, quick)
    if only == "dehydrate":
        return

    blocks = make_blocks(2_000 if quick else 10_000)
    w_native = window_load(lambda: qm.ContextApoptosis(half_life=4.0), blocks)
    w_python = window_load(PyWindow, blocks)
    for label, unit, a, b in zip(("insert", "cycle", "render"),
                                 ("us/insert", "us/1k blocks", "us/MB"), w_native, w_python):
        yield ("ContextApoptosis", label, unit, a * 1e6, b * 1e6, b / a)

    yield from text_rows(repeats, quick, crafted_dir)

    calls = 20_000 if quick else 200_000
    with tempfile.TemporaryDirectory() as directory:
        noop = build_baseline(directory).noop
        bus = qm.HormonalBus()
        signal = qm.HormonalSignal(1, 0.5)

        def per_call(fn, *args):
            def loop():
                for _ in range(calls):
                    fn(*args)
            return median_seconds(loop, max(3, repeats // 10)) / calls * 1e9

        base = per_call(noop, 1, 0.5)
        for label, fn, args in (("secrete(1, 0.5)", bus.secrete, (1, 0.5)),
                                ("inject(signal)", bus.inject, (signal,)),
                                ("sense(1)", bus.sense, (1,))):
            ns = per_call(fn, *args)
            yield ("HormonalBus", label, "ns/call", ns, base, ns / base)


def print_table(table_rows):
    header = f"| {'benchmark':<17}| {'case':<17}| {'unit':<13}| {'native':>10} | {'baseline':>10} | {'ratio':>8} |"
    print(header)
    print("|" + "|".join("-" * (len(col) + 0) for col in header.split("|")[1:-1]) + "|")
    for name, case, unit, native, baseline, ratio in table_rows:
        print(f"| {name:<17}| {case:<17}| {unit:<13}| {native:>10.2f} | {baseline:>10.2f} | "
              f"{ratio:>7.1f}x |")
        sys.stdout.flush()


def run_before(directory, args, crafted_dir):
    """The text rows (or the --only rows) of the module built in `directory`, in a
    child interpreter."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [str(Path(directory).resolve()), os.environ.get("PYTHONPATH")])))
    command = [sys.executable, __file__, "--only", args.only or "text", "--table-only",
               "--repeats", str(args.repeats), "--crafted-dir", crafted_dir]
    if args.quick:
        command.append("--quick")
    print(f"Before: the module in {directory}\n")
    sys.stdout.flush()
    subprocess.run(command, env=env, check=True)
    print("\nAfter: this module\n")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=30, help="timed repeats per case")
    parser.add_argument("--quick", action="store_true", help="smaller inputs, for a smoke run")
    parser.add_argument("--only", choices=["text", "dehydrate", "chat"],
                        help="only the text kernels' rows, or only dehydrate's")
    parser.add_argument("--before", metavar="DIR",
                        help="also run the text (or --only) rows against the module built in DIR")
    parser.add_argument("--markdown", action="store_true",
                        help="print only the README's table and the line saying how it was made")
    parser.add_argument("--crafted-dir", help=argparse.SUPPRESS)
    parser.add_argument("--table-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as scratch:
        crafted_dir = args.crafted_dir or scratch
        if args.crafted_dir is None and args.only != "dehydrate":  # the rows that read them
            make_crafted(crafted_dir, 2_000 if args.quick else 10_000)
        if args.table_only:
            print_table(rows(args.repeats, args.quick, args.only, crafted_dir))
            return
        if args.markdown:
            table_rows = list(rows(args.repeats, args.quick, args.only, crafted_dir))
            print_markdown(table_rows, args.repeats, argv, args.only)
            return
        print_header()
        if args.before:
            run_before(args.before, args, crafted_dir)
        print_table(rows(args.repeats, args.quick, args.only, crafted_dir))


def cpu_name():
    """The processor's model name where the system tells it (Linux), else its kind."""
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def print_markdown(table_rows, repeats, argv, only=None):
    """The README's table, preceded by the line that says when, how and where it was
    measured: the README's copy is pasted from this output, never edited by hand."""
    command = " ".join(["python benchmarks/run.py", *(sys.argv[1:] if argv is None else argv)])
    how = ("CPU time; the Conversation rows are medians over 400 calls of a session"
           if only == "chat" else f"median of {repeats} repeats after warm-up")
    print(f"Measured on {time.strftime('%Y-%m-%d')} with `{command}` ({how}), "
          f"{platform.python_implementation()} "
          f"{platform.python_version()} on {os.cpu_count()} cores of {cpu_name()} "
          f"({platform.machine()}, {platform.system()}).")
    print()
    print_table(table_rows)


def print_header():
    print(f"quorvex_micro {qm.__version__} on {platform.machine()}, "
          f"{platform.python_implementation()} {platform.python_version()}, "
          f"{os.cpu_count()} cores ({platform.processor() or platform.platform()})")
    print("Baseline: a pure-Python version of the same work; for the bus, a no-op builtin")
    print("function with the same calling convention that also releases the GIL.")
    print("Ratio: how many times better the native figure is (for the bus: cost / no-op).")
    print("dehydrate vs conversions: beside a C function doing only the conversions it must do")
    print("(check each pair, copy the UTF-8, convert the flags, build the kept str); ratio =")
    print("dehydrate / that function, timed alternately.")
    print("Crafted rows: milliseconds on words that collide in the low bits of a fixed hash,")
    print("beside ordinary words of the same size and number; ratio = crafted / ordinary.\n")


if __name__ == "__main__":
    main()
