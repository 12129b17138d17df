// The one-pass half-life decision over a whole message history, and its audit.
#pragma once

#include <cstdint>
#include <span>

#include "message_batch.h"
#include "signal_class.h"

namespace qm {

/// Settings of one pass, already narrowed from the caller's arguments.
struct DehydrateParams {
    float half_life;       // at least kMinHalfLife (see effective_half_life)
    float safe_threshold;  // unchecked: NaN purges everything that may be purged
    uint64_t stable_prefix;
};

/// Token audit of a decided history; sums are 64-bit so no history can wrap them.
struct DehydrateAudit {
    uint64_t blocks_in;
    uint64_t blocks_kept;
    uint64_t blocks_purged;
    uint64_t tokens_before;
    uint64_t tokens_after;
    uint64_t stable_prefix_tokens;
    double reduction;
};

/// 2^(-age / half_life) * weight, rounded to single precision after each step.
float survival_score(uint64_t age, float half_life, float weight) noexcept;

/// Writes 1 (kept) or 0 (purged) per message into `decisions`, which must hold
/// exactly one byte per message: survival_score(age, ...) >= safe_threshold for
/// each message outside the prefix that is not durable, though the scores are only
/// computed for about log2(n) ages per weight. Reads only `batch` and allocates
/// nothing, so it may run without the interpreter lock.
void one_pass_dehydrate(const MessageBatch& batch, const DehydrateParams& params,
                        std::span<uint8_t> decisions) noexcept;

/// The same decisions for messages of the classes `flags`, with no batch of texts: the
/// kernel decides by position and class alone.
void one_pass_decisions(std::span<const SignalFlags> flags, const DehydrateParams& params,
                        std::span<uint8_t> decisions) noexcept;

/// Counts and token sums of the decided history.
DehydrateAudit audit_dehydration(const MessageBatch& batch, uint64_t stable_prefix,
                                 std::span<const uint8_t> decisions) noexcept;

}  // namespace qm
