// The stateful context window: blocks that decay and are purged, a de-duplicated
// STATE ledger, an optional purpose header, and their rendering as one prompt.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "signal_class.h"

namespace qm {

/// One context block as inserted; only `oxygen` ever changes.
struct Block {
    std::string content;
    float oxygen;
    SignalFlags signal;
    uint32_t tokens;
};

/// One STATE ledger line, keyed by the content hash of its text.
struct StateEntry {
    uint64_t hash;
    std::string text;
};

/// What one decay cycle removed: the block count and the digests to absorb.
struct DehydrateOutcome {
    uint64_t purged = 0;
    std::vector<std::string> digests;  // in store order of the absorbed blocks
};

// Locking: blocks, purpose and ledger each have their own mutex and no operation
// ever holds two, so there is no lock order and no deadlock between them. The
// token totals are atomics read without any lock.
//
// No lock is ever left guarding half-changed data, which is why there is no
// "poisoned" state: everything that can fail under a lock either only reads (the
// copies and the rendering), or is one vector growth whose elements move without
// throwing (insert, note_state: strong guarantee, the vector stays as it was),
// and the cycle builds its digests, its only allocations, before it touches any
// block. Everything after that point is arithmetic and noexcept moves.
class ContextApoptosis {
public:
    /// Normalises the settings (half-life at least 0.1, ledger limit at least 1)
    /// and reserves room for `capacity` blocks. A capacity whose byte size exceeds
    /// PTRDIFF_MAX throws std::length_error; an unsatisfiable one std::bad_alloc.
    ContextApoptosis(float half_life, float safe_threshold, size_t capacity, size_t state_capacity);

    ContextApoptosis(const ContextApoptosis&) = delete;
    ContextApoptosis& operator=(const ContextApoptosis&) = delete;

    /// Appends a block; `oxygen` absent or negative selects the automatic weight.
    void insert(std::string content, SignalFlags signal, std::optional<float> oxygen);

    /// Number of blocks currently held.
    size_t length() const;
    /// Token sum of the current blocks.
    uint64_t active_tokens() const;
    /// Tokens of every block ever inserted.
    uint64_t inserted_tokens() const noexcept;
    /// purged / inserted as a single-precision quotient, widened; 0 before any insert.
    double reduction_ratio() const noexcept;

    /// Appends `text` to the ledger unless its hash is present; rolls off the oldest.
    bool note_state(std::string text);
    /// Replaces the purpose; nullopt clears it.
    void set_purpose(std::optional<std::string> text);

    /// Copies of the ledger texts, oldest first.
    std::vector<std::string> state_entries() const;
    /// Copies of the block contents, in store order.
    std::vector<std::string> active_context() const;
    /// Purpose line, "STATE:" section and survivors, each read under its own lock.
    std::string render() const;

    /// One decay cycle under the block lock. Touches no Python object, so the
    /// caller may run it without the interpreter lock; the digests it returns are
    /// for the caller to pass to `note_state` afterwards.
    DehydrateOutcome dehydrate(float reinforce_boost, bool absorb);

    float half_life() const noexcept { return half_life_; }
    float safe_threshold() const noexcept { return safe_threshold_; }
    size_t state_capacity() const noexcept { return state_capacity_; }
    /// 2^(-1/half_life) in single precision, fixed for the window's life.
    float decay_factor() const noexcept { return decay_factor_; }

private:
    /// A block's oxygen after this cycle's decay or reinforcement.
    float next_oxygen(const Block& block, float reinforce_boost) const noexcept;
    /// Durable blocks always survive; others need oxygen >= threshold (NaN fails).
    bool survives(SignalFlags signal, float oxygen) const noexcept;

    const float half_life_;
    const float safe_threshold_;
    const size_t state_capacity_;
    const float decay_factor_;

    mutable std::mutex blocks_mutex_;
    std::vector<Block> blocks_;

    mutable std::mutex purpose_mutex_;
    std::optional<std::string> purpose_;

    mutable std::mutex ledger_mutex_;
    std::vector<StateEntry> ledger_;

    std::atomic<uint64_t> inserted_tokens_{0};
    std::atomic<uint64_t> purged_tokens_{0};
};

}  // namespace qm
