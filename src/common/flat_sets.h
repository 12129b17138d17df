// Open-addressing hash sets for the kernels that count distinct words or
// shingles: no allocation per item, and a table that starts small and doubles
// when half full, so its size follows the distinct items, not the insertions.
//
// Both are fed with outside text, so where an item lands is decided by a function
// keyed with the process's secret key (hash_key.h), never by a fixed one: words
// crafted offline to share the low bits of a public hash would otherwise pile up
// in one probe run and make every insertion walk it, quadratic in the words.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "cache_line.h"
#include "hash_key.h"
#include "siphash.h"

namespace qm {

/// True when the `size` bytes at `a` and `b` are equal; inline word loads rather
/// than a call to memcmp, since the strings compared here are mostly short words.
inline bool same_bytes(const char* a, const char* b, size_t size) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(a);
    const auto* q = reinterpret_cast<const unsigned char*>(b);
    for (; size >= 8; p += 8, q += 8, size -= 8) {
        if (sip::load_le64(p) != sip::load_le64(q)) return false;
    }
    return sip::load_le_partial(p, size) == sip::load_le_partial(q, size);
}

/// `same_bytes` for strings that are both followed by at least 7 readable bytes.
inline bool same_bytes_padded(const char* a, const char* b, size_t size) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(a);
    const auto* q = reinterpret_cast<const unsigned char*>(b);
    for (; size >= 8; p += 8, q += 8, size -= 8) {
        if (sip::load_le64(p) != sip::load_le64(q)) return false;
    }
    return ((sip::load_le64(p) ^ sip::load_le64(q)) & ((uint64_t{1} << (8 * size)) - 1)) == 0;
}

/// Smallest power of two holding `items` at a load factor of at most one half.
inline size_t flat_set_capacity(size_t items) {
    if (items > (SIZE_MAX >> 2)) throw std::length_error("capacity overflow");
    size_t capacity = 16;
    while (capacity < items * 2) capacity <<= 1;
    return capacity;
}

/// Slots a set starts with at most. A text of repeated words (a flood) would
/// otherwise get a table sized for every word although it holds a handful:
/// tens of bytes per word of input, gigabytes for a few hundred megabytes.
inline constexpr size_t kInitialSetSlots = 4096;

/// Slots for a set that will see at most `items` insertions, before any growth.
inline size_t initial_set_capacity(size_t items) {
    return std::min(flat_set_capacity(items), kInitialSetSlots);
}

/// A set of 64-bit values (the shingle hashes). Membership is equality of the
/// values themselves; only the slot comes from a keyed mix of the value, since
/// the values are public hashes that anyone can compute for chosen text.
///
/// The mix is multiply-shift (Dietzfelbinger et al.): the value, offset by a
/// secret word, times a secret odd multiplier, and the slot is the top bits of
/// the product. For any two distinct values, the chance over the key that they
/// share a slot of a table of 2^l is at most 2 / 2^l, so values chosen without
/// the key (an attacker can only steer the hashes by brute force on the text)
/// spread like random ones. It costs one multiplication where the shingle hash
/// itself costs several SipHash rounds per shingle.
class HashSet64 {
public:
    /// A set for up to `items` insertions; the table grows as values arrive.
    explicit HashSet64(size_t items, const HashKey& key = process_hash_key())
        : slots_(initial_set_capacity(items), 0),
          shift_(64 - static_cast<unsigned>(std::countr_zero(slots_.size()))),
          offset_(key.k0),
          multiplier_(key.k1 | 1) {}

    /// The keyed mix of `value`, whose top bits are its slot; pass it to
    /// `prefetch` and `insert`.
    uint64_t mix(uint64_t value) const noexcept { return (value ^ offset_) * multiplier_; }

    /// Hints that the value of mix `mixed` will be looked up soon (a large set
    /// misses the cache).
    void prefetch(uint64_t mixed) const noexcept { prefetch_line(&slots_[slot_of(mixed)]); }

    /// Inserts `value`, whose mix is `mixed`; false when it was already present.
    bool insert(uint64_t value, uint64_t mixed) {
        // Zero marks an empty slot, so the value zero is tracked on its own.
        if (value == 0) return !std::exchange(has_zero_, true);
        if (!place(value, mixed)) return false;
        if (++size_ * 2 > slots_.size()) grow();
        return true;
    }
    bool insert(uint64_t value) { return insert(value, mix(value)); }

    /// Non-zero values held.
    size_t size() const noexcept { return size_; }

    /// True when inserting `more` new values could make the table grow.
    bool full_before(size_t more) const noexcept { return (size_ + more) * 2 > slots_.size(); }

    /// Makes room for `items` values in all, re-placing what is held once
    /// (doubling would re-place it at every step on the way).
    void reserve(size_t items) {
        const size_t capacity = flat_set_capacity(items);
        if (capacity > slots_.size()) rebuild(capacity);
    }

private:
    /// Stores `value` unless present; false when it was.
    size_t slot_of(uint64_t mixed) const noexcept { return static_cast<size_t>(mixed >> shift_); }

    bool place(uint64_t value, uint64_t mixed) noexcept {
        const size_t mask = slots_.size() - 1;
        for (size_t i = slot_of(mixed);; i = (i + 1) & mask) {
            if (slots_[i] == value) return false;
            if (slots_[i] == 0) {
                slots_[i] = value;
                return true;
            }
        }
    }

    void grow() { rebuild(slots_.size() * 2); }

    /// Moves every value to a table of `capacity` slots (a power of two), mixing
    /// each again.
    void rebuild(size_t capacity) {
        std::vector<uint64_t> previous(capacity, 0);
        previous.swap(slots_);
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
        for (uint64_t value : previous) {
            if (value != 0) place(value, mix(value));
        }
    }

    std::vector<uint64_t> slots_;
    unsigned shift_;  // 64 - log2(slots)
    uint64_t offset_;
    uint64_t multiplier_;
    size_t size_ = 0;  // non-zero values held
    bool has_zero_ = false;
};

/// A set of non-empty byte strings held as views (the caller keeps the bytes
/// alive). Every view must be followed by at least 7 readable bytes, of any value:
/// hashing and comparing read whole words past the end and mask the excess off.
class ViewSet {
public:
    /// A set for up to `items` insertions; the table grows as distinct views arrive.
    explicit ViewSet(size_t items, const HashKey& key = process_hash_key())
        : slots_(initial_set_capacity(items)), mask_(slots_.size() - 1), key_(key) {}

    /// The keyed hash of `view` that decides its slot; pass it to `insert`.
    /// Hashing a batch of views before inserting them lets their hashes overlap.
    uint64_t hash_of(std::string_view view) const noexcept {
        return siphash13_padded(key_.k0, key_.k1, view.data(), view.size());
    }

    /// Inserts `view` (must not be empty); false when an equal string was present.
    [[gnu::always_inline]] bool insert(std::string_view view) { return insert(view, hash_of(view)); }

    /// Inserts `view`, whose `hash_of` is `hash`.
    [[gnu::always_inline]] bool insert(std::string_view view, uint64_t hash) {
        if constexpr (sizeof(size_t) > sizeof(uint32_t)) {
            if (view.size() > UINT32_MAX) return insert_long(view);
        }
        const uint32_t tag = static_cast<uint32_t>(hash >> 32);
        for (size_t i = static_cast<size_t>(hash) & mask_;; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (slot.data == nullptr) {
                slot = Slot{view.data(), static_cast<uint32_t>(view.size()), tag};
                if (++size_ * 2 > slots_.size()) grow();
                return true;
            }
            if (slot.tag == tag && slot.size == view.size() &&
                same_bytes_padded(slot.data, view.data(), view.size())) {
                return false;
            }
        }
    }

private:
    // Sixteen bytes: at a load of at most one half, the slots are what the set
    // costs per distinct word, and words are often shorter than that.
    struct Slot {
        const char* data = nullptr;  // null marks an empty slot
        uint32_t size = 0;
        uint32_t tag = 0;  // high half of the hash: most unequal words differ in it
        std::string_view view() const noexcept { return {data, size}; }
    };
    static_assert(sizeof(Slot) == 16 || sizeof(void*) < 8, "a slot is a pointer and two words");

    /// Views of 4 GiB and more do not fit a slot; a text holds very few of them.
    bool insert_long(std::string_view view) {
        for (std::string_view seen : long_views_) {
            if (seen == view) return false;
        }
        long_views_.push_back(view);
        return true;
    }

    /// Doubles the table and re-places every view. The hashes are recomputed
    /// rather than stored; over all doublings that is about two more hashes per
    /// distinct view.
    void grow() {
        std::vector<Slot> previous(slots_.size() * 2);
        previous.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& slot : previous) {
            if (slot.data == nullptr) continue;
            size_t i = static_cast<size_t>(hash_of(slot.view())) & mask_;
            while (slots_[i].data != nullptr) i = (i + 1) & mask_;
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    size_t mask_;
    size_t size_ = 0;  // views held in slots
    std::vector<std::string_view> long_views_;
    HashKey key_;
};

}  // namespace qm
