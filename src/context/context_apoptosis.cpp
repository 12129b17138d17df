// The context window's block store, decay cycle, STATE ledger and rendering.
#include "context_apoptosis.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "digest.h"
#include "common/exp2.h"
#include "common/siphash.h"

namespace qm {

// The purge compacts in place by move assignment and growth relocates by move;
// both must not throw, or a failure could leave the store half-moved.
static_assert(std::is_nothrow_move_assignable_v<Block>);
static_assert(std::is_nothrow_move_constructible_v<Block>);
static_assert(std::is_nothrow_move_assignable_v<StateEntry>);
static_assert(std::is_nothrow_move_constructible_v<StateEntry>);

namespace {

/// Reserves `capacity` blocks, refusing sizes no allocation could ever have.
std::vector<Block> reserved_blocks(size_t capacity) {
    if (capacity > static_cast<size_t>(PTRDIFF_MAX) / sizeof(Block)) {
        throw std::length_error("capacity overflow");
    }
    std::vector<Block> blocks;
    blocks.reserve(capacity);
    return blocks;
}

/// Copies one text member of every item, in order; the caller holds their lock.
template <class Item>
std::vector<std::string> copy_texts(const std::vector<Item>& items, std::string Item::*text) {
    std::vector<std::string> texts;
    texts.reserve(items.size());
    for (const Item& item : items) texts.push_back(item.*text);
    return texts;
}

}  // namespace

ContextApoptosis::ContextApoptosis(float half_life, float safe_threshold, size_t capacity,
                             size_t state_capacity)
    : half_life_(effective_half_life(half_life)),
      safe_threshold_(safe_threshold),
      state_capacity_(state_capacity == 0 ? 1 : state_capacity),
      // Quotient first, rounded to float, then the float exponential: an infinite
      // half-life gives -0.0 and so a factor of exactly 1. Correctly rounded, so
      // every platform decays and purges alike.
      decay_factor_(exp2_correctly_rounded(-1.0f / half_life_)),
      blocks_(reserved_blocks(capacity)) {}

void ContextApoptosis::insert(std::string content, SignalFlags signal, std::optional<float> oxygen) {
    const uint32_t tokens = estimate_tokens(content.size());
    // Counted before the block is visible, so purged can never run ahead of inserted.
    // Relaxed: the block mutex taken below orders this add before any cycle that
    // could purge the block, and that cycle publishes with release.
    inserted_tokens_.fetch_add(tokens, std::memory_order_relaxed);
    Block block{std::move(content), resolve_oxygen(signal, oxygen), signal, tokens};
    try {
        std::lock_guard lock(blocks_mutex_);
        blocks_.push_back(std::move(block));
    } catch (...) {
        // The store could not grow: it is unchanged, so the count must be too.
        // Relaxed: the block never became visible, so no cycle counted it.
        inserted_tokens_.fetch_sub(tokens, std::memory_order_relaxed);
        throw;
    }
}

size_t ContextApoptosis::length() const {
    std::lock_guard lock(blocks_mutex_);
    return blocks_.size();
}

uint64_t ContextApoptosis::active_tokens() const {
    std::lock_guard lock(blocks_mutex_);
    uint64_t total = 0;
    for (const Block& block : blocks_) total += block.tokens;
    return total;
}

uint64_t ContextApoptosis::inserted_tokens() const noexcept {
    // Relaxed: a lone statistic, compared with nothing else.
    return inserted_tokens_.load(std::memory_order_relaxed);
}

double ContextApoptosis::reduction_ratio() const noexcept {
    // Purged first: every purged token was counted as inserted before (the block
    // lock orders the insert before the cycle that purges it), so loading inserted
    // afterwards can only see at least as many, and the ratio never exceeds 1.
    const uint64_t purged = purged_tokens_.load(std::memory_order_acquire);
    const uint64_t inserted = inserted_tokens_.load(std::memory_order_acquire);
    if (inserted == 0) return 0.0;
    const float ratio = static_cast<float>(purged) / static_cast<float>(inserted);
    return static_cast<double>(ratio);
}

bool ContextApoptosis::note_state(std::string text) {
    const uint64_t hash = content_hash(text);
    std::lock_guard lock(ledger_mutex_);
    for (const StateEntry& entry : ledger_) {
        if (entry.hash == hash) return false;
    }
    ledger_.push_back(StateEntry{hash, std::move(text)});
    if (ledger_.size() > state_capacity_) {
        ledger_.erase(ledger_.begin(),
                      ledger_.end() - static_cast<std::ptrdiff_t>(state_capacity_));
    }
    return true;
}

void ContextApoptosis::set_purpose(std::optional<std::string> text) {
    {
        std::lock_guard lock(purpose_mutex_);
        purpose_.swap(text);
    }
    // `text` now holds the previous purpose and is freed outside the lock.
}

std::vector<std::string> ContextApoptosis::state_entries() const {
    std::lock_guard lock(ledger_mutex_);
    return copy_texts(ledger_, &StateEntry::text);
}

std::vector<std::string> ContextApoptosis::active_context() const {
    std::lock_guard lock(blocks_mutex_);
    return copy_texts(blocks_, &Block::content);
}

std::string ContextApoptosis::render() const {
    std::string out;
    {
        std::lock_guard lock(purpose_mutex_);
        if (purpose_) {
            out.reserve(purpose_->size() + 1);
            out.append(*purpose_).push_back('\n');
        }
    }
    {
        std::lock_guard lock(ledger_mutex_);
        if (!ledger_.empty()) {
            constexpr std::string_view kHeader = "STATE:\n";
            size_t size = kHeader.size();
            for (const StateEntry& entry : ledger_) size += entry.text.size() + 3;
            out.reserve(out.size() + size);
            out.append(kHeader);
            for (const StateEntry& entry : ledger_) out.append("- ").append(entry.text).push_back('\n');
        }
    }
    {
        std::lock_guard lock(blocks_mutex_);
        if (!blocks_.empty()) {
            // Sized first so the survivors, usually most of the text, are copied once.
            size_t size = blocks_.size() - 1;
            for (const Block& block : blocks_) size += block.content.size();
            out.reserve(out.size() + size);
            out.append(blocks_.front().content);
            for (auto it = blocks_.begin() + 1; it != blocks_.end(); ++it) {
                out.push_back('\n');
                out.append(it->content);
            }
        }
    }
    return out;
}

float ContextApoptosis::next_oxygen(const Block& block, float reinforce_boost) const noexcept {
    return is_durable(block.signal) ? block.oxygen + reinforce_boost : block.oxygen * decay_factor_;
}

bool ContextApoptosis::survives(SignalFlags signal, float oxygen) const noexcept {
    return is_durable(signal) || oxygen >= safe_threshold_;
}

DehydrateOutcome ContextApoptosis::dehydrate(float reinforce_boost, bool absorb) {
    DehydrateOutcome outcome;
    std::lock_guard lock(blocks_mutex_);

    // Digests are the cycle's only allocations, so they are made while every block
    // is still as it was: if one fails, the cycle fails without having changed
    // anything. The fate of each block is decided here by the same arithmetic the
    // decay pass applies below.
    if (absorb) {
        for (const Block& block : blocks_) {
            if (is_durable(block.signal) || !is_conversational(block.signal)) continue;
            if (!survives(block.signal, next_oxygen(block, reinforce_boost))) {
                outcome.digests.push_back(make_digest(block.content));
            }
        }
    }

    for (Block& block : blocks_) block.oxygen = next_oxygen(block, reinforce_boost);

    uint64_t purged_tokens = 0;
    const auto kept_end = std::remove_if(blocks_.begin(), blocks_.end(), [&](const Block& block) {
        if (survives(block.signal, block.oxygen)) return false;
        purged_tokens += block.tokens;
        return true;
    });
    outcome.purged = static_cast<uint64_t>(blocks_.end() - kept_end);
    blocks_.erase(kept_end, blocks_.end());
    // Inside the block lock, so active_tokens always agrees with the purged total.
    // Release: a reader that acquires this total also sees the inserts it covers.
    purged_tokens_.fetch_add(purged_tokens, std::memory_order_release);
    return outcome;
}

}  // namespace qm
