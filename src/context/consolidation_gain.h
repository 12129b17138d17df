// The economics of rewriting a provider-cached prompt prefix.
#pragma once

#include <cstdint>

namespace qm {

struct ConsolidationGain {
    bool consolidate;
    double gain_token_equiv;
    double cost_keep;
    double cost_consolidate;
    double break_even_calls;
};

/// `calls_ahead` of 0 counts as 1. Every operation is rounded to double in the
/// documented order; callers compare these figures bit for bit.
ConsolidationGain consolidation_gain(uint64_t prefix_tokens, uint64_t purgeable_tokens,
                                     uint32_t calls_ahead, double cache_read_ratio,
                                     double cache_write_ratio) noexcept;

}  // namespace qm
