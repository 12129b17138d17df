// Half-life survival of each message by class and age, in one pass.
#include "one_pass_dehydrate.h"

#include <iterator>

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

/// The bits that decide a message's fate besides its age; the higher flag bits
/// belong to no class.
inline constexpr SignalFlags kClassBits = 63;
static_assert(((kDurableMask | kConversationalMask | kThinking | kTool) & ~kClassBits) == 0);

/// For each pattern of class bits, the ages below which a message survives: n for
/// the durable ones, surviving_ages for the others, worked out on first use. The
/// weights are few, so each is searched once.
class SurvivalLimits {
public:
    SurvivalLimits(uint64_t n, const DehydrateParams& params) noexcept : n_(n), params_(params) {
        for (uint64_t& limit : limits_) limit = kUnknown;
    }

    uint64_t limit(SignalFlags flags) noexcept {
        uint64_t& limit = limits_[flags & kClassBits];
        if (limit == kUnknown) [[unlikely]] limit = resolve(flags & kClassBits);
        return limit;
    }

private:
    static constexpr uint64_t kUnknown = UINT64_MAX;  // above any count, which is at most n

    uint64_t resolve(SignalFlags flags) noexcept {
        if (is_durable(flags)) return n_;
        const float weight = decaying_weight(flags);
        for (size_t i = 0; i < searched_; ++i) {
            if (weights_[i] == weight) return by_weight_[i];
        }
        const uint64_t limit = surviving_ages(n_, params_, weight);
        if (searched_ < std::size(weights_)) {
            weights_[searched_] = weight;
            by_weight_[searched_++] = limit;
        }
        return limit;
    }

    uint64_t n_;
    const DehydrateParams& params_;
    uint64_t limits_[kClassBits + 1];
    size_t searched_ = 0;
    float weights_[8] = {};
    uint64_t by_weight_[8] = {};
};

/// The decisions of `n` messages, message k of the class `flags_at(k)`.
template <typename FlagsAt>
void decide(uint64_t n, FlagsAt&& flags_at, const DehydrateParams& params,
            std::span<uint8_t> decisions) noexcept {
    const uint64_t protected_end = params.stable_prefix < n ? params.stable_prefix : n;
    if (!(params.half_life > 0.0f)) {
        // Not a half-life the callers pass (they floor it at 0.1), and one for which
        // the score need not fall with age: score every message.
        for (uint64_t k = 0; k < n; ++k) {
            const SignalFlags flags = flags_at(k);
            decisions[k] = k < protected_end || is_durable(flags) ||
                           survival_score(n - 1 - k, params.half_life, decaying_weight(flags)) >=
                               params.safe_threshold;
        }
        return;
    }
    // The same decisions as comparing each message's survival_score with the
    // threshold (false for NaN), without an exponential per message, and without
    // a branch on the class, which a mixed history would mispredict.
    SurvivalLimits limits(n, params);
    for (uint64_t k = 0; k < n; ++k) {
        const uint64_t age = n - 1 - k;
        const bool keep = (k < protected_end) | (age < limits.limit(flags_at(k)));
        decisions[k] = keep ? 1 : 0;
    }
}

}  // namespace

void one_pass_dehydrate(const MessageBatch& batch, const DehydrateParams& params,
                        std::span<uint8_t> decisions) noexcept {
    decide(batch.size(), [&batch](uint64_t k) { return batch.flags(k); }, params, decisions);
}

void one_pass_decisions(std::span<const SignalFlags> flags, const DehydrateParams& params,
                        std::span<uint8_t> decisions) noexcept {
    decide(flags.size(), [flags](uint64_t k) { return flags[k]; }, params, decisions);
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
        // Arithmetic rather than a branch: kept and purged messages alternate at random.
        const uint64_t kept = decisions[k] != 0 ? 1 : 0;
        audit.blocks_kept += kept;
        audit.tokens_after += tokens & (0 - kept);
    }
    audit.blocks_purged = n - audit.blocks_kept;
    audit.reduction = audit.tokens_before == 0
                          ? 0.0
                          : 1.0 - static_cast<double>(audit.tokens_after) /
                                      static_cast<double>(audit.tokens_before);
    return audit;
}

}  // namespace qm
