"""Hostile inputs, each named: huge texts with their memory cost, huge histories,
lone surrogates everywhere a str goes, subclasses and conversion hooks that lie,
raise or mutate what is being converted, capacities at the overflow bounds,
interrupts from hooks, keyword dicts cleared mid-call, and leaked references."""
import gc
import ctypes
import importlib.util
import json
import os
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import pytest

import quorvex_micro as qm
from quorvex_micro import SYSTEM, USER, ContextApoptosis, HormonalBus, HormonalSignal
from support.call_errors import notes, processing_notes
from support.floats import f32
from support.hostile import (Float, FloatSub, HookedList, HookError, Index, IntSub, LyingFloat,
                             LyingInt, LyingStr, LyingTuple, NumpyBool, StrSub)

SANITIZED = bool(os.environ.get("QM_SANITIZER"))
MB = 1_000_000


def panic_type():
    with pytest.raises(BaseException) as info:
        HormonalBus(event_capacity=2**59)
    return type(info.value)


def assert_note(exc, param):
    """The last note names `param` (a hook's own failure may carry an earlier one)."""
    assert notes(exc)[-1:] == processing_notes(param)


# --- 200 MB texts, in a child interpreter so that its peak RSS is ours to read ---------------

HUGE = 200 * MB
PROSE = "lorem ipsum dolor sit amet, consectetur adipiscing elit; sed do eiusmod tempor. "
FLOOD = "a "

CHILD = textwrap.dedent(
    """
    import json, resource, sys
    import quorvex_micro as qm

    # ru_maxrss is in bytes on macOS and in KiB elsewhere.
    UNIT = 1 if sys.platform == "darwin" else 1024

    def peak():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * UNIT

    piece, size = sys.argv[1], int(sys.argv[2])
    text = piece * (size // len(piece))  # one allocation: no temporary copy in the peak
    before = peak()
    {body}
    print(json.dumps({{"growth": peak() - before, "size": len(text), "result": result}}))
    """
)

# name -> (piece, body computing `result`, allowed growth as a multiple of the text).
# A stored text is one copy; reading it back (render, state_entries, kept) is a
# native copy made under the lock plus the new str: two more.
HUGE_CASES = {
    "insert": (PROSE, "w = qm.ContextApoptosis(); w.insert(text, qm.USER)\n"
                      "result = [len(w), w.active_tokens()]", 1.3),
    "note_state": (PROSE, "w = qm.ContextApoptosis()\n"
                          "result = [w.note_state(text), w.note_state(text), "
                          "len(w.state_entries()[0])]", 3.3),
    "set_purpose": (PROSE, "w = qm.ContextApoptosis(); w.set_purpose(text)\n"
                           "result = len(w.render())", 3.3),
    "render": (PROSE, "w = qm.ContextApoptosis(); w.insert(text)\n"
                      "result = w.render() == text", 3.3),
    "absorbed": (PROSE, "w = qm.ContextApoptosis(); w.insert(text, qm.USER, 0.0)\n"
                        "result = [w.dehydrate(absorb=True), len(w.state_entries()[0]), len(w)]",
                 1.3),
    "dehydrate": (PROSE, "d = qm.dehydrate([(text, qm.USER)])\n"
                         "result = [d['kept'][0] == text, d['tokens_before'], d['reduction']]",
                  2.3),
    "effort_gauge prose": (PROSE, "result = qm.effort_gauge(text)['signals']['words']", 1.3),
    "effort_gauge flood": (FLOOD, "g = qm.effort_gauge(text)\n"
                                  "result = [g['signals']['words'], g['signals']['novelty']]", 1.3),
    "saturation_scan prose": (PROSE, "result = qm.saturation_scan(text)", 0.3),
    "saturation_scan flood": (FLOOD, "result = qm.saturation_scan(text, 3)", 0.3),
}

HUGE_RESULTS = {
    "insert": [1, HUGE // 4 + 1],
    "note_state": [True, False, HUGE],
    "set_purpose": HUGE + 1,
    "render": True,
    # The digest keeps the first 120 bytes plus the 3-byte ellipsis.
    "absorbed": [1, 121, 0],
    "dehydrate": [True, HUGE // 4 + 1, 0.0],
    "effort_gauge prose": HUGE // len(PROSE) * 12,
    "effort_gauge flood": [HUGE // 2, 1.0 / (HUGE // 2)],
    # (K - 1) / K in single precision: a flood this long rounds to 1.0.
    "saturation_scan prose": 0.9999995827674866,
    "saturation_scan flood": 1.0,
}


def child_env():
    env = dict(os.environ)
    module_dir = str(Path(qm.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    return env


@pytest.mark.slow
@pytest.mark.parametrize("name", sorted(HUGE_CASES))
def test_huge_text_has_a_clear_result_and_bounded_memory(name):
    piece, body, allowed = HUGE_CASES[name]
    code = CHILD.format(body=body)
    done = subprocess.run([sys.executable, "-c", code, piece, str(HUGE)], env=child_env(),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    report = json.loads(done.stdout)
    assert report["size"] == HUGE
    expected = HUGE_RESULTS[name]
    if name == "effort_gauge flood":
        # One distinct word out of 10^8: novelty is that single-precision quotient.
        words, novelty = report["result"]
        assert words == expected[0] and abs(novelty - expected[1]) < 1e-12
    else:
        assert report["result"] == expected
    if not SANITIZED:  # ASan's shadow and quarantine inflate the resident size
        assert report["growth"] <= allowed * HUGE, f"{report['growth'] / HUGE:.2f}x the input"


def f32_ratio(numerator, denominator):
    """Both counts rounded to single precision, divided there, widened back."""
    return f32(f32(numerator) / f32(denominator))


def test_sets_grow_past_their_first_table():
    # More distinct words and shingles than the tables start with, so every
    # answer depends on entries that moved when the table doubled.
    words = [f"w{i}" for i in range(20_000)]
    text = " ".join(words + words[:5_000])
    assert qm.effort_gauge(text)["signals"]["novelty"] == f32_ratio(20_000, 25_000)
    text = " ".join(words + words[:10_000])
    assert qm.saturation_scan(text, 1) == f32_ratio(10_000, 30_000)
    # Window 8: the repeated run matches 9993 earlier shingles; none that
    # straddles the seam does.
    assert qm.saturation_scan(text, 8) == f32_ratio(9_993, 29_993)


# --- huge histories ----------------------------------------------------------------------------


def test_five_million_tiny_messages():
    history = [("x", USER)] * 5_000_000
    result = qm.dehydrate(history)
    # USER messages survive up to age 9 with the defaults.
    assert result["kept"] == ["x"] * 10
    assert result["blocks_in"] == 5_000_000
    assert result["blocks_purged"] == 4_999_990
    assert result["tokens_before"] == 5_000_000
    assert result["tokens_after"] == 10
    assert result["reduction"] == 1.0 - 10 / 5_000_000


@pytest.mark.slow
def test_five_million_messages_all_kept():
    history = [("y" * 7, SYSTEM)] * 5_000_000
    result = qm.dehydrate(history, stable_prefix=2**64 - 1)
    assert len(result["kept"]) == 5_000_000
    assert result["kept"][0] == result["kept"][-1] == "yyyyyyy"
    assert result["tokens_before"] == result["tokens_after"] == result["stable_prefix_tokens"] \
        == 10_000_000
    assert result["reduction"] == 0.0


# --- lone surrogates wherever a str is accepted ------------------------------------------------

SURROGATE_TEXTS = ["\ud800", "abc\udfff", "\udc80xyz", "a\ud83d\ude00b", "x" * 1000 + "\ud800"]


def window_state(window):
    return (len(window), window.inserted_tokens(), window.state_entries(), window.render())


@pytest.mark.parametrize("text", SURROGATE_TEXTS + [StrSub("\udbff")])
@pytest.mark.parametrize("where", ["insert", "note_state", "set_purpose", "effort_gauge",
                                   "saturation_scan", "dehydrate"])
def test_lone_surrogates_fail_cleanly(where, text):
    window = ContextApoptosis()
    window.insert("kept block", USER)
    window.note_state("a fact")
    window.set_purpose("purpose")
    before = window_state(window)
    call, param = {
        "insert": (lambda: window.insert(text, USER), "content"),
        "note_state": (lambda: window.note_state(text), "fact"),
        "set_purpose": (lambda: window.set_purpose(text), "text"),
        "effort_gauge": (lambda: qm.effort_gauge(text), "text"),
        "saturation_scan": (lambda: qm.saturation_scan(text, 1), "text"),
        "dehydrate": (lambda: qm.dehydrate([("fine", 2), (text, 2)]), "messages"),
    }[where]
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert_note(info.value, param)
    assert window_state(window) == before


def test_surrogate_keyword_name_is_an_encoding_error_without_note():
    with pytest.raises(UnicodeEncodeError) as info:
        qm.effort_gauge(**{"te\udcffxt": "hello"})
    assert notes(info.value) == []


# --- subclasses and hooks that lie, raise or mutate --------------------------------------------


def test_subclasses_are_read_by_their_storage_not_their_hooks():
    assert HormonalSignal(LyingInt(5), LyingFloat(0.5)).intensity == 0.5
    assert HormonalSignal(LyingInt(5)).flags == 5
    window = ContextApoptosis(LyingFloat(4.0), capacity=LyingInt(2))
    window.insert(LyingStr("real content"), LyingInt(USER))
    assert window.render() == "real content"
    assert type(window.render()) is str
    result = qm.dehydrate([LyingTuple((LyingStr("kept"), LyingInt(SYSTEM)))])
    assert result["kept"] == ["kept"] and type(result["kept"][0]) is str
    assert qm.effort_gauge(LyingStr("ok"))["signals"]["trivial_hits"] == 1
    assert qm.saturation_scan(LyingStr("a a a a"), LyingInt(1)) == 0.75


def test_tuple_subclass_length_comes_from_its_storage():
    with pytest.raises(ValueError) as info:
        qm.dehydrate([LyingTuple(("a", 2, 3))])
    assert str(info.value) == "expected tuple of length 2, but got tuple of length 3"


@pytest.mark.parametrize("hook, exc_type", [
    (Index("3"), TypeError),
    (Index(3.0), TypeError),
    (Index(None), TypeError),
    (Index(HookError("raised")), HookError),
    (Index(-1), OverflowError),
    (Index(2**64), OverflowError),
])
def test_index_hooks_that_fail(hook, exc_type):
    bus = HormonalBus(4)
    with pytest.raises(exc_type) as info:
        bus.secrete(hook, 1.0)
    assert_note(info.value, "flags")
    with pytest.raises(exc_type) as info:
        qm.dehydrate([("a", hook)])
    assert_note(info.value, "messages")
    assert bus.stats()["secretions"] == 0.0


@pytest.mark.parametrize("hook, exc_type", [
    (Float("0.5"), TypeError),
    (Float(1), TypeError),
    (Float(HookError("raised")), HookError),
])
def test_float_hooks_that_fail(hook, exc_type):
    window = ContextApoptosis()
    window.insert("block", USER)
    with pytest.raises(exc_type) as info:
        window.dehydrate(hook)
    assert_note(info.value, "reinforce_boost")
    assert window.render() == "block"


def test_hooks_returning_strict_subclasses_give_their_value():
    # The interpreter warns about such hooks (its own affair); the value is ours.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        signal = HormonalSignal(Index(IntSub(6)), Float(FloatSub(0.25)))
    assert (signal.flags, signal.intensity) == (6, 0.25)


def test_iteration_decides_the_messages():
    messages = HookedList([("ignored", 2)], iterate=[("first", SYSTEM), ("second", SYSTEM)])
    assert qm.dehydrate(messages)["kept"] == ["first", "second"]


@pytest.mark.parametrize("length", [2**62, -1, "x", 10**30, HookError("len")])
def test_a_lying_or_failing_len_only_costs_the_reservation(length):
    messages = HookedList([("a", SYSTEM), ("b", SYSTEM)], length)
    assert qm.dehydrate(messages)["kept"] == ["a", "b"]


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, MemoryError])
def test_an_interrupt_or_memory_error_from_len_is_not_swallowed(exc_type):
    with pytest.raises(exc_type) as info:
        qm.dehydrate(HookedList([("a", SYSTEM)], exc_type("len")))
    assert_note(info.value, "messages")


def test_an_iterator_that_raises_midway():
    def messages():
        yield ("a", SYSTEM)
        raise HookError("midway")

    with pytest.raises(HookError) as info:
        qm.dehydrate(HookedList([], iterate=messages()))
    assert_note(info.value, "messages")


@pytest.mark.parametrize("action, kept", [
    (lambda m: m.clear(), ["first"]),
    (lambda m: m.append(("appended", SYSTEM)), ["first", "second", "appended"]),
    (lambda m: m.pop(), ["first"]),
    (lambda m: m.insert(0, ("front", SYSTEM)), ["first", "first", "second"]),
    (lambda m: m.__setitem__(slice(None), [("x", SYSTEM)] * 3), ["first", "x", "x"]),
])
def test_mutating_the_list_being_converted(action, kept):
    messages = [("first", 0), ("second", SYSTEM)]
    messages[0] = ("first", Index(SYSTEM, before=lambda: action(messages)))
    # Conversion follows the list iterator: whatever it yields after the change.
    assert qm.dehydrate(messages)["kept"] == kept


# --- capacities at the overflow bounds ---------------------------------------------------------


def test_event_capacity_at_the_bound_is_a_panic():
    panic = panic_type()
    for capacity in (2**59, 2**59 + 1, 2**63, 2**64 - 1):
        with pytest.raises(panic) as info:
            HormonalBus(1, capacity)
        assert str(info.value) == "capacity overflow"
    with pytest.raises(OverflowError) as info:
        HormonalBus(1, 2**64)
    assert_note(info.value, "event_capacity")


@pytest.mark.parametrize("capacity", [2**59 - 1, 2**58 + 1, 2**57 + 1])
def test_event_capacity_below_the_bound_is_a_memory_error(capacity):
    # The ring rounds up to a power of two of 16-byte cells: 2^58 + 1 events
    # already need 2^63 bytes, 2^57 + 1 far more than any address space.
    with pytest.raises(MemoryError):
        HormonalBus(1, capacity)
    bus = HormonalBus(1, 3)
    bus.secrete(1, 1.0)
    assert bus.drain_events(5) == [(1, 1.0)]


@pytest.mark.parametrize("capacity", [0, 1, 2, 3, 5, 7, 8, 9, 17])
def test_the_ring_holds_exactly_its_capacity(capacity):
    bus = HormonalBus(1, capacity)
    held = max(capacity, 1)
    for rounds in range(3):  # several laps around the ring
        for i in range(held + 3):
            bus.secrete(i, float(i))
        # The oldest events stay, the newest are refused.
        assert bus.drain_events(2**64 - 1) == [(i, float(i)) for i in range(held)]
        assert bus.drain_events(1) == []


def test_window_capacity_at_the_ptrdiff_bound():
    panic = panic_type()

    def refuses(capacity):
        try:
            ContextApoptosis(capacity=capacity)
        except MemoryError:
            return False
        except panic as exc:
            assert str(exc) == "capacity overflow"
            return True
        raise AssertionError(f"capacity {capacity} was granted")

    # Every capacity from 2^56 up is far beyond any address space; find where
    # the refusal turns from "out of memory" into "cannot be represented".
    lo, hi = 2**56, 2**64 - 1
    assert not refuses(lo) and refuses(hi)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (lo, mid) if refuses(mid) else (mid, hi)
    ptrdiff_max = 2**63 - 1
    # The bound is where capacity × block size passes PTRDIFF_MAX, for the block size.
    assert any(hi == ptrdiff_max // size + 1 for size in range(8, 257, 8)), hi
    window = ContextApoptosis(capacity=4)
    window.insert("still usable")
    assert window.render() == "still usable"


def test_huge_settings_that_reserve_nothing():
    window = ContextApoptosis(capacity=0, state_capacity=2**64 - 1)
    for i in range(5):
        window.note_state(f"fact {i}")
    assert len(window.state_entries()) == 5
    bus = HormonalBus(2**64 - 1, 1)
    assert len(bus.snapshot()) == 32
    assert bus.drain_events(2**64 - 1) == []
    assert bus.concentration(2**64 - 1) == 0.0
    assert qm.saturation_scan("a " * 100, 2**64 - 1) == 0.0


# --- KeyboardInterrupt from conversion hooks ---------------------------------------------------


def interrupt_cases():
    bus = HormonalBus(4, 8)
    window = ContextApoptosis()
    window.insert("block", USER)
    state = lambda: (bus.snapshot(), bus.stats()["secretions"], window_state(window))  # noqa: E731
    return state, {
        "secrete flags": (lambda: bus.secrete(Index(KeyboardInterrupt), 1.0), "flags"),
        "secrete intensity": (lambda: bus.secrete(1, Float(KeyboardInterrupt)), "intensity"),
        "tick decay": (lambda: bus.tick(Float(KeyboardInterrupt)), "decay"),
        "drain max": (lambda: bus.drain_events(Index(KeyboardInterrupt)), "max"),
        "bus capacity": (lambda: HormonalBus(4, Index(KeyboardInterrupt)), "event_capacity"),
        "signal flags": (lambda: HormonalSignal(Index(KeyboardInterrupt)), "flags"),
        "insert signal": (lambda: window.insert("x", Index(KeyboardInterrupt)), "signal"),
        "insert oxygen": (lambda: window.insert("x", 2, Float(KeyboardInterrupt)), "oxygen"),
        "cycle absorb": (lambda: window.dehydrate(0.5, NumpyBool(KeyboardInterrupt)), "absorb"),
        "message flags": (lambda: qm.dehydrate([("a", Index(KeyboardInterrupt))]), "messages"),
        "message iteration": (lambda: qm.dehydrate(HookedList([], iterate=KeyboardInterrupt)), "messages"),
        "stable_prefix": (lambda: qm.dehydrate([], 1.0, 0.5, Index(KeyboardInterrupt)), "stable_prefix"),
        "scan window": (lambda: qm.saturation_scan("a b", Index(KeyboardInterrupt)), "window"),
        "gain ratio": (lambda: qm.consolidation_gain(1, 1, 1, Float(KeyboardInterrupt)),
                       "cache_read_ratio"),
    }


@pytest.mark.parametrize("name", sorted(interrupt_cases()[1]))
def test_keyboard_interrupt_from_a_conversion_hook(name):
    state, cases = interrupt_cases()
    call, param = cases[name]
    before = state()
    with pytest.raises(KeyboardInterrupt) as info:
        call()
    assert_note(info.value, param)
    assert state() == before


# --- a keyword dict cleared by a hook in the middle of the call --------------------------------

def call_with_dict(function, kwargs):
    """Calls through the C API with a dict the caller keeps, as C code may."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(function, (), kwargs)


class Clearing:
    """Clears the keyword dict it was passed in, then fills freed memory with junk."""

    def __init__(self, kwargs, value, junk_size):
        self.kwargs, self.value, self.junk_size, self.junk = kwargs, value, junk_size, []

    def _clear(self):
        self.kwargs.clear()
        # Reuse the blocks just freed, so that a dangling view would read junk.
        self.junk = ["#" * self.junk_size + str(i) for i in range(64)]

    def __index__(self):
        self._clear()
        return self.value

    def __float__(self):
        self._clear()
        return float(self.value)


def test_keyword_arguments_outlive_a_hook_that_clears_their_dict():
    text = " ".join(["alpha beta gamma"] * 300)
    kwargs = {"text": "".join(text)}  # a str owned by the dict alone
    kwargs["window"] = Clearing(kwargs, 3, len(text) - 1)
    assert call_with_dict(qm.saturation_scan, kwargs) == qm.saturation_scan(text, 3)

    messages = [(f"message {i}", USER) for i in range(300)]
    kwargs = {"messages": messages}
    kwargs["half_life"] = Clearing(kwargs, 2, 40)
    # Fresh objects referenced by the dict alone (257 is past the cached small ints).
    kwargs["safe_threshold"] = float("0.125")
    kwargs["stable_prefix"] = int("257")
    expected = qm.dehydrate(messages, 2.0, 0.125, 257)
    assert expected["blocks_kept"] == 257 + 7
    del expected["kernel_latency_us"]
    result = call_with_dict(qm.dehydrate, kwargs)
    del result["kernel_latency_us"]
    assert result == expected

    kwargs = {"prefix_tokens": int("10000"), "purgeable_tokens": int("4000")}
    kwargs["calls_ahead"] = int("400")
    kwargs["cache_read_ratio"] = Clearing(kwargs, 0.5, 40)
    kwargs["cache_write_ratio"] = float("2.5")
    assert call_with_dict(qm.consolidation_gain, kwargs) == \
        qm.consolidation_gain(10000, 4000, 400, 0.5, 2.5)

    kwargs = {}
    kwargs["flags"] = Clearing(kwargs, 300, 40)
    kwargs["intensity"] = float("0.375")
    signal = call_with_dict(HormonalSignal, kwargs)
    assert (signal.flags, signal.intensity) == (300, 0.375)


# --- no reference leaked on any path (fast; tools/leak_check.py runs the long version) ---------

def load_leak_check():
    """The leak-check tool of this tree, or None where only the tests were copied."""
    path = Path(__file__).resolve().parent.parent / "tools" / "leak_check.py"
    if not path.exists():
        return None
    found = importlib.util.spec_from_file_location("leak_check", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


LEAK_CHECK = load_leak_check()
LEAK_CASES = LEAK_CHECK.build_cases() if LEAK_CHECK is not None else {}


@pytest.mark.parametrize("name", list(LEAK_CASES))
def test_no_reference_is_leaked(name):
    run, tracked = LEAK_CASES[name]
    tracked = [o for o in tracked if not LEAK_CHECK.is_shared_singleton(o)]
    tracked += LEAK_CHECK.TYPES + [LEAK_CHECK.PANIC]
    for _ in range(20):
        run()
    # Collected first on both sides: error paths leave traceback cycles behind.
    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(300):
        run()
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == before
    # A result object that is never freed (a missing decref on a new tuple, say) is
    # tracked by nobody, but it keeps its memory block: one per call. The
    # interpreter's free lists fill up once by a few hundred blocks, so a leak is
    # what grows in every round of calls alike. Another thread of the process (the
    # test runner's own, under pytest-xdist) may allocate while a call has released
    # the GIL: that comes and goes, a leak does not, hence the smallest of four rounds.
    growth = []
    for _ in range(4):
        blocks = sys.getallocatedblocks()
        for _ in range(300):
            run()
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
    assert min(growth) < 150, growth
