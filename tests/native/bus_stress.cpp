// Stress test of the bus core under ThreadSanitizer: many producers and consumers
// on the event ring, and concurrent deposits, decays and reads on the channels.
//
// Build and run (from the repository root):
//   cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_MODULE=OFF -DQM_BUILD_NATIVE_TESTS=ON -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread && cmake --build build/tsan --target bus_stress && build/tsan/tests/native/bus_stress
//
// It prints one line per check and exits non-zero when a check fails;
// ThreadSanitizer exits with 66 when it has reported a race.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "bus/event_ring.h"
#include "bus/hormonal_bus.h"

namespace {

using qm::EventRing;
using qm::HormonalBus;
using qm::HormonalSignal;

int failures = 0;
int passes = 0;

void expect(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    ++(ok ? passes : failures);
}

/// Runs `count` copies of `body(index)` on their own threads and joins them.
template <class F>
void run(int count, F body, std::vector<std::thread>& threads) {
    for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
}

/// Producer id in the flags, sequence number in the intensity (exact below 2^24).
HormonalSignal event(int producer, uint32_t seq) {
    return HormonalSignal{static_cast<uint32_t>(producer), static_cast<float>(seq)};
}

/// What one consumer took: per producer, the sequence numbers in taking order.
struct Taken {
    std::vector<std::vector<uint32_t>> by_producer;
    uint64_t sum = 0;
    bool malformed = false;
};

/// Every sequence number of every producer exactly once, each consumer seeing
/// each producer's events in increasing order.
bool check_taken(const std::vector<Taken>& taken, int producers, uint32_t per_producer,
                 bool expect_all) {
    std::vector<std::vector<uint8_t>> seen(producers, std::vector<uint8_t>(per_producer, 0));
    for (const Taken& t : taken) {
        if (t.malformed) return false;
        for (int p = 0; p < producers; ++p) {
            const std::vector<uint32_t>& seqs = t.by_producer[p];
            for (size_t i = 0; i < seqs.size(); ++i) {
                if (i > 0 && seqs[i] <= seqs[i - 1]) return false;
                if (seen[p][seqs[i]]++ != 0) return false;
            }
        }
    }
    if (!expect_all) return true;
    for (const auto& row : seen) {
        for (uint8_t n : row) {
            if (n != 1) return false;
        }
    }
    return true;
}

void take_into(Taken& t, const HormonalSignal& e, int producers, uint32_t per_producer) {
    const uint32_t seq = static_cast<uint32_t>(e.intensity);
    if (e.flags >= static_cast<uint32_t>(producers) || seq >= per_producer ||
        static_cast<float>(seq) != e.intensity) {
        t.malformed = true;
        return;
    }
    t.by_producer[e.flags].push_back(seq);
    t.sum += seq;
}

/// Producers retry until every event is in; consumers take until all are out.
void ring_every_event_once(uint64_t capacity) {
    constexpr int kProducers = 4;
    constexpr int kConsumers = 3;
    constexpr uint32_t kPerProducer = 100000;
    EventRing<HormonalSignal> ring(capacity);
    std::atomic<uint64_t> taken_count{0};
    constexpr uint64_t kTotal = uint64_t{kProducers} * kPerProducer;
    std::vector<Taken> taken(kConsumers);
    for (Taken& t : taken) t.by_producer.resize(kProducers);

    std::vector<std::thread> threads;
    run(kProducers, [&](int p) {
        for (uint32_t seq = 0; seq < kPerProducer; ++seq) {
            while (!ring.try_push(event(p, seq))) std::this_thread::yield();
        }
    }, threads);
    run(kConsumers, [&](int c) {
        HormonalSignal e;
        while (taken_count.load(std::memory_order_relaxed) < kTotal) {
            if (ring.try_pop(e)) {
                take_into(taken[c], e, kProducers, kPerProducer);
                taken_count.fetch_add(1, std::memory_order_relaxed);
            } else {
                std::this_thread::yield();
            }
        }
    }, threads);
    for (std::thread& t : threads) t.join();

    uint64_t sum = 0;
    for (const Taken& t : taken) sum += t.sum;
    const uint64_t expected_sum = uint64_t{kProducers} * (uint64_t{kPerProducer} * (kPerProducer - 1) / 2);
    char what[128];
    std::snprintf(what, sizeof what, "ring of capacity %llu: sum, order, each event once",
                  static_cast<unsigned long long>(capacity));
    HormonalSignal extra;
    expect(sum == expected_sum && check_taken(taken, kProducers, kPerProducer, true) &&
               !ring.try_pop(extra),
           what);
}

/// Occupancy never passes the capacity: with consumers stopped, exactly
/// `capacity` offers succeed however many producers race for the room.
void ring_never_holds_more_than_capacity(uint64_t capacity) {
    constexpr int kProducers = 4;
    EventRing<HormonalSignal> ring(capacity);
    bool ok = true;
    for (int round = 0; round < 200 && ok; ++round) {
        std::atomic<uint64_t> accepted{0};
        std::vector<std::thread> threads;
        run(kProducers, [&](int p) {
            for (uint32_t seq = 0; seq < capacity; ++seq) {
                if (ring.try_push(event(p, seq))) accepted.fetch_add(1, std::memory_order_relaxed);
            }
        }, threads);
        for (std::thread& t : threads) t.join();
        HormonalSignal e;
        uint64_t popped = 0;
        while (ring.try_pop(e)) ++popped;
        ok = accepted.load() == capacity && popped == capacity;
    }
    char what[128];
    std::snprintf(what, sizeof what, "ring of capacity %llu: racing producers fill it exactly",
                  static_cast<unsigned long long>(capacity));
    expect(ok, what);
}

/// Deposits from many threads beside decays by 1.0 and readers: no lost update,
/// and the bus's own drain path never duplicates an event.
void bus_deposits_lose_nothing() {
    constexpr int kDepositors = 4;
    constexpr int kDeposits = 100000;
    HormonalBus bus(32, 1000);
    std::atomic<int> running{kDepositors};
    std::atomic<bool> readers_ok{true};
    std::vector<Taken> taken(2);
    for (Taken& t : taken) t.by_producer.resize(kDepositors);

    std::vector<std::thread> threads;
    run(kDepositors, [&](int p) {
        // Every depositor hits channels 0 and 5 together; each also has its own.
        const uint32_t flags = 1u | (1u << 5) | (1u << (8 + p));
        for (int i = 0; i < kDeposits; ++i) {
            bus.deposit(HormonalSignal{flags, 1.0f});
        }
        running.fetch_sub(1, std::memory_order_relaxed);
    }, threads);
    run(1, [&](int) {
        float last = 0.0f;
        while (running.load(std::memory_order_relaxed) > 0) {
            bus.channels().tick(1.0f);
            const float now = bus.channels().concentration(0);
            if (now < last || bus.channels().sense(1u << 31) != 0.0f) readers_ok = false;
            last = now;
        }
    }, threads);
    run(2, [&](int c) {
        std::vector<HormonalSignal> out;
        while (running.load(std::memory_order_relaxed) > 0) {
            out.clear();
            bus.drain(64, out);
            for (const HormonalSignal& e : out) {
                // Flags carry the depositor's own bit: recover its id.
                int p = 0;
                while (p < kDepositors && (e.flags & (1u << (8 + p))) == 0) ++p;
                if (p == kDepositors || e.intensity != 1.0f) taken[c].malformed = true;
                taken[c].sum += 1;
            }
        }
    }, threads);
    for (std::thread& t : threads) t.join();

    const float total = static_cast<float>(kDepositors * kDeposits);
    bool channels_ok = bus.channels().concentration(0) == total &&
                       bus.channels().concentration(5) == total;
    for (int p = 0; p < kDepositors; ++p) {
        channels_ok = channels_ok && bus.channels().concentration(8 + p) == float{kDeposits};
    }
    std::vector<HormonalSignal> rest;
    bus.drain(UINT64_MAX, rest);
    const uint64_t drained = taken[0].sum + taken[1].sum + rest.size();
    expect(channels_ok, "bus: concurrent deposits and decays lose no update");
    expect(bus.secretions() == uint64_t{kDepositors} * kDeposits, "bus: every deposit counted");
    expect(readers_ok.load() && !taken[0].malformed && !taken[1].malformed &&
               drained <= uint64_t{kDepositors} * kDeposits,
           "bus: readers see monotone values, drains see whole events");
}

}  // namespace

int main() {
    ring_every_event_once(1024);  // a power of two: the ring is exactly its capacity
    ring_every_event_once(1000);  // rounded up to 1024 internally
    ring_every_event_once(1);
    ring_never_holds_more_than_capacity(1);
    ring_never_holds_more_than_capacity(3);
    ring_never_holds_more_than_capacity(64);
    ring_never_holds_more_than_capacity(100);
    bus_deposits_lose_nothing();
    std::printf("bus_stress: %d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}
