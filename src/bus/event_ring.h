// A bounded lock-free multi-producer, multi-consumer FIFO of small values: the
// event buffer of a bus. Offers and takes never wait and never allocate.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <type_traits>

#include "common/cache_line.h"

namespace qm {

/// Capacities from here on are refused as unrepresentable: the ring rounds up
/// to a power of two of 16-byte cells, and 2^59 of them would span 2^63 bytes.
inline constexpr uint64_t kRingCapacityLimit = uint64_t{1} << 59;

/// A ring of cells, each with a sequence number that says whose turn it is
/// (D. Vyukov's bounded queue). For position `pos`, cell `pos & mask` is free
/// for the producer when its sequence equals `pos`, holds the value for the
/// consumer when it equals `pos + 1`, and is handed to the next lap by the
/// consumer storing `pos + size`. The ring is rounded up to a power of two (two
/// cells at least), but it holds at most `capacity` values: a producer also
/// requires that the value `capacity` positions back has been taken.
template <class T>
class EventRing {
    static_assert(std::is_trivially_copyable_v<T>, "values are copied in and out of cells");
    static_assert(sizeof(T) <= 8, "a cell is a sequence number and at most eight bytes of value");
    static_assert(std::atomic<uint64_t>::is_always_lock_free,
                  "offers and takes must never fall back to a lock");

public:
    /// A ring holding up to max(capacity, 1) values. Throws std::length_error
    /// from 2^59 on, std::bad_alloc when the cells cannot be had.
    explicit EventRing(uint64_t capacity)
        : capacity_(capacity == 0 ? 1 : capacity),
          size_(capacity_ < kRingCapacityLimit ? ring_size(capacity_) : 0),
          mask_(size_ - 1) {
        if (capacity_ >= kRingCapacityLimit) throw std::length_error("capacity overflow");
        cells_ = std::make_unique<Cell[]>(size_);
        // Relaxed: no other thread can see the ring before its constructor ends.
        for (uint64_t i = 0; i < size_; ++i) cells_[i].seq.store(i, std::memory_order_relaxed);
    }

    EventRing(const EventRing&) = delete;
    EventRing& operator=(const EventRing&) = delete;

    /// Appends `value` unless the ring holds `capacity` values; never waits.
    bool try_push(const T& value) noexcept {
        uint64_t pos = tail_.load(std::memory_order_relaxed);
        for (;;) {
            Cell& cell = cells_[pos & mask_];
            // Acquire: the consumer's copy out of this cell happens before our write.
            const uint64_t seq = cell.seq.load(std::memory_order_acquire);
            const int64_t dif = static_cast<int64_t>(seq - pos);
            if (dif == 0) {
                if (!lag_taken(pos)) return false;
                // Relaxed: the position only assigns the cell; the cell's
                // sequence publishes the value.
                if (tail_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed,
                                                std::memory_order_relaxed)) {
                    cell.value = value;
                    cell.seq.store(pos + 1, std::memory_order_release);
                    return true;
                }
            } else if (dif < 0) {
                return false;  // the value one lap back is still in this cell: full
            } else {
                pos = tail_.load(std::memory_order_relaxed);  // another producer took pos
            }
        }
    }

    /// Removes the oldest value into `out`; false when the ring is empty. Never waits.
    bool try_pop(T& out) noexcept {
        uint64_t pos = head_.load(std::memory_order_relaxed);
        for (;;) {
            Cell& cell = cells_[pos & mask_];
            // Acquire: pairs with the producer's release, so the value is complete.
            const uint64_t seq = cell.seq.load(std::memory_order_acquire);
            const int64_t dif = static_cast<int64_t>(seq - (pos + 1));
            if (dif == 0) {
                if (head_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed,
                                                std::memory_order_relaxed)) {
                    out = cell.value;
                    // Release: our copy out is done before a producer reuses the cell.
                    cell.seq.store(pos + size_, std::memory_order_release);
                    return true;
                }
            } else if (dif < 0) {
                return false;  // no value has been published at the head: empty
            } else {
                pos = head_.load(std::memory_order_relaxed);  // another consumer took pos
            }
        }
    }

    /// The most values the ring holds at once.
    uint64_t capacity() const noexcept { return capacity_; }

private:
    // 16 bytes and 16-aligned: a cell never straddles two cache lines.
    struct alignas(16) Cell {
        std::atomic<uint64_t> seq{0};
        T value{};
    };
    static_assert(sizeof(Cell) == 16, "four cells share a cache line");

    /// At least two cells: with one, "holds position pos" (seq pos + 1) and
    /// "free for position pos + 1" would be the same sequence number.
    static uint64_t ring_size(uint64_t capacity) noexcept {
        return capacity < 2 ? 2 : std::bit_ceil(capacity);
    }

    /// True when the value `capacity` positions before `pos` has been taken (or
    /// never existed). When the ring is not rounded up that value lives in the
    /// producer's own cell, which the caller has already found free.
    bool lag_taken(uint64_t pos) const noexcept {
        if (capacity_ == size_ || pos < capacity_) return true;
        const uint64_t lag = pos - capacity_;
        // Acquire: pairs with the consumer's release of that cell; the value is
        // gone before we claim a position.
        const uint64_t seq = cells_[lag & mask_].seq.load(std::memory_order_acquire);
        return static_cast<int64_t>(seq - (lag + size_)) >= 0;
    }

    // Written once in the constructor, then only read by every thread.
    const uint64_t capacity_;
    const uint64_t size_;
    const uint64_t mask_;
    std::unique_ptr<Cell[]> cells_;
    // Producers hammer the tail and consumers the head: one line each, and
    // neither shares a line with the fields above.
    alignas(kCacheLine) std::atomic<uint64_t> tail_{0};
    alignas(kCacheLine) std::atomic<uint64_t> head_{0};
};

}  // namespace qm
