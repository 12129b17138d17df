// A bus: its channels, the count of deposits and the buffer of recent signals.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "channels.h"
#include "event_ring.h"
#include "hormonal_signal.h"

namespace qm {

class HormonalBus {
public:
    /// An event capacity of 2^59 or more throws std::length_error, one whose
    /// buffer cannot be allocated std::bad_alloc.
    HormonalBus(uint64_t num_signals, uint64_t event_capacity);

    HormonalBus(const HormonalBus&) = delete;
    HormonalBus& operator=(const HormonalBus&) = delete;

    /// Raises the addressed channels, counts the deposit, then offers the whole
    /// signal to the event buffer (dropped when full). Never waits or allocates.
    void deposit(HormonalSignal signal) noexcept;

    /// Appends up to `max` buffered events to `out`, oldest first, stopping at
    /// the first moment the buffer is empty.
    void drain(uint64_t max, std::vector<HormonalSignal>& out);

    Channels& channels() noexcept { return channels_; }
    const Channels& channels() const noexcept { return channels_; }

    /// Number of deposits so far. Relaxed: a statistic, nothing is read on the
    /// strength of it.
    uint64_t secretions() const noexcept { return secretions_.load(std::memory_order_relaxed); }

private:
    Channels channels_;
    // Every depositor increments it: a line of its own, away from the channels
    // that readers load.
    alignas(kCacheLine) std::atomic<uint64_t> secretions_{0};
    EventRing<HormonalSignal> events_;
};

}  // namespace qm
