# Behaviour of the ContextApoptosis window: blocks, decay cycles, ledger, rendering.
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import quorvex_micro as qm
from quorvex_micro import ASSISTANT, FACT, SYSTEM, THINKING, TOOL, USER, ContextApoptosis
from support.call_errors import notes, processing_notes
from support.exp2_model import exp2
from support.text_model import split_words, tokens

NAN = float("nan")
INF = float("inf")
F32 = np.float32
ELLIPSIS = "\u2026"


def model_digest(text):
    joined = " ".join(split_words(text)).encode()
    for cut in range(120, len(joined)):
        if joined[cut] & 0xC0 != 0x80:
            return joined[:cut].decode() + ELLIPSIS
    return joined.decode()


def survival(window, cycles=8, **kwargs):
    """Return values of `cycles` successive cycles."""
    return [window.dehydrate(**kwargs) for _ in range(cycles)]


def snapshot(window):
    return (window.render(), len(window), window.inserted_tokens(), window.active_tokens(),
            window.state_entries(), window.active_context())


def absorbed(text, signal=USER, **kwargs):
    window = ContextApoptosis(**kwargs)
    window.insert(text, signal, 0.0)
    assert window.dehydrate(absorb=True) == 1
    return window.state_entries()


# --- construction and settings --------------------------------------------------------


def test_fresh_window_is_empty_and_false():
    window = ContextApoptosis()
    assert len(window) == 0 and not window
    assert window.render() == ""
    assert window.state_entries() == [] and window.active_context() == []
    assert window.active_tokens() == 0 and window.inserted_tokens() == 0
    assert window.reduction_ratio() == 0.0
    assert window.dehydrate() == 0 and window.dehydrate(absorb=True) == 0
    assert window.render() == ""


@pytest.mark.parametrize("half_life", [0, -5, NAN, 0.05, 0.1, -INF])
def test_half_life_is_raised_to_a_tenth(half_life):
    # At 0.1 the factor is 2^-10: 400 decays to 0.39 (kept), then 0.0004 (purged).
    # Any shorter half-life would purge it in the first cycle.
    window = ContextApoptosis(half_life=half_life)
    window.insert("x", oxygen=400.0)
    assert survival(window, 2) == [0, 1]


def test_infinite_half_life_never_decays():
    window = ContextApoptosis(half_life=INF)
    window.insert("user", USER)
    window.insert("at threshold", 0, 0.35)  # the same float32 as the threshold
    window.insert("below", TOOL)
    window.insert("tenth", 0, 0.1)
    assert window.dehydrate() == 2
    assert survival(window, 20) == [0] * 20
    assert window.active_context() == ["user", "at threshold"]


@pytest.mark.parametrize("half_life", [0.1, 0.15, 0.3, 0.45, 2.0, 2.25, 7.0, 8.65])
def test_decay_factor_is_the_float_exponential_of_a_float_quotient(half_life):
    # 2^(-1.0f / h) rounded once to float: for these half-lives a double quotient or a double
    # exponential rounds to a neighbouring float, and the threshold tells them apart.
    factor = exp2(F32(-1.0) / F32(half_life))
    for threshold, purged in ((factor, 0), (np.nextafter(factor, F32(INF)), 1)):
        window = ContextApoptosis(half_life=half_life, safe_threshold=float(threshold))
        window.insert("user", USER)
        assert window.dehydrate() == purged


def test_threshold_is_compared_in_single_precision():
    # float32(0.35) is below the double 0.35; the block survives only if both
    # sides are single precision.
    window = ContextApoptosis(half_life=INF, safe_threshold=0.35)
    window.insert("edge", 0, 0.35)
    assert window.dehydrate() == 0


def test_nan_threshold_purges_every_non_durable_block():
    window = ContextApoptosis(safe_threshold=NAN)
    for signal in (0, USER, ASSISTANT, TOOL, THINKING, SYSTEM, FACT, SYSTEM | TOOL):
        window.insert(f"s{signal}", signal, INF)
    assert window.dehydrate() == 5
    assert window.active_context() == ["s1", "s8", "s17"]


@pytest.mark.parametrize("threshold", [0.0, -1.0, -INF])
def test_threshold_at_or_below_zero_keeps_zero_oxygen(threshold):
    window = ContextApoptosis(safe_threshold=threshold)
    window.insert("zero", USER, 0.0)
    window.insert("negative zero", USER, -0.0)
    assert survival(window, 5) == [0] * 5


def test_capacity_is_only_a_reservation():
    for capacity in (0, 4):
        window = ContextApoptosis(capacity=capacity)
        texts = [f"block {i}" for i in range(300)]
        for text in texts:
            window.insert(text, FACT)
        assert window.active_context() == texts and len(window) == 300
        assert window.reduction_ratio() == 0.0


@pytest.mark.parametrize("capacity", [2**64 - 1, 2**60, 2**63])
def test_capacity_overflow_panics(capacity):
    with pytest.raises(BaseException) as info:
        ContextApoptosis(capacity=capacity)
    panic = info.value
    assert type(panic).__name__ == "PanicException"
    assert not isinstance(panic, Exception)
    assert type(panic).__bases__ == (BaseException,)
    assert str(panic) == "capacity overflow"
    assert not hasattr(qm, "PanicException")


def test_unsatisfiable_capacity_raises_memory_error():
    with pytest.raises(MemoryError):
        ContextApoptosis(capacity=2**56)
    ContextApoptosis(capacity=1000).insert("still fine")


# --- insertion ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [("", 1), ("abc", 1), ("abcd", 2), ("abcdefg", 2), ("abcdefgh", 3), ("é€", 2), ("ééé", 2)],
)
def test_token_estimate_counts_utf8_bytes(text, expected):
    window = ContextApoptosis()
    window.insert(text)
    assert window.inserted_tokens() == window.active_tokens() == expected


@pytest.mark.parametrize(
    "signal, oxygen, purged_in_cycle",
    [
        (0, None, 2),  # 0.6
        (64, None, 2),  # undefined bit only: unclassified
        (USER, None, 4),  # 1.0: 0.707, 0.5, 0.354, 0.25
        (ASSISTANT, None, 4),
        (USER | THINKING, None, 4),
        (USER | 64, None, 4),
        (TOOL, None, 1),
        (THINKING, None, 1),
        (TOOL | THINKING, None, 1),
        (USER, -1.0, 4),  # negative oxygen: automatic weight
        (USER, -0.001, 4),
        (USER, 0.0, 1),
        (USER, -0.0, 1),  # -0.0 is not below zero: stored, not automatic
        (USER, NAN, 1),
        (USER, 0.5, 2),
        (TOOL, 1.0, 4),
    ],
)
def test_oxygen_decides_the_purging_cycle(signal, oxygen, purged_in_cycle):
    window = ContextApoptosis()
    if oxygen is None:
        window.insert("block", signal)
    else:
        window.insert("block", signal, oxygen)
    results = survival(window, 6)
    assert results == [1 if i == purged_in_cycle - 1 else 0 for i in range(6)]


@pytest.mark.parametrize("signal", [SYSTEM, FACT, SYSTEM | TOOL, FACT | USER, SYSTEM | THINKING])
@pytest.mark.parametrize("boost", [0.5, 0.0, -1.0, -1e30, NAN, -INF])
def test_durable_blocks_always_survive(signal, boost):
    window = ContextApoptosis(half_life=0.1)
    window.insert("durable", signal, NAN)
    assert survival(window, 10, reinforce_boost=boost, absorb=True) == [0] * 10
    assert window.active_context() == ["durable"] and window.state_entries() == []


def test_infinite_oxygen_never_runs_out():
    window = ContextApoptosis(half_life=0.1)
    window.insert("forever", USER, INF)
    window.insert("huge double", USER, 1e300)  # narrowed to infinity
    assert survival(window, 20) == [0] * 20


def test_insert_by_keyword():
    window = ContextApoptosis()
    window.insert(oxygen=0.0, content="kw", signal=USER)
    assert window.active_context() == ["kw"]
    assert window.dehydrate() == 1


def test_insert_keeps_order_and_purges_in_place():
    window = ContextApoptosis()
    window.insert("first", USER)
    window.insert("second", TOOL)
    window.insert("third", USER)
    assert window.dehydrate() == 1
    assert window.active_context() == ["first", "third"]
    assert window.render() == "first\nthird"


def test_length_follows_inserts_and_cycles():
    window = ContextApoptosis()
    for signal in (TOOL, THINKING, USER):
        window.insert("b", signal)
    assert len(window) == 3 and window
    assert window.dehydrate() == 2
    assert len(window) == 1


@pytest.mark.parametrize(
    "first, second, ratio",
    [("abcd", "abcdefgh", 0.4000000059604645), ("", "abcd", 0.3333333432674408)],
)
def test_reduction_ratio_is_a_single_precision_quotient(first, second, ratio):
    window = ContextApoptosis()
    window.insert(first, TOOL)
    window.insert(second, USER)
    inserted = tokens(first) + tokens(second)
    assert window.inserted_tokens() == window.active_tokens() == inserted
    assert window.dehydrate() == 1
    assert window.active_tokens() == tokens(second)
    assert window.inserted_tokens() == inserted
    assert struct.pack("<d", window.reduction_ratio()) == struct.pack("<d", ratio)


# --- argument errors ----------------------------------------------------------------


def _populated():
    window = ContextApoptosis(state_capacity=4)
    window.set_purpose("P")
    window.note_state("fact")
    window.insert("plain")  # 0.6: survives one cycle, purged by the second
    return window


@pytest.mark.parametrize(
    "call, exc_type, message, note",
    [
        (lambda w: w.insert(42), TypeError, "'int' object is not an instance of 'str'", "content"),
        (lambda w: w.insert(None), TypeError, "'None' is not an instance of 'str'", "content"),
        (lambda w: w.insert(b"x"), TypeError, "'bytes' object is not an instance of 'str'",
         "content"),
        (lambda w: w.insert("\ud800"), UnicodeEncodeError, None, "content"),
        (lambda w: w.insert("x", -1), OverflowError, None, "signal"),
        (lambda w: w.insert("x", 2**32), OverflowError,
         "out of range integral type conversion attempted", "signal"),
        (lambda w: w.insert("x", 1.5), TypeError, None, "signal"),
        (lambda w: w.insert("x", None), TypeError, None, "signal"),
        (lambda w: w.insert("x", 0, None), TypeError, None, "oxygen"),
        (lambda w: w.insert("x", oxygen="1"), TypeError, None, "oxygen"),
        (lambda w: w.insert(1, -1, None), TypeError, "'int' object is not an instance of 'str'",
         "content"),
        (lambda w: w.insert("x", -1, None), OverflowError, None, "signal"),
        (lambda w: w.dehydrate(absorb=1), TypeError, "'int' object is not an instance of 'bool'",
         "absorb"),
        (lambda w: w.dehydrate(0.5, None), TypeError, "'None' is not an instance of 'bool'",
         "absorb"),
        (lambda w: w.dehydrate("x"), TypeError, None, "reinforce_boost"),
        (lambda w: w.dehydrate("x", 1), TypeError, None, "reinforce_boost"),
        (lambda w: w.note_state(42), TypeError, "'int' object is not an instance of 'str'",
         "fact"),
        (lambda w: w.note_state(None), TypeError, "'None' is not an instance of 'str'", "fact"),
        (lambda w: w.set_purpose(42), TypeError, "'int' object is not an instance of 'str'",
         "text"),
    ],
)
def test_conversion_errors_name_the_argument_and_change_nothing(call, exc_type, message, note):
    window = _populated()
    before = snapshot(window)
    with pytest.raises(exc_type) as info:
        call(window)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert notes(info.value) == processing_notes(note)
    assert snapshot(window) == before
    # A failed cycle decayed nothing: the plain block still needs two cycles.
    assert survival(window, 2) == [0, 1]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda w: w.insert(), "ContextApoptosis.insert() missing 1 required positional argument: "
         "'content'"),
        (lambda w: w.insert("a", 0, 1.0, 2), "ContextApoptosis.insert() takes from 1 to 3 "
         "positional arguments but 4 were given"),
        (lambda w: w.insert("a", content="b"), "ContextApoptosis.insert() got multiple values for "
         "argument 'content'"),
        (lambda w: w.insert("a", weight=1.0), "ContextApoptosis.insert() got an unexpected keyword "
         "argument 'weight'"),
        (lambda w: w.dehydrate(0.5, False, 1), "ContextApoptosis.dehydrate() takes from 0 to 2 "
         "positional arguments but 3 were given"),
        (lambda w: w.set_purpose(), "ContextApoptosis.set_purpose() missing 1 required positional "
         "argument: 'text'"),
        (lambda w: w.set_purpose("a", "b"), "ContextApoptosis.set_purpose() takes 1 positional "
         "arguments but 2 were given"),
        (lambda w: w.note_state(), "ContextApoptosis.note_state() missing 1 required positional "
         "argument: 'fact'"),
        (lambda w: w.note_state(text="a"), "ContextApoptosis.note_state() got an unexpected "
         "keyword argument 'text'"),
        (lambda w: ContextApoptosis(1, 2, 3, 4, 5), "ContextApoptosis.__new__() takes from 0 to 4 "
         "positional arguments but 5 were given"),
        (lambda w: ContextApoptosis(2.0, half_life=1.0), "ContextApoptosis.__new__() got multiple "
         "values for argument 'half_life'"),
    ],
)
def test_binding_errors(call, message):
    window = _populated()
    before = snapshot(window)
    with pytest.raises(TypeError) as info:
        call(window)
    assert str(info.value) == message
    assert notes(info.value) == []
    assert snapshot(window) == before


@pytest.mark.parametrize(
    "kwargs, exc_type, note",
    [
        ({"half_life": "x"}, TypeError, "half_life"),
        ({"half_life": None}, TypeError, "half_life"),
        ({"safe_threshold": "x", "capacity": -1}, TypeError, "safe_threshold"),
        ({"capacity": -1, "state_capacity": -1}, OverflowError, "capacity"),
        ({"capacity": 2**64}, OverflowError, "capacity"),
        ({"capacity": 1.0}, TypeError, "capacity"),
        ({"state_capacity": -1}, OverflowError, "state_capacity"),
        ({"half_life": "x", "capacity": 2**64 - 1}, TypeError, "half_life"),
    ],
)
def test_constructor_conversion_errors(kwargs, exc_type, note):
    with pytest.raises(exc_type) as info:
        ContextApoptosis(**kwargs)
    assert type(info.value) is exc_type
    assert notes(info.value) == processing_notes(note)


def test_numpy_bool_and_index_arguments_are_accepted():
    window = ContextApoptosis(capacity=np.uint64(3), state_capacity=True)
    window.insert("a", np.uint32(USER), np.float64(0.0))
    assert window.dehydrate(np.float32(0.5), np.bool_(True)) == 1
    assert window.state_entries() == ["a"]


# --- absorption and digests ---------------------------------------------------------


def test_absorption_collapses_whitespace():
    assert absorbed("  hello\n\n  world\t") == ["hello world"]


@pytest.mark.parametrize("signal", [USER, ASSISTANT, USER | TOOL, ASSISTANT | THINKING | 64])
def test_conversational_blocks_leave_a_digest(signal):
    assert absorbed("said", signal) == ["said"]


@pytest.mark.parametrize("signal", [0, 64, TOOL, THINKING, TOOL | THINKING])
def test_other_blocks_vanish_without_trace(signal):
    assert absorbed("noise", signal) == []


def test_without_absorb_nothing_is_kept():
    window = ContextApoptosis()
    window.insert("said", USER, 0.0)
    assert window.dehydrate() == 1 and window.state_entries() == [] and window.render() == ""


@pytest.mark.parametrize(
    "text, digest",
    [
        ("a" * 120, "a" * 120),
        ("a" * 121, "a" * 120 + ELLIPSIS),
        ("a" * 200, "a" * 120 + ELLIPSIS),
        ("a" * 119 + "é", "a" * 119 + "é"),  # 121 bytes, no start at or after 120
        ("a" * 119 + "😀", "a" * 119 + "😀"),  # 123 bytes, no start at or after 120
        ("a" * 119 + "€" + "bcd", "a" * 119 + "€" + ELLIPSIS),  # cut at 122
        ("a" * 118 + "€" + "b", "a" * 118 + "€" + ELLIPSIS),  # cut at 121
        ("a" * 119 + "é" + "b", "a" * 119 + "é" + ELLIPSIS),  # cut at 121
        ("a" * 120 + "é", "a" * 120 + ELLIPSIS),  # cut at 120
        ("a" * 121 + "€", "a" * 120 + ELLIPSIS),
        ("a" * 119 + "😀" + "b", "a" * 119 + "😀" + ELLIPSIS),  # cut at 123: 126 bytes
        ("a" * 117 + "😀" + "b", "a" * 117 + "😀" + ELLIPSIS),  # cut at 121
        ("a" * 120 + "\n\n b", "a" * 120 + ELLIPSIS),  # the joining space is the cut
        ("a" * 119 + "  \t b", "a" * 119 + " " + ELLIPSIS),
        ("  " + "a" * 60 + " \u3000 " + "b" * 59 + "\n", "a" * 60 + " " + "b" * 59),  # 120
        ("x\x85y\xa0z\u2028w\u200aq", "x y z w q"),
        ("x\x1cy\u200bz", "x\x1cy\u200bz"),  # neither is White_Space
        ("", ""),
        (" \t\n ", ""),
        # Long texts: the cut lies far before the end, or only whitespace comes first.
        ("\u00e9" * 300, "\u00e9" * 60 + ELLIPSIS),
        ("\u20ac" * 200, "\u20ac" * 40 + ELLIPSIS),
        (" " * 600 + "a" * 130, "a" * 120 + ELLIPSIS),
        (" " * 500 + "a" * 200, "a" * 120 + ELLIPSIS),
        (" " * 505 + "\U0001F600" * 40, "\U0001F600" * 30 + ELLIPSIS),
        ("\u3000" * 170 + "b" * 3 + " c", "bbb c"),
        ("a" * 600 + " b", "a" * 120 + ELLIPSIS),
    ],
)
def test_digest_layout(text, digest):
    assert model_digest(text) == digest
    assert absorbed(text) == [digest]
    assert len(digest.encode()) <= 126


def test_long_words_are_cut_without_joining_everything():
    text = ("w" * 10_000 + " ") * 100
    assert absorbed(text, ASSISTANT) == ["w" * 120 + ELLIPSIS]


def test_identical_digests_in_one_cycle_leave_one_entry():
    window = ContextApoptosis()
    for text in ("same", " same\n", "", "  "):
        window.insert(text, USER, 0.0)
    assert window.dehydrate(absorb=True) == 4
    assert window.state_entries() == ["same", ""]
    assert window.render() == "STATE:\n- same\n- \n"
    assert window.reduction_ratio() == 1.0


def test_absorbed_digests_roll_off_within_one_cycle():
    window = ContextApoptosis(state_capacity=2)
    window.note_state("older fact")
    for text in ("a", "b", "c"):
        window.insert(text, USER, 0.0)
    window.insert("kept", SYSTEM)
    assert window.dehydrate(absorb=True) == 3
    assert window.state_entries() == ["b", "c"]
    assert window.note_state("c") is False
    assert window.note_state("a") is True
    assert window.state_entries() == ["c", "a"]


def test_digests_follow_store_order_and_existing_entries_win():
    window = ContextApoptosis()
    window.note_state("second")
    for text in ("first", "second", "third"):
        window.insert(text, ASSISTANT, 0.0)
    assert window.dehydrate(absorb=True) == 3
    assert window.state_entries() == ["second", "first", "third"]


# --- ledger, purpose and rendering --------------------------------------------------


def test_note_state_deduplicates_by_content():
    window = ContextApoptosis()
    assert window.note_state("fact") is True
    assert window.note_state("other") is True
    assert window.note_state("fact") is False
    assert window.note_state("fact ") is True
    assert window.note_state("Fact") is True
    assert window.state_entries() == ["fact", "other", "fact ", "Fact"]


@pytest.mark.parametrize("state_capacity", [0, 1])
def test_ledger_of_one_keeps_the_newest_distinct_fact(state_capacity):
    window = ContextApoptosis(state_capacity=state_capacity)
    assert window.note_state("A") and window.note_state("B")
    assert window.note_state("B") is False
    assert window.state_entries() == ["B"]
    assert window.note_state("A") is True
    assert window.state_entries() == ["A"]


def test_ledger_rolls_off_the_oldest():
    window = ContextApoptosis(state_capacity=2)
    for fact in "ABC":
        assert window.note_state(fact)
    assert window.state_entries() == ["B", "C"]
    assert window.note_state("A") is True
    assert window.state_entries() == ["C", "A"]


def test_render_layouts():
    window = ContextApoptosis()
    for text in ("B1", "B2", "B3"):
        window.insert(text, FACT)
    assert window.render() == "B1\nB2\nB3"
    assert window.active_context() == ["B1", "B2", "B3"]

    window = ContextApoptosis()
    window.set_purpose("P")
    assert window.render() == "P\n"
    window.set_purpose("")
    assert window.render() == "\n"
    window.set_purpose(text=None)
    assert window.render() == ""

    window.note_state("E1")
    window.note_state("E2")
    assert window.render() == "STATE:\n- E1\n- E2\n"

    window.set_purpose("P")
    window.insert("B1", SYSTEM)
    window.insert("B2", SYSTEM)
    assert window.render() == "P\nSTATE:\n- E1\n- E2\nB1\nB2"


def test_render_copies_texts_verbatim():
    window = ContextApoptosis()
    window.set_purpose("line one\nline two")
    window.note_state("multi\nline fact")
    window.insert("block\n", FACT)
    window.insert("", FACT)
    window.insert("ünïcödé 😀", FACT)
    assert window.render() == (
        "line one\nline two\nSTATE:\n- multi\nline fact\nblock\n\n\nünïcödé 😀")


def test_purpose_can_be_replaced_and_cleared():
    window = ContextApoptosis()
    window.insert("b", FACT)
    window.set_purpose("first")
    window.set_purpose("second")
    assert window.render() == "second\nb"
    assert window.set_purpose(None) is None
    assert window.render() == "b"


# --- Python surface -----------------------------------------------------------------

def test_settings_are_not_attributes():
    with pytest.raises(AttributeError):
        ContextApoptosis().half_life = 1.0


# --- model-based check ---------------------------------------------------------------


def auto_weight(signal):
    if signal & (SYSTEM | FACT):
        return F32(4.0)
    if signal & (USER | ASSISTANT):
        return F32(1.0)
    if signal & THINKING:
        return F32(0.15)
    if signal & TOOL:
        return F32(0.25)
    return F32(0.6)


class WindowModel:
    """The window in plain Python, single precision through numpy.float32."""

    def __init__(self, half_life, safe_threshold, state_capacity):
        half_life = F32(half_life)
        self.half_life = half_life if half_life >= F32(0.1) else F32(0.1)
        self.threshold = F32(safe_threshold)
        self.factor = exp2(F32(-1.0) / self.half_life)
        self.state_capacity = max(state_capacity, 1)
        self.blocks = []
        self.purpose = None
        self.ledger = []
        self.inserted = 0
        self.purged = 0

    def insert(self, content, signal, oxygen):
        block_tokens = tokens(content)
        self.inserted += block_tokens
        if oxygen is None or F32(oxygen) < F32(0.0):
            weight = auto_weight(signal)
        else:
            weight = F32(oxygen)
        self.blocks.append([content, weight, signal, block_tokens])

    def append_state(self, text):
        if text in self.ledger:
            return False
        self.ledger.append(text)
        del self.ledger[: max(0, len(self.ledger) - self.state_capacity)]
        return True

    def dehydrate(self, boost, absorb):
        boost = F32(boost)
        survivors, digests = [], []
        for block in self.blocks:
            content, oxygen, signal, block_tokens = block
            durable = signal & (SYSTEM | FACT)
            block[1] = oxygen = oxygen + boost if durable else oxygen * self.factor
            if durable or oxygen >= self.threshold:
                survivors.append(block)
                continue
            self.purged += block_tokens
            if absorb and signal & (USER | ASSISTANT):
                digests.append(model_digest(content))
        purged = len(self.blocks) - len(survivors)
        self.blocks = survivors
        for digest in digests:
            self.append_state(digest)
        return purged

    def render(self):
        out = ""
        if self.purpose is not None:
            out += self.purpose + "\n"
        if self.ledger:
            out += "STATE:\n" + "".join(f"- {entry}\n" for entry in self.ledger)
        return out + "\n".join(block[0] for block in self.blocks)

    def reduction_ratio(self):
        if self.inserted == 0:
            return 0.0
        return float(F32(self.purged) / F32(self.inserted))


ALPHABET = list("ab\u00e9\u20ac\U0001F600 \t\n") + ["\x85", "\xa0", "\u3000", "\x1c", "\u200b"]
TEXTS = st.one_of(
    st.sampled_from(["", "  ", "hello world", "hello \n world", "a" * 121, "fact",
                     " " * 510 + "\u00e9" * 80, "\u20ac" * 250]),
    st.text(st.sampled_from(ALPHABET), max_size=90),
)
SIGNALS = st.sampled_from([0, SYSTEM, USER, ASSISTANT, FACT, TOOL, THINKING, SYSTEM | TOOL,
                           USER | THINKING, TOOL | THINKING, 64, USER | 64, 2**32 - 1])
SPECIAL = [0.0, -0.0, -1.0, NAN, INF, -INF, 0.35, 0.6, 1.0, 4.0, 1e300]
OXYGENS = st.one_of(st.none(), st.sampled_from(SPECIAL), st.floats(-2.0, 8.0))
BOOSTS = st.one_of(st.sampled_from(SPECIAL), st.floats(-3.0, 3.0))


class WindowMachine(RuleBasedStateMachine):
    @initialize(
        half_life=st.sampled_from([2.0, 1.0, 0.5, 3.0, 10.0, 0.1, 0.0, -5.0, NAN, INF, 0.05]),
        threshold=st.sampled_from([0.35, 0.0, -1.0, 0.5, 0.2, 1.5, NAN, INF]),
        capacity=st.sampled_from([0, 2, 256]),
        state_capacity=st.sampled_from([0, 1, 2, 3, 64]),
    )
    def create(self, half_life, threshold, capacity, state_capacity):
        self.window = ContextApoptosis(half_life, threshold, capacity, state_capacity)
        self.model = WindowModel(half_life, threshold, state_capacity)

    @rule(content=TEXTS, signal=SIGNALS, oxygen=OXYGENS)
    def insert(self, content, signal, oxygen):
        if oxygen is None:
            self.window.insert(content, signal)
        else:
            self.window.insert(content, signal=signal, oxygen=oxygen)
        self.model.insert(content, signal, oxygen)

    @rule(boost=BOOSTS, absorb=st.booleans())
    def dehydrate(self, boost, absorb):
        assert self.window.dehydrate(boost, absorb) == self.model.dehydrate(boost, absorb)

    @rule(fact=TEXTS)
    def note_state(self, fact):
        assert self.window.note_state(fact) is self.model.append_state(fact)

    @rule(text=st.one_of(st.none(), TEXTS))
    def set_purpose(self, text):
        self.window.set_purpose(text)
        self.model.purpose = text

    @precondition(lambda self: hasattr(self, "model"))
    @invariant()
    def agrees_with_model(self):
        window, model = self.window, self.model
        assert window.render() == model.render()
        assert len(window) == len(model.blocks)
        assert window.inserted_tokens() == model.inserted
        assert window.active_tokens() == model.inserted - model.purged
        assert window.state_entries() == model.ledger
        assert window.active_context() == [block[0] for block in model.blocks]
        assert struct.pack("<d", window.reduction_ratio()) == struct.pack(
            "<d", model.reduction_ratio())


TestWindowModel = WindowMachine.TestCase
TestWindowModel.settings = settings(
    max_examples=60, stateful_step_count=40, deadline=None,
    suppress_health_check=[HealthCheck.too_slow])


@pytest.fixture(autouse=True)
def _quiet_float32_overflow():
    with np.errstate(over="ignore", invalid="ignore"):
        yield

