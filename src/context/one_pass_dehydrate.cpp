// Half-life survival of each message by class and age, in one pass.
#include "one_pass_dehydrate.h"

#include "common/exp2.h"
#include "signal_class.h"

namespace qm {

float survival_score(uint64_t age, float half_life, float weight) noexcept {
    // The operation order is observable at the threshold: keep it step by step.
    const float age_f = static_cast<float>(age);
    const float negated = -age_f;
    const float exponent = negated / half_life;
    // Our own correctly rounded exponential: the same score, and so the same
    // decision at the threshold, on every platform.
    const float decay = exp2_correctly_rounded(exponent);
    return decay * weight;
}

void one_pass_dehydrate(const MessageBatch& batch, const DehydrateParams& params,
                        std::span<uint8_t> decisions) noexcept {
    const uint64_t n = batch.size();
    const uint64_t protected_end = params.stable_prefix < n ? params.stable_prefix : n;
    for (uint64_t k = 0; k < n; ++k) {
        const SignalFlags flags = batch.flags(k);
        bool keep;
        if (k < protected_end || is_durable(flags)) {
            keep = true;
        } else {
            const float score = survival_score(n - 1 - k, params.half_life, decaying_weight(flags));
            keep = score >= params.safe_threshold;  // false for NaN
        }
        decisions[k] = keep ? 1 : 0;
    }
}

DehydrateAudit audit_dehydration(const MessageBatch& batch, uint64_t stable_prefix,
                                 std::span<const uint8_t> decisions) noexcept {
    DehydrateAudit audit{};
    const uint64_t n = batch.size();
    audit.blocks_in = n;
    for (uint64_t k = 0; k < n; ++k) {
        const uint64_t tokens = estimate_tokens(batch.text(k).size());
        audit.tokens_before += tokens;
        if (k < stable_prefix) audit.stable_prefix_tokens += tokens;
        if (decisions[k] != 0) {
            ++audit.blocks_kept;
            audit.tokens_after += tokens;
        } else {
            ++audit.blocks_purged;
        }
    }
    audit.reduction = audit.tokens_before == 0
                          ? 0.0
                          : 1.0 - static_cast<double>(audit.tokens_after) /
                                      static_cast<double>(audit.tokens_before);
    return audit;
}

}  // namespace qm
