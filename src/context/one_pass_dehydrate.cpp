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

namespace {

/// How many ages, counted from 0, a message of weight `weight` survives in a
/// history of n messages. The score never rises with age: converting the age,
/// negating, dividing by a positive half-life, the correctly rounded 2^x and the
/// product with a positive weight each round monotonically. So the survivors of one
/// weight are exactly the ages below this count, found with about log2(n) scores;
/// a NaN threshold gives 0, as the comparison purges everything.
uint64_t surviving_ages(uint64_t n, const DehydrateParams& params, float weight) noexcept {
    uint64_t survive = 0, purge = n;  // ages below `survive` survive, from `purge` on not
    while (survive < purge) {
        const uint64_t age = survive + (purge - survive) / 2;
        if (survival_score(age, params.half_life, weight) >= params.safe_threshold) {
            survive = age + 1;
        } else {
            purge = age;
        }
    }
    return survive;
}

/// The survival count of each weight met so far in one pass. There are only a few
/// weights (one per class group); the table falls back to scoring directly should
/// that ever change.
class SurvivalLimits {
public:
    SurvivalLimits(uint64_t n, const DehydrateParams& params) noexcept : n_(n), params_(params) {
        // Monotonic only for a positive half-life; anything else is scored directly.
        if (!(params.half_life > 0.0f)) used_ = kSlots;
    }

    bool keeps(uint64_t age, float weight) noexcept {
        for (size_t i = 0; i < used_; ++i) {
            if (weights_[i] == weight) return age < limits_[i];
        }
        if (used_ == kSlots) return survival_score(age, params_.half_life, weight) >= params_.safe_threshold;
        weights_[used_] = weight;
        limits_[used_] = surviving_ages(n_, params_, weight);
        return age < limits_[used_++];
    }

private:
    static constexpr size_t kSlots = 8;
    uint64_t n_;
    const DehydrateParams& params_;
    size_t used_ = 0;
    float weights_[kSlots] = {};
    uint64_t limits_[kSlots] = {};
};

}  // namespace

void one_pass_dehydrate(const MessageBatch& batch, const DehydrateParams& params,
                        std::span<uint8_t> decisions) noexcept {
    const uint64_t n = batch.size();
    const uint64_t protected_end = params.stable_prefix < n ? params.stable_prefix : n;
    SurvivalLimits limits(n, params);
    for (uint64_t k = 0; k < n; ++k) {
        const SignalFlags flags = batch.flags(k);
        // The same decision as comparing survival_score(n - 1 - k, ...) with the
        // threshold (false for NaN), without an exponential per message.
        const bool keep = k < protected_end || is_durable(flags) ||
                          limits.keeps(n - 1 - k, decaying_weight(flags));
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
