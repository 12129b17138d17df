// The concentrations of a bus: up to 32 single-precision values, each in one
// atomic word, updated by compare-and-swap and never guarded by a lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "common/cache_line.h"

namespace qm {

class Channels {
public:
    static constexpr uint32_t kMaxChannels = 32;

    /// min(count, 32) channels, one when 0 is asked for, all at 0.0.
    explicit Channels(uint64_t count) noexcept;

    Channels(const Channels&) = delete;
    Channels& operator=(const Channels&) = delete;

    /// Number of channels, 1 to 32.
    uint32_t count() const noexcept { return count_; }
    /// The bits that address a channel; others are ignored by every operation.
    uint32_t mask() const noexcept { return mask_; }

    /// Adds `amount` to every channel addressed by `flags`, lowest bit first.
    void deposit(uint32_t flags, float amount) noexcept;
    /// Sum of the channels addressed by `mask`, lowest first, from +0.0.
    float sense(uint32_t mask) const noexcept;
    /// The value of channel `bit`, or 0.0 when there is no such channel.
    float concentration(uint64_t bit) const noexcept;
    /// Multiplies every channel by `decay`, in index order.
    void tick(float decay) noexcept;
    /// Reads every channel in index order into `out`; returns count().
    uint32_t snapshot(std::array<float, kMaxChannels>& out) const noexcept;
    /// Sum of all channels in index order, from -0.0.
    float total() const noexcept;

private:
    // Each channel is independent and nothing is promised across channels, so
    // every access is relaxed; a drained event still shows its deposit because
    // the event ring publishes with release after the channel updates.
    template <class Op>
    void update(uint32_t index, Op op) noexcept;
    float load(uint32_t index) const noexcept;

    // 32 words fill two whole cache lines: depositors never share them with the
    // fields below or with a neighbouring object.
    alignas(kCacheLine) std::array<std::atomic<uint32_t>, kMaxChannels> words_{};
    const uint32_t count_;
    const uint32_t mask_;
};

static_assert(std::atomic<uint32_t>::is_always_lock_free, "channel updates must never take a lock");
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(float), "a channel word holds a float's bits");

}  // namespace qm
