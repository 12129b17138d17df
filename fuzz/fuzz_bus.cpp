// Fuzz target: single-threaded operation sequences on a bus (deposits, decay,
// sensing, single-channel reads, snapshots, drains) against a model of 32
// single-precision channels and a bounded FIFO of events.
#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "bus/hormonal_bus.h"
#include "fuzz_support.h"

namespace {

/// Intensities and factors: raw bits, a few exact values, or a modest range.
float consume_amount(FuzzedDataProvider& in) {
    constexpr float kEdges[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.1f, 0.5f, 2.0f, 1e30f, -1e30f};
    if (in.ConsumeBool()) return kEdges[in.ConsumeIntegralInRange<size_t>(0, std::size(kEdges) - 1)];
    return fuzz::consume_float(in, -4.0f, 4.0f);
}

struct Model {
    uint32_t count;
    uint32_t mask;
    std::array<float, 32> channels{};
    uint64_t capacity;
    std::deque<qm::HormonalSignal> events;
    uint64_t secretions = 0;

    void deposit(qm::HormonalSignal s) {
        for (uint32_t i = 0; i < 32; ++i) {
            if ((s.flags & mask) >> i & 1) channels[i] = channels[i] + s.intensity;
        }
        ++secretions;
        if (events.size() < capacity) events.push_back(s);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint64_t num_signals =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 40) : in.ConsumeIntegral<uint64_t>();
    // Small capacities exercise the rounding of the ring; 2^k ± 1 its edges.
    uint64_t event_capacity = in.ConsumeIntegralInRange<uint64_t>(0, 70);
    if (in.ConsumeBool()) {
        const int shift = in.ConsumeIntegralInRange<int>(0, 10);
        event_capacity = (uint64_t{1} << shift) + in.ConsumeIntegralInRange<int>(-1, 1);
    }
    qm::HormonalBus bus(num_signals, event_capacity);

    Model model;
    model.count = num_signals == 0 ? 1 : num_signals > 32 ? 32 : static_cast<uint32_t>(num_signals);
    model.mask = model.count == 32 ? 0xFFFFFFFFu : (1u << model.count) - 1;
    model.capacity = event_capacity == 0 ? 1 : event_capacity;
    FUZZ_CHECK(bus.channels().count() == model.count);
    FUZZ_CHECK(bus.channels().mask() == model.mask);

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 6)) {
            case 0:
            case 1: {  // deposit: a burst of the same signal fills the buffer quickly
                qm::HormonalSignal s{in.ConsumeIntegral<uint32_t>(), consume_amount(in)};
                const int repeat = in.ConsumeIntegralInRange<int>(1, 8);
                for (int k = 0; k < repeat; ++k) {
                    bus.deposit(s);
                    model.deposit(s);
                }
                break;
            }
            case 2: {  // tick
                const float decay = consume_amount(in);
                bus.channels().tick(decay);
                for (uint32_t i = 0; i < model.count; ++i) model.channels[i] = model.channels[i] * decay;
                break;
            }
            case 3: {  // sense
                const uint32_t mask = in.ConsumeIntegral<uint32_t>();
                float sum = 0.0f;
                for (uint32_t i = 0; i < 32; ++i) {
                    if ((mask & model.mask) >> i & 1) sum = sum + model.channels[i];
                }
                FUZZ_CHECK(fuzz::same_float(bus.channels().sense(mask), sum));
                break;
            }
            case 4: {  // concentration of a bit position
                const uint64_t bit = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 40)
                                                      : in.ConsumeIntegral<uint64_t>();
                const float expected = bit < model.count ? model.channels[bit] : 0.0f;
                FUZZ_CHECK(fuzz::same_float(bus.channels().concentration(bit), expected));
                break;
            }
            case 5: {  // drain: oldest first, never more than asked or buffered
                const uint64_t max = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 80)
                                                      : in.ConsumeIntegral<uint64_t>();
                std::vector<qm::HormonalSignal> out;
                bus.drain(max, out);
                const uint64_t expected = max < model.events.size() ? max : model.events.size();
                FUZZ_CHECK(out.size() == expected);
                for (const qm::HormonalSignal& e : out) {
                    const qm::HormonalSignal m = model.events.front();
                    model.events.pop_front();
                    FUZZ_CHECK(e.flags == m.flags);
                    FUZZ_CHECK(std::bit_cast<uint32_t>(e.intensity) == std::bit_cast<uint32_t>(m.intensity));
                }
                break;
            }
            default: {  // snapshot, total and the deposit count
                std::array<float, qm::Channels::kMaxChannels> values;
                FUZZ_CHECK(bus.channels().snapshot(values) == model.count);
                float total = -0.0f;
                for (uint32_t i = 0; i < model.count; ++i) {
                    FUZZ_CHECK(fuzz::same_float(values[i], model.channels[i]));
                    total = total + model.channels[i];
                }
                FUZZ_CHECK(fuzz::same_float(bus.channels().total(), total));
                FUZZ_CHECK(bus.secretions() == model.secretions);
                break;
            }
        }
        // Channels beyond the count never move.
        for (uint32_t i = model.count; i < 32; ++i) FUZZ_CHECK(model.channels[i] == 0.0f);
    }
    // Whatever is left drains in order, and then the buffer is empty.
    std::vector<qm::HormonalSignal> rest;
    bus.drain(UINT64_MAX, rest);
    FUZZ_CHECK(rest.size() == model.events.size());
    for (size_t i = 0; i < rest.size(); ++i) FUZZ_CHECK(rest[i].flags == model.events[i].flags);
    std::vector<qm::HormonalSignal> none;
    bus.drain(UINT64_MAX, none);
    FUZZ_CHECK(none.empty());
    return 0;
}
