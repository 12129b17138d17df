// Keep-versus-consolidate costs in input-token equivalents.
#include "consolidation_gain.h"

#include <limits>

namespace qm {

ConsolidationGain consolidation_gain(uint64_t prefix_tokens, uint64_t purgeable_tokens,
                                     uint32_t calls_ahead, double q, double w) noexcept {
    const uint64_t purged = purgeable_tokens < prefix_tokens ? purgeable_tokens : prefix_tokens;
    const uint64_t remaining = prefix_tokens - purged;
    const double r = static_cast<double>(remaining);
    const double p = static_cast<double>(prefix_tokens);
    const double c = static_cast<double>(calls_ahead == 0 ? 1u : calls_ahead);

    ConsolidationGain out{};
    out.break_even_calls = purged == 0 ? std::numeric_limits<double>::infinity()
                                       : ((w - q) * r) / ((p - r) * q);
    out.cost_keep = (p * c) * q;
    const double read_after = ((c - 1.0) * r) * q;
    const double write_now = w * r;
    out.cost_consolidate = read_after + write_now;
    out.gain_token_equiv = out.cost_keep - out.cost_consolidate;
    out.consolidate = out.gain_token_equiv > 0.0;
    return out;
}

}  // namespace qm
