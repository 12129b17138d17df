// Deposits and drains of a bus.
#include "hormonal_bus.h"

namespace qm {

HormonalBus::HormonalBus(uint64_t num_signals, uint64_t event_capacity)
    : channels_(num_signals), events_(event_capacity) {}

void HormonalBus::deposit(HormonalSignal signal) noexcept {
    channels_.deposit(signal.flags, signal.intensity);
    // Relaxed: a counter, read on its own; the event offer below publishes it
    // together with the channel updates to whoever drains the event.
    secretions_.fetch_add(1, std::memory_order_relaxed);
    events_.try_push(signal);
}

void HormonalBus::drain(uint64_t max, std::vector<HormonalSignal>& out) {
    HormonalSignal event;
    for (uint64_t taken = 0; taken < max && events_.try_pop(event); ++taken) {
        out.push_back(event);
    }
}

}  // namespace qm
