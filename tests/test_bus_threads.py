"""HormonalBus under Python threads: no lost update, no lost or repeated event.
Producers make a fixed number of deposits; readers run alongside them."""

from support.floats import f32
from support.threads import Done, alongside, run_threads
from quorvex_micro import HormonalBus, HormonalSignal


def test_concurrent_deposits_lose_no_update():
    producers, deposits = 4, 50_000
    bus = HormonalBus(8, 64)
    done = Done(producers)

    def produce():
        secrete = bus.secrete
        for _ in range(deposits):
            secrete(1, 1.0)
        done.finish()

    def sense():
        # One channel only gains 1.0s and is multiplied by 1.0: a reader must
        # never see it go down.
        last = 0.0
        for _ in alongside(done, 1):
            value = bus.sense(1)
            assert value >= last
            assert bus.concentration(0) >= value
            last = value

    def tick():
        for _ in alongside(done, 1):
            bus.tick(1.0)
            bus.snapshot()
            bus.stats()

    run_threads([produce] * producers + [sense, tick])
    total = float(producers * deposits)
    assert bus.concentration(0) == total
    assert bus.sense(0xFF) == total
    stats = bus.stats()
    assert stats["secretions"] == total
    assert stats["total_concentration"] == total
    assert bus.snapshot()[1:] == [0.0] * 7


def test_producers_and_consumers_share_the_buffer():
    producers, consumers, deposits = 3, 2, 20_000
    bus = HormonalBus(32, 1024)
    drained = [[] for _ in range(consumers)]
    done = Done(producers)

    def producer(pid):
        def body():
            for seq in range(deposits):
                if seq % 2:
                    bus.secrete(1 << pid, float(seq))
                else:
                    bus.inject(HormonalSignal(1 << pid, float(seq)))
            done.finish()
        return body

    def consumer(cid):
        def body():
            out = drained[cid]
            for _ in alongside(done, 1):
                out.extend(bus.drain_events(64))
            out.extend(bus.drain_events(2**64 - 1))
        return body

    run_threads([producer(p) for p in range(producers)] +
                [consumer(c) for c in range(consumers)])
    leftover = bus.drain_events(2**64 - 1)

    seen = set()
    for events in drained + [leftover]:
        last = {}
        for flags, intensity in events:
            pid = flags.bit_length() - 1
            assert flags == 1 << pid and 0 <= pid < producers
            seq = int(intensity)
            assert intensity == seq and 0 <= seq < deposits
            assert (pid, seq) not in seen, "an event was drained twice"
            seen.add((pid, seq))
            # One consumer takes events in buffer order: each producer's in its own.
            assert seq > last.get(pid, -1)
            last[pid] = seq

    assert bus.stats()["secretions"] == float(producers * deposits)
    # Each channel has one producer, so its float sum has one order.
    for pid in range(producers):
        expected = 0.0
        for seq in range(deposits):
            expected = f32(expected + seq)
        assert bus.concentration(pid) == expected
    # The buffer was drained empty at the end and takes events again.
    bus.secrete(1, 7.0)
    assert bus.drain_events(5) == [(1, 7.0)]
