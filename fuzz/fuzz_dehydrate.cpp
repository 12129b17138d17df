// Fuzz target: the one-pass dehydrate decision and its audit over a message
// history decoded from the input.
#include <cmath>
#include <cstdint>
#include <vector>

#include "context/message_batch.h"
#include "context/one_pass_dehydrate.h"
#include "context/signal_class.h"
#include "fuzz_support.h"

namespace {

/// Flags with the class bits first and, now and then, unrelated high bits.
uint32_t consume_flags(FuzzedDataProvider& in) {
    const uint8_t byte = in.ConsumeIntegral<uint8_t>();
    uint32_t flags = byte & 0x3F;
    if (byte & 0x40) flags |= 0x80000000u;
    if (byte & 0x80) flags |= in.ConsumeIntegral<uint32_t>();
    return flags;
}

/// Weight of a non-durable message by class, written out from the class table.
float class_weight(uint32_t flags) {
    if (flags & 6) return 1.0f;    // USER, ASSISTANT
    if (flags & 32) return 0.15f;  // THINKING
    if (flags & 16) return 0.25f;  // TOOL
    return 0.6f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    qm::DehydrateParams params{};
    const float raw_half_life = fuzz::consume_float(in, -2.0f, 40.0f);
    params.half_life = qm::effective_half_life(raw_half_life);
    params.safe_threshold = fuzz::consume_float(in, -0.5f, 1.5f);
    params.stable_prefix = in.ConsumeBool() ? in.ConsumeIntegral<uint64_t>()
                                            : in.ConsumeIntegralInRange<uint64_t>(0, 40);

    qm::MessageBatch batch;
    std::vector<std::string> texts;
    std::vector<uint32_t> flags;
    while (in.remaining_bytes() > 0 && texts.size() < 4096) {
        flags.push_back(consume_flags(in));
        texts.push_back(fuzz::to_valid_utf8(in.ConsumeRandomLengthString(24)));
        batch.add(texts.back(), flags.back());
    }
    const size_t n = texts.size();
    FUZZ_CHECK(batch.size() == n);

    // The half-life floor: NaN, zero and negatives become 0.1, others at least 0.1.
    FUZZ_CHECK(params.half_life >= 0.1f);
    if (raw_half_life >= 0.1f) FUZZ_CHECK(params.half_life == raw_half_life);

    std::vector<uint8_t> decisions(n, 0xAA);
    qm::one_pass_dehydrate(batch, params, decisions);
    std::vector<uint8_t> again(n, 0x55);
    qm::one_pass_dehydrate(batch, params, again);
    FUZZ_CHECK(decisions == again);

    const uint64_t protected_end = params.stable_prefix < n ? params.stable_prefix : n;
    for (size_t k = 0; k < n; ++k) {
        FUZZ_CHECK(decisions[k] == 0 || decisions[k] == 1);
        FUZZ_CHECK(batch.text(k) == texts[k] && batch.flags(k) == flags[k]);
        if (k < protected_end || (flags[k] & 9) != 0) {
            FUZZ_CHECK(decisions[k] == 1);
            continue;
        }
        const uint64_t age = n - 1 - k;
        const float w = class_weight(flags[k]);
        const float score = qm::survival_score(age, params.half_life, w);
        // 2^(-age / half_life) lies in (0, 1], so the score never exceeds its weight.
        FUZZ_CHECK(score >= 0.0f && score <= w);
        // The pass scores only a few ages per weight; its decision must be this score's.
        FUZZ_CHECK(decisions[k] == (score >= params.safe_threshold ? 1 : 0));
        if (std::isnan(params.safe_threshold)) FUZZ_CHECK(decisions[k] == 0);
        // Away from the threshold, a double-precision evaluation must agree.
        // Single-precision rounding of the exponent x moves 2^-x by about
        // x * ln 2 * 2^-24 relative; a few ulps more for the other steps, and an
        // absolute floor for the subnormal range.
        const double x = static_cast<double>(age) / params.half_life;
        const double exact = std::exp2(-x) * w;
        const double margin = exact * (x * 0.7 + 8.0) * 1.2e-7 + 1e-36;
        if (exact > params.safe_threshold + margin) FUZZ_CHECK(decisions[k] == 1);
        if (exact < params.safe_threshold - margin) FUZZ_CHECK(decisions[k] == 0);
    }
    // Older messages of one class never outlive newer ones of the same class.
    for (size_t k = protected_end; k + 1 < n; ++k) {
        if (decisions[k] == 0 || (flags[k] & 9) != 0) continue;
        for (size_t j = k + 1; j < n; ++j) {
            if ((flags[j] & 9) == 0 && class_weight(flags[j]) == class_weight(flags[k])) {
                FUZZ_CHECK(decisions[j] == 1);
            }
        }
    }

    const qm::DehydrateAudit audit = qm::audit_dehydration(batch, params.stable_prefix, decisions);
    uint64_t before = 0, after = 0, prefix = 0, kept = 0;
    std::vector<std::string_view> kept_texts;
    for (size_t k = 0; k < n; ++k) {
        const uint64_t tokens = texts[k].size() / 4 + 1;
        before += tokens;
        if (k < protected_end) prefix += tokens;
        if (decisions[k]) {
            after += tokens;
            ++kept;
            kept_texts.push_back(batch.text(k));
        }
    }
    FUZZ_CHECK(audit.blocks_in == n);
    FUZZ_CHECK(audit.blocks_kept == kept);
    FUZZ_CHECK(audit.blocks_kept + audit.blocks_purged == audit.blocks_in);
    FUZZ_CHECK(audit.tokens_before == before && audit.tokens_after == after);
    FUZZ_CHECK(audit.tokens_after <= audit.tokens_before);
    FUZZ_CHECK(audit.stable_prefix_tokens == prefix && prefix <= before);
    FUZZ_CHECK(audit.reduction >= 0.0 && audit.reduction <= 1.0);
    FUZZ_CHECK((audit.reduction == 0.0) == (after == before));
    // The kept texts are the inputs, in input order: an order-preserving subsequence.
    size_t j = 0;
    for (size_t k = 0; k < n && j < kept_texts.size(); ++k) {
        if (kept_texts[j].data() == batch.text(k).data() && kept_texts[j] == texts[k]) ++j;
    }
    FUZZ_CHECK(j == kept_texts.size());
    return 0;
}
