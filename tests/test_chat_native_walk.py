"""quorvex_chat._native's message leaves and trial drops are the Python code's, or decline."""
import copy
import functools
import math
import types
from array import array
from collections import UserList

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvex_chat as qc
from quorvex_chat import Options, _plan, _reading
from test_chat_trim import history

native = pytest.importorskip("quorvex_chat._native", reason="the module is built into the wheel")


def packed(numbers):
    return array("q", numbers).tobytes()


MARK = {"type": "ephemeral"}
DEEP = functools.reduce(lambda inner, _: [inner], range(10 ** 5), [])
KEYS = st.sampled_from(["cache_control", "role"]) | st.text(max_size=3) | st.integers() \
    | st.floats() | st.booleans() | st.none()
VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text() | st.binary(),
    lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner)
    | st.dictionaries(KEYS, inner, max_size=4), max_leaves=30)


@pytest.mark.parametrize("message", [
    {"role": "assistant", "content": None, "tool_calls": [{"id": "c1", "type": "function",
     "function": {"name": "tail", "arguments": '{"n": 3}'}}]},
    {"role": "user", "content": [{"type": "text", "text": "hi", "cache_control": MARK},
                                 {"type": "tool_result", "tool_use_id": "t", "content": [
                                     {"type": "text", "text": "x", "cache_control": MARK}]}]},
    {"a": [1, (2.0, [True, None]), (), []], "b": b"\x00", "c": {}, "d": -(10 ** 30)},
    {1: "one", 1.5: 2, None: 0, True: (), (1, "cache_control"): "t", "cache_control": 1},
    [], (), {}, "", "text", 0, 1.0, float("nan"), False, None, b""])
def test_native_leaves_are_the_python_leaves(message):
    expected = []
    _reading._walk(message, expected)
    walked = native.leaves(message)
    assert (walked, list(map(type, walked))) == (expected, list(map(type, expected)))


@settings(max_examples=400, deadline=None)
@given(VALUES)
def test_native_leaves_match_on_random_values(value):
    test_native_leaves_are_the_python_leaves(value)


@settings(max_examples=300, deadline=None)
@given(VALUES, VALUES, st.booleans())
def test_an_image_passes_no_message_whose_leaves_changed(first, second, nested):
    message = {"role": "user", "content": [first] if nested else first}
    objects, read, images = [message], [_reading.leaves(message)], native.Images()
    for _ in range(2):  # the first makes the image the second is checked by
        assert native.unlike([message], objects, read, images, [0]) in ([], [0])
    if nested:
        message["content"][0] = second
    else:
        message["content"] = second
    passed = native.unlike([message], objects, read, images, [0]) == []
    assert not passed or _reading.leaves(message) == read[0]


@pytest.mark.parametrize("message", [
    type("D", (dict,), {})(role="user"), {"role": type("S", (str,), {})("user")},
    [types.SimpleNamespace(text="x")], {b"key": 1}, {frozenset(): 1}, {"a": [{2}]}, DEEP])
def test_anything_else_is_left_to_python(message):
    assert native.leaves(message) is None


@pytest.mark.parametrize("use_native", [True, False])
@pytest.mark.parametrize("edits, among, expected", [
    ((), None, (None, False)), ((2,), None, (None, True)), ((2, 4), None, (4, True)),
    ((2, 4), [4], (4, False)), ((2,), [2, 5], (None, True)), ((-4,), None, (4, False)),
    ((-4,), [1, 3], (None, False)), ((2, 4), (5, 4), (4, False)),
    ((-4, 2), range(1, 6), (4, True)), ((2, 4), [(0, 3), 5], (None, True)),
    ((-4, 2), [(0, 2), (3, 9)], (4, False))])
def test_first_edit(edits, among, expected, use_native, monkeypatch):
    """A copy at 2 is swapped in; another message at 4, or the same one changed (-4), is an
    edit, where it is `among` the messages checked (default: all)."""
    monkeypatch.setattr(_reading, "_native", native if use_native else None)
    history = [{"role": "user", "content": f"turn {i}"} for i in range(6)]
    reading = _reading.read(history, Options(), fingerprints=True)
    for index in edits:
        if index < 0:
            history[-index]["content"] = "edited"
        else:
            history[index] = copy.deepcopy(history[index]) if index == 2 else {"role": "user"}
    if isinstance(among, range):  # read once only, over a history the native check declines
        among, history = iter(among), UserList(history)
    assert (reading.first_edit(history, among), reading.swapped) == expected


@settings(max_examples=400, deadline=None)
@given(VALUES, VALUES)
def test_same_leaves_is_leaves_compared(first, second):
    known = _reading.leaves(second)
    for message in (first, second):
        walkable = native.leaves(message) is not None
        assert native.same_leaves(message, known) == (
            _reading.leaves(message) == known if walkable else None)


@pytest.mark.parametrize("message, read", [
    ({1: "a"}, {1.0: "a"}), ({True: "a"}, {1: "a"}), ({"a": 1}, {"a": True}),
    ({"a": [1]}, {"a": (1,)}), ({1: []}, {1: {}}), ({"a": b"x"}, {"a": "x"}),
    *(2 * [m] for m in ({(1, "cache_control"): "t"}, {"role": type("S", (str,), {})("user")},
                        [types.SimpleNamespace(text="x")], type("D", (dict,), {})(a=1)))])
def test_same_leaves_compares_as_python_compares_or_declines(message, read):
    """As `==` compares the lists; what it cannot compare without Python code is declined
    (the cases of a message read as itself)."""
    known = _reading.leaves(read)
    assert native.same_leaves(message, known) == (
        None if message is read else _reading.leaves(message) == known)
    assert native.same_leaves(message, tuple(known)) is None


SCRIPTS = st.lists(st.tuples(st.integers(1, 400), st.lists(st.lists(
    st.integers(1, 900), min_size=1, max_size=3), max_size=3), st.booleans()), max_size=10)


@settings(max_examples=60, deadline=None)
@given(SCRIPTS, st.sampled_from(["openai", "anthropic"]), st.integers(200, 3000))
def test_trials_drop_what_the_python_code_drops(script, provider, budget):
    """The same prompts natively, in Python, and with every trial planned afresh (a plan
    kept for a repeated trial must be the plan that trial makes)."""
    h = history(provider, [(30, [[40]], True), *script], 1)
    prompts = []
    original = _plan._Trials.plan

    def afresh(self, *args, **kwargs):
        self._tried.clear()
        return original(self, *args, **kwargs)

    for use, plan in ((native, original), (None, original), (native, afresh)):
        saved, _plan._native, _plan._Trials.plan = _plan._native, use, plan
        try:
            conversation = qc.Conversation(max_tokens=budget)
            prompts.append([(conversation.prompt(h[:end]).messages,
                             qc.trim(h[:end], max_tokens=budget).messages)
                            for end in range(2, len(h) + 1) if h[end - 1]["role"] != "assistant"])
        finally:
            _plan._native, _plan._Trials.plan = saved, original
    assert prompts[0] == prompts[1] == prompts[2]


@pytest.mark.parametrize("args", [
    ([1], [True], [True], [True], [True], [0], [0], 1, 1),  # an int for a bool
    ([True], [True], [True], [True], [True], [1], [0], 1, 1),  # a unit out of range
    ([True], [True], [True], [True], [True], [0], [0.0], 1, 1),
    ([True], [True], [True], [True], [], [0], [0], 1, 1), ((True,), *[[True]] * 4, [0], [0], 1, 1)])
def test_units_gone_declines_what_it_cannot_read_exactly(args):
    assert native.units_gone(*args) is None


@settings(max_examples=200, deadline=None)
@given(st.lists(st.sampled_from([0, 1, 2, 3, 4, 5, 8, 16, 32, 64, 2**31]), max_size=400),
       st.sampled_from([0.5, 6.0, 40.0, math.inf, 1e-3]), st.floats(0, 2, width=32),
       st.integers(0, 8))
def test_the_kernels_survivors_natively_are_dehydrates(classes, half_life, threshold, prefix):
    import quorvex_micro
    marked = bytes(index % 3 == 0 for index in range(len(classes)))
    alive = native.alive_at(classes, half_life, threshold, prefix, marked)
    blocks = [(str(index), flags) for index, flags in enumerate(classes)]
    expected = set(map(int, quorvex_micro.dehydrate(blocks, half_life, threshold,
                                                    prefix)["kept"]))
    if half_life == 1e-3:  # no single-precision float: left to the kernel's own binding
        assert alive is None
    else:
        assert alive == bytes(index in expected or index % 3 == 0
                              for index in range(len(classes)))
        assert native.alive_at(packed(classes), half_life, threshold, prefix, marked) == alive


def test_trial_fates_and_dropped_stretches_natively_or_declined():
    gone, alive, kind = [False, True, False, False], [True, False, False, False], [False] * 4
    assert native.fates(gone, alive, kind, [3, 4, 5, 2**40]) == (
        bytearray([1, 0, 1, 1]), bytes([1, 0, 0, 0]), 3, [2, 3]) == _plan._fates(
        gone, alive, kind, [3, 4, 5, 2**40], [])
    for args in (([1], [True], [True], [1]), ([True], [True], [True], [-1]),
                 ([True], [True], [True], [2**40 + 1]), ([True], [True], [True], [])):
        assert native.fates(*args) is None
    numbers = [0, 1, 2**70, "3", 4]  # an index that is not its int is made anew
    dropped = [True, False, True, True, False]
    assert native.dropped_between(dropped, [-1, 1, 5], numbers) == [(0,), (2, 3)] == \
        native.dropped_between(bytes(dropped), [-1, 1, 5], numbers)
    assert native.dropped_between([True, False], [-1], numbers) == []
    for args in (([True], [0, -1]), ([True], [-2]), ([True], [2]), ([0], [-1, 1]),
                 (b"\x02", [-1, 1]), ([True], (-1,)), ([True, True], [-1, 2], [0])):
        assert native.dropped_between(*args[:2], *args[2:] or [numbers]) is None


def test_trial_helpers_read_packed_bytes_as_the_lists_they_pack():
    staying, asking = [True, False, False, True], [False] * 4
    flags, units = ([True] * 4, [True, True, False, True], [False, True, False, False]), \
        ([0, 0, 1, -1], [0, 1, 1, -1])
    gone = native.units_gone(staying, asking, *flags, *units, 2, 2)
    assert gone == b"\x00\x01\x00\x00" == native.units_gone(
        bytes(staying), bytes(asking), *map(bytes, flags), *map(packed, units), 2, 2)
    for bad in ((bytes([2, 0, 0, 0]), bytes(asking), *flags, *units),
                (staying, b"\x00" * 3, *flags, *units),
                (staying, asking, *flags, packed([0, 0, 1]), units[1]),
                (staying, asking, *flags, packed([0, 0, 2, -1]), units[1]),
                (staying, asking, *flags, units[0], packed([0, 1, 1, -2]))):
        assert native.units_gone(*bad, 2, 2) is None
    alive, kind = bytes([1, 0, 0, 0]), bytes(4)
    assert native.fates(gone, alive, kind, packed([3, 4, 5, 2**40])) == native.fates(
        [False, True, False, False], [True, False, False, False], [False] * 4,
        [3, 4, 5, 2**40]) == (bytearray([1, 0, 1, 1]), bytes([1, 0, 0, 0]), 3, [2, 3])
    for sizes in (packed([3, 4, 5, 2**40 + 1]), packed([3, 4, 5, -1]), packed([3, 4, 5])):
        assert native.fates(gone, alive, kind, sizes) is None
    for args in (([1, 2], 6.0, 0.5, 0, b"\x00"), ([2**32, 2], 6.0, 0.5, 0, b"\x00\x00"),
                 ([1, 2], 6.0, 0.5, -1, b"\x00\x00"), (packed([1]), 6.0, 0.5, 0, b"\x00\x00")):
        assert native.alive_at(*args) is None


@pytest.mark.parametrize("starts, stops, size, numbers", [
    ([0, 3], [2, 4], 5, [0, 0, -1, 1, -1]), ([], [], 2, [-1, -1]), ([1, 1], [1, 3], 3, [-1, 1, 1]),
    ([0, 1], [2, 3], 3, None), ([0], [4], 3, None), ([0], [], 2, None), ((), [], 0, None),
    ([0], [1.0], 2, None), ([0], [1], -1, None), ([2], [1], 3, None), ([], [], 2**62, None)])
def test_unit_numbers_pack_what_a_layout_found_or_decline(starts, stops, size, numbers):
    found = native.unit_numbers(starts, stops, size)
    assert found == (None if numbers is None else packed(numbers))
    if numbers is not None:
        assert _plan._numbered(starts, stops, size) == found == _plan._packed([next(
            (k for k, (a, b) in enumerate(zip(starts, stops)) if a <= i < b), -1)
            for i in range(size)])


@settings(max_examples=300, deadline=None)
@given(st.lists(st.integers(1, 4), max_size=30), st.data())
def test_free_units_are_those_no_holding_message_falls_in(lengths, data):
    stops = [sum(lengths[:k + 1]) for k in range(len(lengths))]
    starts = [0, *stops[:-1]][:len(stops)]
    n = stops[-1] if stops else 0
    tail = data.draw(st.integers(0, n))
    holding = bytearray(data.draw(st.lists(st.booleans(), min_size=tail, max_size=tail)))
    holding += b"\x01" * (n - tail)
    free = _plan._free(starts, stops, _plan._ones(holding, tail), tail)
    assert list(free) == [not any(holding[a:b]) for a, b in zip(starts, stops)]


@settings(max_examples=60, deadline=None)
@given(SCRIPTS, st.sampled_from(["openai", "anthropic"]), st.integers(0, 3))
def test_rounds_found_a_message_at_a_time_are_those_found_at_once(script, provider, prefix):
    h = history(provider, [(30, [[40]], True), *script], 1)
    reading = _reading.Reading(Options(provider=provider))
    for end in range(1, len(h) + 1):
        reading.extend(h[:end])
        fresh = reading.shape.rounds(reading.views, prefix, reading.callers())
        assert reading.rounds(prefix) == fresh


def test_unlike_names_what_python_must_check_or_declines():
    history = [{"role": "user", "content": f"turn {i}"} for i in range(4)]
    objects, read = list(history), [_reading.leaves(m) for m in history]
    images = native.Images()
    history[1] = dict(history[1])  # an equal copy
    history[2]["content"] = "edited"  # changed in place
    for _ in range(2):  # the second time by the images the first made
        assert native.unlike(history, objects, read, images, [0, 1, 2, 3, 9]) == [1, 2]
        assert native.unlike(tuple(history), objects, read, images, [3, 2]) == [2]
        assert native.unlike(history, objects, read, images, [(0, 2), (2, 99), (5, 1)]) == [1, 2]
        assert [index in images for index in range(5)] == [True, False, False, True, False]
    # an image is of the object read: a copy holding the same strings is another object
    assert native.unlike([dict(history[0])] + history[1:], objects, read, images, [0]) == [0]
    for args in ((history[:3], objects, read, images, [0]),
                 (history, objects, read[:3], images, [0]),
                 (history, objects, read, [None] * 4, [0]),
                 (history, objects, read, images, [-1]), (history, objects, read, images, [True]),
                 (history, objects, read, images, (0,)), (history, objects, read, images, [(0,)]),
                 (history, objects, read, images, [(-1, 2)]),
                 (history, objects, read, images, [(0, 2.0)]),
                 (iter(history), objects, read, images, [0])):
        assert native.unlike(*args) is None


def test_images_set_anew_many_times_still_stand_for_their_messages():
    """Images forgotten and made again leave words behind, packed away now and then."""
    history = [{"role": "user", "content": f"turn {i}"} for i in range(3000)]
    objects, read = list(history), [_reading.leaves(m) for m in history]
    images = native.Images()
    for round_ in range(8):
        for index in range(round_ % 2, 3000, 2):
            images.forget(index)
        assert native.unlike(history, objects, read, images, [(0, 3000)]) == []
        assert all(index in images for index in range(0, 3000, 97))
    history[1234]["content"] = "edited"
    assert native.unlike(history, objects, read, images, [(0, 3000)]) == [1234]


@pytest.mark.parametrize("change, same", [
    (lambda m: m.update(content="x"), False),
    (lambda m: m.update(content="".join(["turn", " 0"])), True),  # equal, not the one read
    (lambda m: m["tool_calls"].append({}), False),
    (lambda m: m["tool_calls"][0].update(id="d"), False),
    (lambda m: m["tool_calls"][0]["function"].update(arguments="{}"), False),
    (lambda m: m.update(cache_control={"type": "ephemeral"}), False),  # Python decides
    (lambda m: m.pop("role"), False),
    (lambda m: m.update(tool_calls=tuple(m["tool_calls"])), False),
    (lambda m: m.update(n=7), False),
])
def test_a_message_changed_in_place_no_longer_walks_as_its_image(change, same):
    message = {"role": "assistant", "content": "turn 0", "tool_calls": [
        {"id": "c", "type": "function", "function": {"name": "f", "arguments": "{\"a\": 1}"}}]}
    objects, read, images = [message], [_reading.leaves(message)], native.Images()
    assert native.unlike([message], objects, read, images, [0]) == []
    assert 0 in images
    change(message)
    assert (_reading.leaves(message) == read[0]) == same
    for _ in range(2):  # an equal text is compared, never imaged in place of the one read
        assert native.unlike([message], objects, read, images, [0]) == ([] if same else [0])
