"""Tests of the one-pass history dehydration function `dehydrate`."""

import collections
import math
import struct
import sys
import threading
import time

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import quorvex_micro as qm
from quorvex_micro import ASSISTANT, FACT, SYSTEM, THINKING, TOOL, USER, dehydrate
from support.call_errors import notes, processing_notes
from support.exp2_model import exp2 as model_exp2
from support.hostile import Index, SizedSeq, StrSub
from support.threads import HANG_SECONDS, run_threads

KEYS = [
    "kept",
    "blocks_in",
    "blocks_kept",
    "blocks_purged",
    "tokens_before",
    "tokens_after",
    "reduction",
    "stable_prefix_tokens",
    "kernel_latency_us",
]


def bits(x):
    return struct.pack("<d", x)


def without_latency(result):
    return {k: v for k, v in result.items() if k != "kernel_latency_us"}


# --- the model -------------------------------------------------------------

def model_weight(flags):
    if flags & (USER | ASSISTANT):
        return np.float32(1.0)
    if flags & THINKING:
        return np.float32(0.15)
    if flags & TOOL:
        return np.float32(0.25)
    return np.float32(0.6)


def model(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0):
    """Pure-Python decision and audit, in single precision step by step."""
    with np.errstate(all="ignore"):
        hl = np.float32(half_life)
        hl = hl if hl > np.float32(0.1) else np.float32(0.1)
        thr = np.float32(safe_threshold)
        n = len(messages)
        p = min(n, stable_prefix)
        kept, before, after, prefix_tokens = [], 0, 0, 0
        for k, (text, flags) in enumerate(messages):
            tokens = len(text.encode("utf-8")) // 4 + 1
            before += tokens
            if k < p:
                prefix_tokens += tokens
            if k < p or flags & (SYSTEM | FACT):
                keep = True
            else:
                exponent = -np.float32(n - 1 - k) / hl
                score = model_exp2(exponent) * model_weight(flags)
                keep = bool(score >= thr)
            if keep:
                kept.append(text)
                after += tokens
    return {
        "kept": kept,
        "blocks_in": n,
        "blocks_kept": len(kept),
        "blocks_purged": n - len(kept),
        "tokens_before": before,
        "tokens_after": after,
        "reduction": 0.0 if before == 0 else 1.0 - after / before,
        "stable_prefix_tokens": prefix_tokens,
    }


# --- result shape and worked examples ----------------------------------------


def test_result_keys_and_types():
    r = dehydrate([("hello world", USER), ("x", TOOL)])
    assert list(r) == KEYS
    assert [type(r[k]) for k in KEYS] == [list, int, int, int, int, int, float, int, float]


def test_empty_history():
    r = dehydrate([])
    assert without_latency(r) == {
        "kept": [],
        "blocks_in": 0,
        "blocks_kept": 0,
        "blocks_purged": 0,
        "tokens_before": 0,
        "tokens_after": 0,
        "reduction": 0.0,
        "stable_prefix_tokens": 0,
    }
    assert 0.0 <= r["kernel_latency_us"] < 1e6


def test_twelve_user_messages_lose_the_two_oldest():
    msgs = [(f"m{i}", USER) for i in range(12)]
    r = dehydrate(msgs)
    assert r["kept"] == [f"m{i}" for i in range(2, 12)]
    assert (r["blocks_in"], r["blocks_kept"], r["blocks_purged"]) == (12, 10, 2)
    assert r["tokens_before"] == 12 and r["tokens_after"] == 10
    assert bits(r["reduction"]) == bits(1.0 - 10 / 12)


@pytest.mark.parametrize(
    "flags, last_kept_age",
    [(USER, 9), (ASSISTANT, 9), (USER | TOOL, 9), (0, 4), (64, 4), (TOOL, None), (THINKING, None)],
)
def test_default_survival_ages(flags, last_kept_age):
    msgs = [(str(age), flags) for age in range(15, -1, -1)]  # oldest first, age in text
    kept_ages = [int(t) for t in dehydrate(msgs)["kept"]]
    expected = [] if last_kept_age is None else list(range(last_kept_age, -1, -1))
    assert kept_ages == expected


def test_single_tool_message_purged_unless_protected():
    assert dehydrate([("grep output", TOOL)])["kept"] == []
    r = dehydrate([("grep output", TOOL)], stable_prefix=1)
    assert r["kept"] == ["grep output"]
    assert r["stable_prefix_tokens"] == r["tokens_before"] == 3


@pytest.mark.parametrize("flags", [SYSTEM, FACT, SYSTEM | TOOL, FACT | THINKING, SYSTEM | USER])
def test_durable_message_survives_any_age(flags):
    msgs = [("old", flags)] + [("", USER)] * 1000
    r = dehydrate(msgs)
    assert r["kept"][0] == "old"
    assert r["blocks_kept"] == 11


@pytest.mark.parametrize("prefix", [5, 6, 1000, 2**64 - 1])
def test_prefix_beyond_history_keeps_everything(prefix):
    msgs = [("tool output here", TOOL), ("thinking...", THINKING), ("a", 0), ("b", USER), ("", 0)]
    r = dehydrate(msgs, stable_prefix=prefix)
    assert r["kept"] == [m[0] for m in msgs]
    assert r["stable_prefix_tokens"] == r["tokens_before"] == 5 + 3 + 1 + 1 + 1
    assert r["reduction"] == 0.0


def test_protected_prefix_counts_its_tokens_only():
    msgs = [("12345678", TOOL), ("1234", TOOL), ("x", TOOL)]
    r = dehydrate(msgs, stable_prefix=2)
    assert r["kept"] == ["12345678", "1234"]
    assert (r["stable_prefix_tokens"], r["tokens_before"], r["tokens_after"]) == (5, 6, 5)


def test_every_message_counts_towards_age():
    # Protected and durable messages after a USER message still age it.
    msgs = [("u", USER)] + [("s", SYSTEM)] * 10
    assert dehydrate(msgs)["kept"][0] == "s"
    assert dehydrate(msgs[:10])["kept"][0] == "u"


# --- half_life and safe_threshold --------------------------------------------

# At half_life 0.1 a USER message of age 1 scores 2^-10, of age 2 scores 2^-20.
FLOOR_HISTORY = [("a2", USER), ("a1", USER), ("a0", USER)]


@pytest.mark.parametrize("half_life", [0.0, -0.0, -3.0, math.nan, -math.inf, 0.1, 0.05, 1e-300])
def test_half_life_floor(half_life):
    r = dehydrate(FLOOR_HISTORY, half_life=half_life, safe_threshold=2.0**-15)
    assert r["kept"] == ["a1", "a0"]


def test_half_life_just_above_floor_differs():
    r = dehydrate(FLOOR_HISTORY, half_life=0.2, safe_threshold=2.0**-15)
    assert r["kept"] == ["a2", "a1", "a0"]


def test_infinite_half_life_never_decays():
    msgs = [("u", USER)] + [("x", 0)] * 5000
    r = dehydrate(msgs, half_life=math.inf, safe_threshold=1.0)
    assert r["kept"] == ["u"]


@pytest.mark.parametrize("thr", [0.0, -0.0, -1.0, -math.inf])
def test_non_positive_threshold_keeps_everything(thr):
    # Even scores that underflow to zero satisfy 0 >= 0.
    msgs = [("t", THINKING)] * 300 + [("u", USER)]
    r = dehydrate(msgs, half_life=0.1, safe_threshold=thr)
    assert r["blocks_kept"] == 301


def test_nan_threshold_purges_all_but_protected_and_durable():
    msgs = [("p", TOOL), ("s", SYSTEM), ("u", USER), ("f", FACT), ("n", USER)]
    r = dehydrate(msgs, safe_threshold=math.nan, stable_prefix=1)
    assert r["kept"] == ["p", "s", "f"]


def test_threshold_is_narrowed_before_comparing():
    newest = [("u", USER)]  # score exactly 1.0
    assert dehydrate(newest, safe_threshold=1.0)["kept"] == ["u"]
    # 1 + 1e-8 narrows to 1.0f and keeps; the next float32 above 1.0 purges.
    assert dehydrate(newest, safe_threshold=1.00000001)["kept"] == ["u"]
    assert dehydrate(newest, safe_threshold=1.0 + 2.0**-23)["kept"] == []
    # Beyond the single range the threshold becomes infinite.
    assert dehydrate(newest, safe_threshold=1e300)["kept"] == []


def test_default_threshold_is_single_precision():
    # A USER message of age 3 at this half_life scores exactly 0.35f, which lies
    # just below the double 0.35: it survives only if the threshold is narrowed.
    half_life = 1.9807560443878174
    msgs = [("edge", USER), ("a", USER), ("b", USER), ("c", USER)]
    assert model_exp2(-np.float32(3) / np.float32(half_life)) == np.float32(0.35)
    assert dehydrate(msgs, half_life)["kept"][0] == "edge"
    assert dehydrate(msgs, half_life, 0.35)["kept"][0] == "edge"
    above = np.nextafter(np.float32(0.35), np.float32(1)).item()
    assert dehydrate(msgs, half_life, above)["kept"] == ["a", "b", "c"]


# --- arguments ----------------------------------------------------------------

Msg = collections.namedtuple("Msg", "content flags")


@pytest.mark.parametrize(
    "messages",
    [
        (("a", USER), ("b", USER)),
        [Msg("a", USER), Msg("b", USER)],
        SizedSeq([("a", USER), ("b", USER)]),
        SizedSeq([("a", USER), ("b", USER)], length=10**12),  # a lying length only sizes a reservation
        SizedSeq([("a", USER), ("b", USER)], length=0),
        collections.deque([("a", USER), ("b", USER)]),
    ],
    ids=["tuple", "namedtuple", "sequence", "long-len", "zero-len", "deque"],
)
def test_accepted_containers(messages):
    assert dehydrate(messages)["kept"] == ["a", "b"]


def test_accepted_scalar_forms():
    r = dehydrate(
        [(StrSub("é😀"), True), ("t", Index(SYSTEM)), ("u", np.uint32(TOOL))],
        half_life=np.float32(6.0),
        safe_threshold=np.float64(0.35),
        stable_prefix=np.int64(0),
    )
    assert r["kept"] == ["é😀", "t"]
    assert type(r["kept"][0]) is str
    assert dehydrate([("t", TOOL)], stable_prefix=True)["kept"] == ["t"]
    assert dehydrate([("a", 0)] * 3, half_life=1)["kept"] == ["a"]  # int half_life: 2^-1 * 0.6 < 0.35


def test_keyword_arguments_and_positional_order():
    msgs = [("a", USER), ("b", TOOL)]
    by_kw = dehydrate(stable_prefix=2, safe_threshold=0.35, half_life=6.0, messages=msgs)
    by_pos = dehydrate(msgs, 6.0, 0.35, 2)
    assert without_latency(by_kw) == without_latency(by_pos)
    assert by_kw["kept"] == ["a", "b"]


def test_high_flag_bits_are_ignored():
    msgs = [("t", TOOL | 2**31), ("x", 2**31), ("y", 0xFFFFFFC0)]
    assert dehydrate(msgs)["kept"] == ["x", "y"]


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info


@pytest.mark.parametrize(
    "messages, exc, message",
    [
        ("abc", TypeError, "Can't extract `str` to `Vec`"),
        ("", TypeError, "Can't extract `str` to `Vec`"),
        (StrSub("x"), TypeError, "Can't extract `str` to `Vec`"),
        ((x for x in [("a", 1)]), TypeError, "'generator' object is not an instance of 'Sequence'"),
        ({("a", 1)}, TypeError, "'set' object is not an instance of 'Sequence'"),
        ({"a": 1}, TypeError, "'dict' object is not an instance of 'Sequence'"),
        (frozenset(), TypeError, "'frozenset' object is not an instance of 'Sequence'"),
        (5, TypeError, "'int' object is not an instance of 'Sequence'"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
        ([["a", 1]], TypeError, "'list' object is not an instance of 'tuple'"),
        ([("a", 1), "a"], TypeError, "'str' object is not an instance of 'tuple'"),
        ([None], TypeError, "'None' is not an instance of 'tuple'"),
        ([("a", 1, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([("a",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ([()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ([(b"a", 1)], TypeError, "'bytes' object is not an instance of 'str'"),
        ([(None, 1)], TypeError, "'None' is not an instance of 'str'"),
        ([(1, "a")], TypeError, "'int' object is not an instance of 'str'"),
        ([("a", 2**32)], OverflowError, "out of range integral type conversion attempted"),
        ([("a", 2**33 + 1)], OverflowError, "out of range integral type conversion attempted"),
    ],
    ids=lambda v: repr(v)[:30],
)
def test_messages_errors(messages, exc, message):
    info = raised(lambda: dehydrate(messages))
    assert info.type is exc
    assert str(info.value) == message
    assert notes(info.value) == processing_notes("messages")


@pytest.mark.parametrize(
    "item, exc",
    [
        (("a", -1), OverflowError),
        (("a", 2**64), OverflowError),
        (("a", 1.5), TypeError),
        (("a", "1"), TypeError),
        (("a", None), TypeError),
        (("\ud800", 1), UnicodeEncodeError),
    ],
)
def test_messages_interpreter_errors(item, exc):
    info = raised(lambda: dehydrate([("ok", 1), item]))
    assert info.type is exc
    assert notes(info.value) == processing_notes("messages")


def test_iteration_error_is_passed_on_with_note():
    class Boom(Exception):
        pass

    failing = SizedSeq([("x", USER), ("x", USER), Boom("third item"), ("x", USER)], length=5)
    info = raised(lambda: dehydrate(failing))
    assert info.type is Boom and str(info.value) == "third item"
    assert notes(info.value) == processing_notes("messages")


def test_flags_index_error_is_passed_on_with_note():
    info = raised(lambda: dehydrate([("a", Index(KeyError("nope")))]))
    assert info.type is KeyError
    assert notes(info.value) == processing_notes("messages")


@pytest.mark.parametrize(
    "kwargs, param, exc",
    [
        ({"half_life": "6"}, "half_life", TypeError),
        ({"half_life": None}, "half_life", TypeError),
        ({"safe_threshold": [0.35]}, "safe_threshold", TypeError),
        ({"stable_prefix": -1}, "stable_prefix", OverflowError),
        ({"stable_prefix": 2**64}, "stable_prefix", OverflowError),
        ({"stable_prefix": 1.0}, "stable_prefix", TypeError),
        ({"stable_prefix": None}, "stable_prefix", TypeError),
        # The first failing argument in parameter order is the one reported.
        ({"messages": "x", "half_life": "y"}, "messages", TypeError),
        ({"half_life": "y", "safe_threshold": "z"}, "half_life", TypeError),
        ({"safe_threshold": "z", "stable_prefix": -1}, "safe_threshold", TypeError),
    ],
)
def test_parameter_errors(kwargs, param, exc):
    kwargs = {"messages": [("a", 1)], **kwargs}
    info = raised(lambda: dehydrate(**kwargs))
    assert info.type is exc
    assert notes(info.value) == processing_notes(param)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "dehydrate() missing 1 required positional argument: 'messages'"),
        (([], 1, 2, 3, 4), {}, "dehydrate() takes from 1 to 4 positional arguments but 5 were given"),
        (([],), {"messages": []}, "dehydrate() got multiple values for argument 'messages'"),
        (([],), {"halflife": 1.0}, "dehydrate() got an unexpected keyword argument 'halflife'"),
    ],
)
def test_binding_errors_have_no_note(args, kwargs, message):
    info = raised(lambda: dehydrate(*args, **kwargs))
    assert info.type is TypeError and str(info.value) == message
    assert notes(info.value) == []


# --- properties against the model ---------------------------------------------

FLAG_CHOICES = [0, SYSTEM, USER, ASSISTANT, FACT, TOOL, THINKING, TOOL | THINKING, USER | THINKING,
                SYSTEM | TOOL, 64, 2**31]
flags_st = st.one_of(st.sampled_from(FLAG_CHOICES), st.integers(0, 2**32 - 1))
message_st = st.tuples(st.text(max_size=12), flags_st)
real_st = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(0.05, 40.0),
    st.floats(0.0, 1.25, width=32),
)


@settings(max_examples=300, deadline=None)
@given(
    messages=st.lists(message_st, max_size=60),
    half_life=real_st,
    safe_threshold=real_st,
    stable_prefix=st.one_of(st.integers(0, 70), st.integers(0, 2**64 - 1)),
)
def test_matches_model(messages, half_life, safe_threshold, stable_prefix):
    r = dehydrate(messages, half_life, safe_threshold, stable_prefix)
    expected = model(messages, half_life, safe_threshold, stable_prefix)
    assert without_latency(r) == expected
    assert bits(r["reduction"]) == bits(expected["reduction"])
    assert r["blocks_kept"] + r["blocks_purged"] == r["blocks_in"] == len(messages)
    assert r["tokens_after"] <= r["tokens_before"]
    assert r["kernel_latency_us"] >= 0.0
    # kept is an order-preserving subsequence of the contents.
    it = iter(m[0] for m in messages)
    assert all(any(k == c for c in it) for k in r["kept"])


def model_score(age, half_life, flags):
    with np.errstate(all="ignore"):
        hl = np.float32(half_life)
        hl = hl if hl > np.float32(0.1) else np.float32(0.1)
        return model_exp2(-np.float32(age) / hl) * model_weight(flags)


def assert_score_is(age, half_life, flags, score):
    """Pins the kernel's score bit for bit: kept at `score`, purged just above it."""
    msgs = [("probe", flags)] + [("", SYSTEM)] * age
    above = np.nextafter(score, np.float32(np.inf), dtype=np.float32).item()
    assert dehydrate(msgs, half_life, score.item())["kept"][0] == "probe"
    assert dehydrate(msgs, half_life, above)["blocks_purged"] == 1


@settings(max_examples=200, deadline=None)
@given(
    age=st.integers(0, 3000),
    half_life=st.one_of(st.floats(0.1, 1e4), st.floats(0.0, 100.0, width=32)),
    flags=st.sampled_from([USER, 0, TOOL, THINKING]),
)
@example(age=3, half_life=1.9807560443878174, flags=USER)
@example(age=257, half_life=0.1, flags=USER)
@example(age=100, half_life=1e7, flags=THINKING)
@example(age=10, half_life=6.0, flags=TOOL)
def test_score_is_bit_exact(age, half_life, flags):
    score = model_score(age, half_life, flags)
    if score > 0:
        assert_score_is(age, half_life, flags, score)


# --- threads --------------------------------------------------------------------


# Calls made, at most, until another thread has run while one of them released the lock.
ATTEMPTS = 50


class SwitchOnlyWhenReleased:
    """Makes the interpreter hand the GIL over only when a holder releases it, so
    another thread can run during a call only if that call releases the lock."""

    def __enter__(self):
        self.saved = sys.getswitchinterval()
        sys.setswitchinterval(30.0)

    def __exit__(self, *exc):
        sys.setswitchinterval(self.saved)


def run_beside(worker, call):
    """Runs `worker(stop)` in a thread (it must release the GIL regularly) and
    returns `call()`'s result once the worker is known to be running."""
    stop = threading.Event()
    started = threading.Event()
    thread = threading.Thread(target=worker, args=(stop, started), daemon=True)
    thread.start()
    assert started.wait(HANG_SECONDS)
    try:
        return call()
    finally:
        stop.set()
        thread.join(HANG_SECONDS)
        assert not thread.is_alive()


def test_other_threads_progress_during_the_decision_pass():
    n = 2_000_000
    msgs = [("", TOOL)] * (n - 2) + [("u", USER), ("s", SYSTEM)]
    counter = [0]

    def worker(stop, started):
        started.set()
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0)  # releases the GIL without a timed switch

    def call():
        while counter[0] == 0:  # the worker is in its loop
            time.sleep(0)
        # The pass takes milliseconds, which a busy machine may not wake the worker
        # within; only a call that never releases the lock fails every attempt.
        for _ in range(ATTEMPTS):
            before = counter[0]
            r = dehydrate(msgs)
            after = counter[0]
            if after > before:
                break
        return before, r, after

    with SwitchOnlyWhenReleased():
        before, r, after = run_beside(worker, call)
    assert r["kept"] == ["u", "s"]
    assert r["blocks_purged"] == n - 2
    assert after > before


def test_mutating_the_callers_list_during_the_call():
    msgs = [(f"m{i % 50}", (USER, TOOL, 0, SYSTEM)[i % 4]) for i in range(300_000)]
    expected = without_latency(dehydrate(list(msgs)))
    mutated = threading.Event()

    def worker(stop, started):
        started.set()
        while not stop.is_set():
            if not mutated.is_set() and armed[0]:
                msgs[:] = [("other", SYSTEM)]
                mutated.set()
            time.sleep(0)

    armed = [False]

    def call():
        armed[0] = True
        for _ in range(ATTEMPTS):  # as above: until the worker ran during a call
            r = dehydrate(msgs)
            if mutated.is_set():
                break
        return r

    with SwitchOnlyWhenReleased():
        r = run_beside(worker, call)
    assert mutated.is_set()  # the worker could only have run while the lock was released
    assert msgs == [("other", SYSTEM)]
    assert without_latency(r) == expected


def test_list_cleared_by_flags_conversion():
    # Code run by a flags conversion empties the list being iterated: iteration
    # ends early and the text already taken stays valid.
    msgs = []

    class Clearing:
        def __index__(self):
            msgs.clear()
            return USER

    msgs.extend([("x" * 100 + "first", Clearing()), ("second", USER), ("third", USER)])
    r = dehydrate(msgs)
    assert r["kept"] == ["x" * 100 + "first"]


def test_concurrent_calls():
    histories = [[(f"{t}:{i}", FLAG_CHOICES[(i * 7 + t) % len(FLAG_CHOICES)]) for i in range(2000)]
                 for t in range(4)]
    expected = [without_latency(dehydrate(h, 3.0, 0.2, t)) for t, h in enumerate(histories)]
    failures = []

    def run(t):
        for _ in range(20):
            if without_latency(dehydrate(histories[t], 3.0, 0.2, t)) != expected[t]:
                failures.append(t)

    run_threads([lambda t=t: run(t) for t in range(4)])
    assert failures == []


def test_nested_call_from_a_conversion_hook_keeps_both_histories_apart():
    inner = [("inner-%d" % i, qm.SYSTEM) for i in range(50)]
    nested = []
    # The flags' conversion runs a whole nested dehydrate on the same thread.
    hook = Index(qm.USER, before=lambda: nested.append(qm.dehydrate(inner)))
    outer = [("outer-a", qm.USER), ("outer-b", hook), ("outer-c", qm.USER)]
    result = qm.dehydrate(outer)
    assert result["kept"] == ["outer-a", "outer-b", "outer-c"]
    assert [r["kept"] for r in nested] == [[text for text, _ in inner]]
    # The buffers reused between calls hold nothing of the previous history.
    assert qm.dehydrate([("x", qm.USER)])["kept"] == ["x"]


def test_length_is_only_a_hint_but_an_interrupt_is_not_swallowed():
    messages = [("m0", qm.SYSTEM), ("m1", qm.SYSTEM)]
    assert qm.dehydrate(SizedSeq(messages, ValueError("no length")))["kept"] == ["m0", "m1"]
    with pytest.raises(KeyboardInterrupt):
        qm.dehydrate(SizedSeq([], KeyboardInterrupt))
