#!/usr/bin/env python3
"""Leak check of the extension: calls every callable, on its success path and on
each of its error paths, many times, and shows that neither memory nor Python
references grow.

For each case it runs a warm-up, then N calls, and compares before and after:
  - traced Python memory (tracemalloc's current size),
  - the C heap in use (glibc's mallinfo2: what native code has allocated),
  - the resident size of the process (/proc/self/statm),
  - sys.getrefcount of every argument object, and of the module's types.
It prints one table row per case and exits 1 when anything grew beyond the
tolerances (a few kilobytes: one leaked byte per call would show as 100 kB).

Usage: PYTHONPATH=build/dev:src python3 tools/leak_check.py [-n 100000] [-k PATTERN]
"""
import argparse
import ctypes
import ctypes.util
import gc
import os
import sys
import time
import tracemalloc
from pathlib import Path

import quorvex_micro as qm

# The hostile hooks are the tests' own (tests/support/), beside this tools/ folder.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support.hostile import Float, HookError, Index, NumpyBool, SizedSeq  # noqa: E402
from support.surface import SURFACE, target  # noqa: E402

KiB = 1024


# --- measurements ------------------------------------------------------------------------------


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _malloc_in_use_reader():
    """Bytes the C allocator has handed out, or None where glibc's mallinfo2 is missing."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return None
    mallinfo2.restype = MallInfo2

    def read():
        info = mallinfo2()
        return info.uordblks + info.hblkhd
    return read


malloc_in_use = _malloc_in_use_reader()
PAGE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096


def rss_bytes():
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * PAGE
    except OSError:
        return None


def snapshot(tracked):
    gc.collect()
    return {
        "traced": tracemalloc.get_traced_memory()[0],
        "malloc": malloc_in_use() if malloc_in_use else None,
        "rss": rss_bytes(),
        "refs": [sys.getrefcount(obj) for obj in tracked],
    }


# --- the cases ---------------------------------------------------------------------------------

# The types whose instances the cases create: every instance holds a reference
# to its heap type, so a missed release shows on the type's count.
TYPES = [qm.HormonalBus, qm.HormonalSignal, qm.ContextApoptosis]


def panic_type():
    try:
        qm.HormonalBus(event_capacity=2**59)
    except BaseException as exc:  # noqa: BLE001 - PanicException is not an Exception
        return type(exc)
    raise AssertionError("no PanicException")


PANIC = panic_type()


def ok(function, *args, **kwargs):
    """A case that must succeed; its arguments are the tracked objects."""
    def run():
        function(*args, **kwargs)
    return run, [*args, *kwargs.values()]


def fails(exc_type, function, *args, **kwargs):
    """A case that must raise `exc_type`."""
    def run():
        try:
            function(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{function} did not raise {exc_type.__name__}")
    return run, [*args, *kwargs.values()]


def unique_text(label, size=64):
    """A fresh str object nobody else refers to."""
    return (label + " ") * (size // (len(label) + 1)) + str(id(label))


def call_sample(name, *args):
    """The table's sample call of `name`, on a new instance for a method."""
    target(name)(*args)


def build_cases():
    # One ordinary call of every callable of the table, then the error paths.
    cases = {f"{row.name} sample": ok(call_sample, row.name, *row.args) for row in SURFACE}

    # --- module functions
    history = [(unique_text(f"message {i}"), flag) for i, flag in enumerate([1, 2, 4, 16, 32, 0] * 4)]
    cases["dehydrate ok"] = ok(qm.dehydrate, history, 3.0, 0.35, 2)
    cases["dehydrate ok keywords"] = ok(qm.dehydrate, messages=tuple(history), stable_prefix=1)
    cases["dehydrate str"] = fails(TypeError, qm.dehydrate, unique_text("a str"))
    cases["dehydrate not a sequence"] = fails(TypeError, qm.dehydrate, {1, 2})
    cases["dehydrate item not a tuple"] = fails(TypeError, qm.dehydrate, [["text", 2]])
    cases["dehydrate tuple length"] = fails(ValueError, qm.dehydrate, [("text", 2, 3)])
    cases["dehydrate content not str"] = fails(TypeError, qm.dehydrate, [(b"bytes", 2)])
    cases["dehydrate lone surrogate"] = fails(UnicodeEncodeError, qm.dehydrate, [("a\ud800", 2)])
    cases["dehydrate flags overflow"] = fails(OverflowError, qm.dehydrate, [("text", 2**32)])
    cases["dehydrate flags negative"] = fails(OverflowError, qm.dehydrate, [("text", -(2**40))])
    cases["dehydrate iteration raises"] = fails(HookError, qm.dehydrate, SizedSeq(
        [("first message", 2), HookError], length=3))
    cases["dehydrate half_life type"] = fails(TypeError, qm.dehydrate, history, "6.0")
    cases["dehydrate threshold hook"] = fails(HookError, qm.dehydrate, history, 6.0, Float(HookError))
    cases["dehydrate prefix hook"] = fails(HookError, qm.dehydrate, history, 6.0, 0.3, Index(HookError))
    cases["dehydrate missing argument"] = fails(TypeError, qm.dehydrate)
    cases["dehydrate too many"] = fails(TypeError, qm.dehydrate, history, 1.0, 1.0, 1, 5)
    cases["dehydrate unexpected keyword"] = fails(TypeError, qm.dehydrate, history, bogus=1)
    cases["dehydrate multiple values"] = fails(TypeError, qm.dehydrate, history, messages=history)

    request = unique_text("design a migration that must never lose data; fn main() { }", 400)
    cases["effort_gauge ok"] = ok(qm.effort_gauge, request)
    cases["effort_gauge not str"] = fails(TypeError, qm.effort_gauge, 12345678901234567890)
    cases["effort_gauge lone surrogate"] = fails(UnicodeEncodeError, qm.effort_gauge, "x\udc80")
    cases["effort_gauge missing"] = fails(TypeError, qm.effort_gauge)

    flood = unique_text("the same phrase again", 2000)
    cases["saturation_scan ok"] = ok(qm.saturation_scan, flood, 4)
    cases["saturation_scan window negative"] = fails(OverflowError, qm.saturation_scan, flood, -1)
    cases["saturation_scan window float"] = fails(TypeError, qm.saturation_scan, flood, 2.5)
    cases["saturation_scan not str"] = fails(TypeError, qm.saturation_scan, None)

    cases["consolidation_gain ok"] = ok(qm.consolidation_gain, 10_000, 4_000, 40, 0.1, 1.25)
    cases["consolidation_gain overflow"] = fails(OverflowError, qm.consolidation_gain, 1, 1, 2**32)
    cases["consolidation_gain float hook"] = fails(HookError, qm.consolidation_gain, 10, 5, 3,
                                                   Float(HookError))

    # --- HormonalSignal
    signal = qm.HormonalSignal(0xFF, 0.5)
    cases["HormonalSignal() ok"] = ok(qm.HormonalSignal, 2**31 + 7, 0.25)
    cases["HormonalSignal() overflow"] = fails(OverflowError, qm.HormonalSignal, 2**32)
    cases["HormonalSignal() intensity None"] = fails(TypeError, qm.HormonalSignal, 1, None)
    cases["HormonalSignal repr"] = ok(repr, signal)
    cases["HormonalSignal get"] = ok(lambda s: (s.flags, s.intensity), signal)
    cases["HormonalSignal set"] = ok(setattr, signal, "intensity", 0.75)
    cases["HormonalSignal set bad"] = fails(TypeError, setattr, signal, "flags", "x")
    cases["HormonalSignal delete"] = fails(AttributeError, delattr, signal, "flags")

    # --- HormonalBus: deposits are drained again so the buffer never fills for good
    bus = qm.HormonalBus(8, 64)
    cases["HormonalBus() ok"] = ok(qm.HormonalBus, 32, 128)
    cases["HormonalBus() capacity overflow"] = fails(PANIC, qm.HormonalBus, 4, 2**59)
    cases["HormonalBus() negative"] = fails(OverflowError, qm.HormonalBus, -1)
    cases["HormonalBus() capacity hook"] = fails(HookError, qm.HormonalBus, 4, Index(HookError))
    cases["inject + drain"] = ok(lambda b, s: (b.inject(s), b.drain_events(8)), bus, signal)
    cases["inject not a signal"] = fails(TypeError, bus.inject, 7)
    cases["secrete + drain"] = ok(lambda b: (b.secrete(5, 0.1), b.drain_events(8)), bus)
    cases["secrete overflow"] = fails(OverflowError, bus.secrete, 2**32, 1.0)
    cases["secrete missing"] = fails(TypeError, bus.secrete, 1)
    cases["sense"] = ok(bus.sense, 0xF0F0)
    cases["sense bad"] = fails(TypeError, bus.sense, 1.5)
    cases["concentration"] = ok(bus.concentration, 3)
    cases["concentration negative"] = fails(OverflowError, bus.concentration, -3)
    cases["tick"] = ok(bus.tick, 0.99)
    cases["tick bad"] = fails(TypeError, bus.tick, "slow")
    cases["snapshot"] = ok(bus.snapshot)
    cases["stats"] = ok(bus.stats)
    cases["drain_events huge max"] = ok(bus.drain_events, 2**64 - 1)
    cases["drain_events missing"] = fails(TypeError, bus.drain_events)

    # --- ContextApoptosis: every cycle purges what the case inserted
    window = qm.ContextApoptosis(2.0, 0.35, 16, 8)
    block = unique_text("a user turn that will be absorbed", 300)
    facts = [unique_text(f"fact {i}") for i in range(24)]  # more than the ledger holds
    rotation = iter(range(10**12))
    cases["ContextApoptosis() ok"] = ok(qm.ContextApoptosis, 1.5, 0.2, 32, 4)
    cases["ContextApoptosis() overflow"] = fails(PANIC, qm.ContextApoptosis, 2.0, 0.35, 2**63 - 1)
    cases["ContextApoptosis() unsatisfiable"] = fails(MemoryError, qm.ContextApoptosis,
                                                      2.0, 0.35, 2**56)
    cases["ContextApoptosis() bad"] = fails(TypeError, qm.ContextApoptosis, "2.0")
    cases["set_purpose"] = ok(window.set_purpose, unique_text("the purpose"))
    cases["set_purpose None"] = ok(window.set_purpose, None)
    cases["set_purpose bad"] = fails(TypeError, window.set_purpose, 42)
    cases["note_state rolling"] = ok(lambda w, f: w.note_state(f[next(rotation) % len(f)]),
                                     window, facts)
    cases["note_state bad"] = fails(TypeError, window.note_state, None)
    cases["note_state surrogate"] = fails(UnicodeEncodeError, window.note_state, "\udfff")
    cases["state_entries"] = ok(window.state_entries)
    cases["insert + absorbing cycle"] = ok(
        lambda w, b: (w.insert(b, qm.USER, 0.0), w.dehydrate(0.5, True)), window, block)
    cases["insert + cycle, numpy-like absorb"] = ok(
        lambda w, b, a: (w.insert(b, qm.TOOL), w.dehydrate(absorb=a)), window, block,
        NumpyBool(True))
    cases["insert content bad"] = fails(TypeError, window.insert, b"bytes")
    cases["insert signal overflow"] = fails(OverflowError, window.insert, block, 2**32)
    cases["insert oxygen None"] = fails(TypeError, window.insert, block, 2, None)
    cases["dehydrate absorb int"] = fails(TypeError, window.dehydrate, 0.5, 1)
    cases["dehydrate boost bad"] = fails(TypeError, window.dehydrate, "0.5")
    cases["active_context"] = ok(window.active_context)
    cases["render"] = ok(window.render)
    cases["tokens and ratio"] = ok(
        lambda w: (w.active_tokens(), w.inserted_tokens(), w.reduction_ratio(), len(w)), window)
    # A durable block that stays, so the readers above have something to copy.
    window.insert(unique_text("system rules"), qm.SYSTEM)
    return cases


# --- the run -----------------------------------------------------------------------------------


def is_shared_singleton(obj):
    return obj is None or type(obj) is bool or (type(obj) is int and -5 <= obj <= 256)


def human(delta):
    if delta is None:
        return "n/a"
    return f"{delta / KiB:+.1f} KiB"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", "--iterations", type=int, default=100_000,
                        help="calls per case after the warm-up (default 100000)")
    parser.add_argument("--warmup", type=int, default=None,
                        help="warm-up calls per case (default: a tenth of -n, at least 1000)")
    parser.add_argument("-k", "--only", default=None, help="run the cases whose name contains this")
    parser.add_argument("--traced-tolerance", type=int, default=16 * KiB,
                        help="bytes of traced Python memory growth tolerated per case")
    parser.add_argument("--malloc-tolerance", type=int, default=64 * KiB,
                        help="bytes of C heap growth tolerated per case")
    parser.add_argument("--rss-tolerance", type=int, default=1024 * KiB,
                        help="bytes of resident size growth tolerated per case")
    args = parser.parse_args(argv)
    warmup = args.warmup if args.warmup is not None else max(1000, args.iterations // 10)

    tracemalloc.start()
    cases = build_cases()
    names = [n for n in cases if args.only is None or args.only in n]
    print(f"quorvex_micro {qm.__version__} from {qm.__file__}")
    print(f"{len(names)} cases, {args.iterations} calls each after {warmup} warm-up calls")
    header = f"{'case':<40} {'traced':>12} {'C heap':>12} {'RSS':>12} {'refs':>6}  result"
    print(header)
    print("-" * len(header))
    failures = 0
    started = time.monotonic()
    # One round of every case first: the interpreter's one-time work (method
    # caches, interned names, first exceptions of a type) lands before any baseline.
    for name in names:
        for _ in range(200):
            cases[name][0]()
    for name in names:
        run, tracked = cases[name]
        # Shared singletons (None, booleans, small ints) are referenced from all
        # over the interpreter; their counts say nothing about these calls.
        tracked = [obj for obj in tracked if not is_shared_singleton(obj)] + TYPES + [PANIC]
        for _ in range(warmup):
            run()
        before = snapshot(tracked)
        for _ in range(args.iterations):
            run()
        after = snapshot(tracked)
        traced = after["traced"] - before["traced"]
        heap = None if before["malloc"] is None else after["malloc"] - before["malloc"]
        rss = None if before["rss"] is None else after["rss"] - before["rss"]
        refs = [a - b for a, b in zip(after["refs"], before["refs"])]
        problems = []
        if traced > args.traced_tolerance:
            problems.append("python memory")
        if heap is not None and heap > args.malloc_tolerance:
            problems.append("C heap")
        if rss is not None and rss > args.rss_tolerance:
            problems.append("RSS")
        if any(refs):
            problems.append(f"references {refs}")
        failures += bool(problems)
        worst_ref = max(refs, key=abs) if refs else 0
        print(f"{name:<40} {human(traced):>12} {human(heap):>12} {human(rss):>12} "
              f"{worst_ref:>+6}  {'GROWS: ' + ', '.join(problems) if problems else 'ok'}")
    elapsed = time.monotonic() - started
    print("-" * len(header))
    print(f"{len(names) - failures} of {len(names)} cases steady, {elapsed:.0f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
