// Scores how much reasoning effort a request deserves from lexical signals.
#pragma once

#include <cstdint>
#include <string_view>

namespace qm {

/// The raw signals of one gauged text; floats are single precision by contract.
struct EffortSignals {
    uint64_t words = 0;
    float len_score = 0.0f;
    uint64_t hard_hits = 0;
    uint64_t constraint_hits = 0;
    uint64_t code_hits = 0;
    float digit_ratio = 0.0f;
    float novelty = 0.0f;
    uint64_t trivial_hits = 0;
};

enum class EffortTier { Off, Low, Medium, High };

struct EffortGauge {
    float score = 0.0f;
    EffortTier tier = EffortTier::Off;
    uint32_t budget_tokens = 0;
    EffortSignals signals;
};

/// Gauges `text` (UTF-8): lowercases it, measures the signals and maps the
/// capped score to a tier and its reasoning-token budget.
EffortGauge effort_gauge(std::string_view text);

/// "off", "low", "medium" or "high".
const char* effort_tier_name(EffortTier tier) noexcept;

}  // namespace qm
