// Open-addressing hash sets sized once up front, so the kernels that count
// distinct words or shingles allocate a single table per call and nothing per item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

namespace qm {

/// Smallest power of two holding `items` at a load factor of at most one half.
inline size_t flat_set_capacity(size_t items) {
    if (items > (SIZE_MAX >> 2)) throw std::length_error("capacity overflow");
    size_t capacity = 16;
    while (capacity < items * 2) capacity <<= 1;
    return capacity;
}

/// A set of 64-bit values that are already well mixed hashes.
class HashSet64 {
public:
    /// A set for at most `items` insertions.
    explicit HashSet64(size_t items)
        : slots_(flat_set_capacity(items), 0), mask_(slots_.size() - 1) {}

    /// Hints that `value` will be looked up soon (a large set misses the cache).
    void prefetch(uint64_t value) const noexcept {
        __builtin_prefetch(&slots_[static_cast<size_t>(value) & mask_]);
    }

    /// Inserts `value`; false when it was already present.
    bool insert(uint64_t value) noexcept {
        // Zero marks an empty slot, so the value zero is tracked on its own.
        if (value == 0) return !std::exchange(has_zero_, true);
        for (size_t i = static_cast<size_t>(value) & mask_;; i = (i + 1) & mask_) {
            if (slots_[i] == value) return false;
            if (slots_[i] == 0) {
                slots_[i] = value;
                return true;
            }
        }
    }

private:
    std::vector<uint64_t> slots_;
    size_t mask_;
    bool has_zero_ = false;
};

/// A set of non-empty byte strings held as views (the caller keeps the bytes alive).
class ViewSet {
public:
    /// A set for at most `items` insertions.
    explicit ViewSet(size_t items) : slots_(flat_set_capacity(items)), mask_(slots_.size() - 1) {}

    /// Inserts `view` (must not be empty); false when an equal string was present.
    bool insert(std::string_view view) noexcept {
        const size_t hash = std::hash<std::string_view>{}(view);
        for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (slot.view.empty()) {
                slot = Slot{hash, view};
                return true;
            }
            if (slot.hash == hash && slot.view == view) return false;
        }
    }

private:
    struct Slot {
        size_t hash = 0;
        std::string_view view;
    };
    std::vector<Slot> slots_;
    size_t mask_;
};

}  // namespace qm
