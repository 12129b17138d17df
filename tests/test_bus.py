"""HormonalBus: channels, deposits, decay, readers, the event buffer and the surface."""

import collections
import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support.call_errors import expected_note, note_of
from support.floats import f32
from quorvex_micro import HormonalBus, HormonalSignal


def bits(x):
    return "nan" if math.isnan(x) else struct.pack("<d", x)


def same(a, b):
    return [bits(x) for x in a] == [bits(x) for x in b]


def sign(x):
    return math.copysign(1.0, x)


# --- construction ----------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "channels"),
    [((), 32), ((0,), 1), ((1,), 1), ((4,), 4), ((31,), 31), ((32,), 32), ((100,), 32),
     ((2**64 - 1,), 32), ((True,), 1)],
)
def test_channel_count_is_clamped(args, channels):
    bus = HormonalBus(*args)
    assert bus.stats()["num_signals"] == float(channels)
    assert bus.snapshot() == [0.0] * channels


def test_fresh_bus():
    bus = HormonalBus()
    assert bus.stats() == {"num_signals": 32.0, "secretions": 0.0, "total_concentration": 0.0}
    assert bus.drain_events(10) == []
    assert bus.sense(0xFFFFFFFF) == 0.0


def test_stats_keys_come_in_a_fixed_order():
    bus = HormonalBus(3)
    bus.secrete(7, 0.5)
    stats = bus.stats()
    assert list(stats) == ["num_signals", "secretions", "total_concentration"]
    assert all(type(v) is float for v in stats.values())


def test_capacity_overflow_is_a_panic():
    with pytest.raises(BaseException) as info:
        HormonalBus(event_capacity=2**59)
    panic = info.value
    assert type(panic).__name__ == "PanicException"
    assert str(panic) == "capacity overflow"
    assert not isinstance(panic, Exception)
    assert type(panic).__bases__ == (BaseException,)
    with pytest.raises(type(panic), match="^capacity overflow$"):
        HormonalBus(4, 2**64 - 1)


@pytest.mark.parametrize("capacity", [2**58, 2**59 - 1])
def test_unsatisfiable_event_buffer_is_a_memory_error(capacity):
    with pytest.raises(MemoryError):
        HormonalBus(1, capacity)


@pytest.mark.parametrize(
    ("args", "kwargs", "exc_type", "note"),
    [
        ((-1,), {}, OverflowError, "num_signals"),
        ((1.5,), {}, TypeError, "num_signals"),
        ((None,), {}, TypeError, "num_signals"),
        ((2**64,), {}, OverflowError, "num_signals"),
        ((4, -1), {}, OverflowError, "event_capacity"),
        ((), {"event_capacity": "8"}, TypeError, "event_capacity"),
    ],
)
def test_constructor_conversion_errors(args, kwargs, exc_type, note):
    with pytest.raises(exc_type) as info:
        HormonalBus(*args, **kwargs)
    assert note_of(info) == expected_note(note)


# --- binding messages ------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda b: b.inject(),
         "HormonalBus.inject() missing 1 required positional argument: 'signal'"),
        (lambda b: b.secrete(),
         "HormonalBus.secrete() missing 2 required positional arguments: 'flags' and 'intensity'"),
        (lambda b: b.secrete(intensity=1.0),
         "HormonalBus.secrete() missing 1 required positional argument: 'flags'"),
        (lambda b: HormonalBus(1, 2, 3),
         "HormonalBus.__new__() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda b: HormonalBus(size=3),
         "HormonalBus.__new__() got an unexpected keyword argument 'size'"),
        (lambda b: HormonalBus(4, num_signals=4),
         "HormonalBus.__new__() got multiple values for argument 'num_signals'"),
        (lambda b: b.tick(1, 2), "HormonalBus.tick() takes 1 positional arguments but 2 were given"),
        (lambda b: b.tick(), "HormonalBus.tick() missing 1 required positional argument: 'decay'"),
        (lambda b: b.sense(), "HormonalBus.sense() missing 1 required positional argument: 'mask'"),
        (lambda b: b.sense(1, 2), "HormonalBus.sense() takes 1 positional arguments but 2 were given"),
        (lambda b: b.concentration(),
         "HormonalBus.concentration() missing 1 required positional argument: 'signal_bit'"),
        (lambda b: b.drain_events(),
         "HormonalBus.drain_events() missing 1 required positional argument: 'max'"),
        (lambda b: b.drain_events(1, max=1),
         "HormonalBus.drain_events() got multiple values for argument 'max'"),
        (lambda b: b.secrete(1, 2.0, 3),
         "HormonalBus.secrete() takes 2 positional arguments but 3 were given"),
        (lambda b: b.inject(HormonalSignal(1), strength=2),
         "HormonalBus.inject() got an unexpected keyword argument 'strength'"),
    ],
)
def test_binding_errors(call, message):
    bus = HormonalBus(4)
    with pytest.raises(TypeError) as info:
        call(bus)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) is None
    assert bus.stats()["secretions"] == 0.0


@pytest.mark.parametrize("method", ["snapshot", "stats"])
def test_methods_without_parameters_refuse_arguments(method):
    with pytest.raises(TypeError):
        getattr(HormonalBus(), method)(1)


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (5, "'int' object is not an instance of 'HormonalSignal'"),
        (None, "'None' is not an instance of 'HormonalSignal'"),
        ((1, 1.0), "'tuple' object is not an instance of 'HormonalSignal'"),
        (HormonalBus(1), "'HormonalBus' object is not an instance of 'HormonalSignal'"),
    ],
)
def test_inject_refuses_non_signals(value, message):
    bus = HormonalBus(4)
    with pytest.raises(TypeError) as info:
        bus.inject(value)
    assert str(info.value) == message
    assert note_of(info) == expected_note("signal")
    assert bus.stats()["secretions"] == 0.0


@pytest.mark.parametrize(
    ("call", "exc_type", "note"),
    [
        (lambda b: b.secrete(2**32, 1.0), OverflowError, "flags"),
        (lambda b: b.secrete(-1, 1.0), OverflowError, "flags"),
        (lambda b: b.secrete(1.5, 1.0), TypeError, "flags"),
        (lambda b: b.secrete(1, None), TypeError, "intensity"),
        (lambda b: b.secrete(flags=1, intensity="x"), TypeError, "intensity"),
        (lambda b: b.sense(2**32), OverflowError, "mask"),
        (lambda b: b.sense(None), TypeError, "mask"),
        (lambda b: b.concentration(-1), OverflowError, "signal_bit"),
        (lambda b: b.concentration(0.0), TypeError, "signal_bit"),
        (lambda b: b.tick(None), TypeError, "decay"),
        (lambda b: b.tick("0.5"), TypeError, "decay"),
        (lambda b: b.drain_events(-1), OverflowError, "max"),
        (lambda b: b.drain_events(1.5), TypeError, "max"),
        (lambda b: b.drain_events(2**64), OverflowError, "max"),
    ],
)
def test_conversion_errors_touch_nothing(call, exc_type, note):
    bus = HormonalBus(4, 8)
    bus.secrete(1, 2.0)
    with pytest.raises(exc_type) as info:
        call(bus)
    assert note_of(info) == expected_note(note)
    assert bus.snapshot() == [2.0, 0.0, 0.0, 0.0]
    assert bus.stats()["secretions"] == 1.0
    assert bus.drain_events(10) == [(1, 2.0)]


# --- deposits ----------------------------------------------------------------------


def test_ten_tenths_add_in_single_precision():
    bus = HormonalBus()
    signal = HormonalSignal(1, 0.1)
    for _ in range(10):
        bus.inject(signal)
    assert bus.concentration(0) == 1.0000001192092896
    assert bus.sense(1) == 1.0000001192092896
    assert bus.stats()["secretions"] == 10.0
    # The signal is only read.
    assert (signal.flags, signal.intensity) == (1, 0.10000000149011612)

    other = HormonalBus()
    for _ in range(10):
        other.secrete(1, 0.1)
    assert other.concentration(0) == 1.0000001192092896


def test_bits_outside_the_channel_mask_only_travel_in_the_event():
    bus = HormonalBus(4)
    bus.secrete(48, 1.0)
    assert bus.snapshot() == [0.0] * 4
    assert bus.stats() == {"num_signals": 4.0, "secretions": 1.0, "total_concentration": 0.0}
    assert bus.drain_events(10) == [(48, 1.0)]

    bus.secrete(0xFFFFFFFF, 1.5)
    assert bus.snapshot() == [1.5] * 4
    assert bus.drain_events(10) == [(4294967295, 1.5)]


def test_flags_zero_only_counts_and_buffers():
    bus = HormonalBus(32)
    bus.secrete(0, 9.0)
    assert bus.snapshot() == [0.0] * 32
    assert bus.stats()["secretions"] == 1.0
    assert bus.drain_events(10) == [(0, 9.0)]


def test_channel_31_on_a_full_bus():
    bus = HormonalBus(32)
    bus.secrete(1 << 31, 2.5)
    assert bus.concentration(31) == 2.5
    assert bus.sense(0x80000000) == 2.5
    assert bus.snapshot()[31] == 2.5


def test_one_signal_into_many_buses():
    signal = HormonalSignal(0b101, 0.75)
    buses = [HormonalBus(3), HormonalBus(1)]
    for bus in buses:
        bus.inject(signal)
        bus.inject(signal)
    assert buses[0].snapshot() == [1.5, 0.0, 1.5]
    assert buses[1].snapshot() == [1.5]
    assert buses[1].drain_events(5) == [(5, 0.75), (5, 0.75)]


def test_negative_intensities_go_below_zero():
    bus = HormonalBus(2)
    bus.secrete(3, 1.0)
    bus.secrete(1, -3.0)
    assert bus.snapshot() == [-2.0, 1.0]
    assert bus.sense(3) == -1.0


# --- readers ------------------------------------------------------------------------


def test_sense_reads_by_mask_in_single_precision():
    bus = HormonalBus(4)
    bus.secrete(1, 0.1)
    bus.secrete(2, 0.2)
    assert bus.sense(0) == 0.0
    assert bus.sense(0xFFFFFFF0) == 0.0
    assert bus.sense(3) == 0.30000001192092896
    assert bus.sense(0xFFFFFFFF) == 0.30000001192092896


def test_concentration_takes_a_bit_position():
    bus = HormonalBus()
    bus.secrete(4, 0.5)
    assert bus.concentration(2) == 0.5
    assert bus.concentration(4) == 0.0
    assert bus.concentration(32) == 0.0
    assert bus.concentration(2**64 - 1) == 0.0
    assert HormonalBus(2).concentration(3) == 0.0


def test_sense_and_total_start_from_opposite_zeros():
    bus = HormonalBus(1)
    bus.secrete(1, -1.0)
    bus.tick(0)
    assert sign(bus.concentration(0)) == -1.0
    assert sign(bus.stats()["total_concentration"]) == -1.0
    assert sign(bus.sense(1)) == 1.0


# --- decay ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("decay", "expected"),
    [
        (0.5, [1.0, -0.25, 0.0]),
        (1.0, [2.0, -0.5, 0.0]),
        (2.0, [4.0, -1.0, 0.0]),
        (-1.0, [-2.0, 0.5, -0.0]),
        (0.1, [f32(2.0 * f32(0.1)), f32(-0.5 * f32(0.1)), 0.0]),
    ],
)
def test_tick_multiplies_every_channel(decay, expected):
    bus = HormonalBus(3)
    bus.secrete(1, 2.0)
    bus.secrete(2, -0.5)
    bus.tick(decay)
    assert same(bus.snapshot(), expected)


def test_tick_zero_keeps_the_signs():
    bus = HormonalBus(3)
    bus.secrete(1, 5.0)
    bus.secrete(2, -5.0)
    bus.tick(0)
    assert [sign(v) for v in bus.snapshot()] == [1.0, -1.0, 1.0]
    assert bus.snapshot() == [0.0, 0.0, 0.0]


def test_infinity_times_zero_is_nan():
    bus = HormonalBus(2)
    bus.secrete(1, float("inf"))
    assert bus.concentration(0) == math.inf
    bus.tick(0.0)
    assert math.isnan(bus.concentration(0))
    assert bus.concentration(1) == 0.0
    # A NaN channel still updates (its bits are compared, not its value).
    bus.secrete(1, 1.0)
    assert math.isnan(bus.sense(1))
    assert math.isnan(bus.stats()["total_concentration"])


def test_large_values_overflow_to_infinity():
    bus = HormonalBus(1)
    bus.secrete(1, 3e38)
    bus.secrete(1, 3e38)
    assert bus.concentration(0) == math.inf
    bus.tick(1e-300)  # narrowed to +0.0
    assert math.isnan(bus.concentration(0))


# --- against a model -------------------------------------------------------------------

intensities = st.floats(width=32, allow_nan=False)
operations = st.lists(
    st.one_of(
        st.tuples(st.just("deposit"), st.integers(0, 2**32 - 1), intensities, st.booleans()),
        st.tuples(st.just("tick"), st.floats(width=32, allow_nan=False)),
    ),
    max_size=30,
)


@settings(max_examples=150, deadline=None)
@given(st.integers(0, 40), operations, st.lists(st.integers(0, 2**32 - 1), max_size=5))
def test_matches_a_single_precision_model(num_signals, ops, masks):
    count = min(max(num_signals, 1), 32)
    bus = HormonalBus(num_signals, 1000)
    model = [0.0] * count
    events = []
    for op in ops:
        if op[0] == "deposit":
            _, flags, intensity, typed = op
            if typed:
                bus.inject(HormonalSignal(flags, intensity))
            else:
                bus.secrete(flags, intensity)
            for i in range(count):
                if flags >> i & 1:
                    model[i] = f32(model[i] + intensity)
            events.append((flags, intensity))
        else:
            bus.tick(op[1])
            model = [f32(v * op[1]) for v in model]
    assert same(bus.snapshot(), model)
    assert same([bus.concentration(i) for i in range(count)], model)
    total = -0.0
    for v in model:
        total = f32(total + v)
    stats = bus.stats()
    assert same([stats["total_concentration"]], [total])
    assert stats["secretions"] == float(len(events))
    for mask in masks:
        expected = 0.0
        for i in range(count):
            if mask >> i & 1:
                expected = f32(expected + model[i])
        assert same([bus.sense(mask)], [expected])
    drained = bus.drain_events(2**64 - 1)
    assert [f for f, _ in drained] == [f for f, _ in events]
    assert same([x for _, x in drained], [x for _, x in events])


# --- event buffer ------------------------------------------------------------------------


def test_full_buffer_keeps_the_oldest_events():
    bus = HormonalBus(4, 2)
    for intensity in (1.0, 2.0, 3.0):
        bus.secrete(1, intensity)
    assert bus.drain_events(10) == [(1, 1.0), (1, 2.0)]
    assert bus.concentration(0) == 6.0
    assert bus.stats()["secretions"] == 3.0
    assert bus.drain_events(10) == []


@pytest.mark.parametrize("capacity", [0, 1, 2, 3, 5, 7, 8, 9, 100, 4096])
def test_buffer_holds_exactly_its_capacity(capacity):
    room = max(capacity, 1)
    bus = HormonalBus(1, capacity)
    for lap in range(3):  # several laps round a ring that may be rounded up
        for i in range(room + 3):
            bus.secrete(lap, float(i))
        assert bus.drain_events(2**64 - 1) == [(lap, float(i)) for i in range(room)]


def test_drain_takes_oldest_first_and_at_most_max():
    bus = HormonalBus(4, 16)
    bus.secrete(1, 1.0)
    bus.secrete(2, 2.0)
    assert bus.drain_events(0) == []
    assert bus.drain_events(1) == [(1, 1.0)]
    assert bus.drain_events(1) == [(2, 2.0)]
    assert bus.drain_events(1) == []
    bus.secrete(3, 0.1)
    assert bus.drain_events(2**64 - 1) == [(3, 0.10000000149011612)]


def test_drain_zero_leaves_the_buffer_unchanged():
    bus = HormonalBus(4, 2)
    bus.secrete(1, 1.0)
    bus.secrete(1, 2.0)
    assert bus.drain_events(0) == []
    bus.secrete(1, 3.0)  # still full: refused
    assert bus.drain_events(True) == [(1, 1.0)]
    bus.secrete(1, 4.0)
    assert bus.drain_events(10) == [(1, 2.0), (1, 4.0)]


def test_drained_items_are_int_float_tuples():
    bus = HormonalBus(4)
    bus.inject(HormonalSignal(0xFFFFFFFF, -0.0))
    ((flags, intensity),) = events = bus.drain_events(10)
    assert type(events) is list and type(events[0]) is tuple
    assert type(flags) is int and type(intensity) is float
    assert flags == 4294967295
    assert sign(intensity) == -1.0


@settings(max_examples=150, deadline=None)
@given(
    st.integers(0, 12),
    st.lists(st.one_of(st.integers(0, 2**32 - 1), st.tuples(st.integers(0, 15))), max_size=60),
)
def test_buffer_matches_a_bounded_fifo(capacity, ops):
    """Ints are deposits (flags), 1-tuples are drains of that many events."""
    bus = HormonalBus(32, capacity)
    model = collections.deque()
    for op in ops:
        if isinstance(op, int):
            bus.secrete(op, 1.0)
            if len(model) < max(capacity, 1):
                model.append((op, 1.0))
        else:
            want = [model.popleft() for _ in range(min(op[0], len(model)))]
            assert bus.drain_events(op[0]) == want
    assert bus.drain_events(100) == list(model)


# --- surface -----------------------------------------------------------------------------

def test_equality_is_identity():
    a, b = HormonalBus(), HormonalBus()
    assert a != b
    assert a == a
