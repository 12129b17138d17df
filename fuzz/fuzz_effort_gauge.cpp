// Fuzz target: effort_gauge on raw bytes and on well-formed UTF-8: the signals of
// the plain model, ranges, tier table, cap rule, and invariance under ASCII
// uppercasing.
#include <cstdint>
#include <string>
#include <string_view>

#include "text/effort_gauge.h"
#include "../tests/native/effort_gauge_model.h"
#include "fuzz_support.h"

namespace {

/// Every signal and the score stay in their documented ranges.
void check_ranges(const qm::EffortGauge& g, size_t code_symbols) {
    const qm::EffortSignals& s = g.signals;
    FUZZ_CHECK(g.score >= 0.0f && g.score <= 1.0f);
    FUZZ_CHECK(s.len_score >= 0.0f && s.len_score <= 1.0f);
    FUZZ_CHECK(s.digit_ratio >= 0.0f && s.digit_ratio <= 1.0f);
    FUZZ_CHECK(s.novelty >= 0.0f && s.novelty <= 1.0f);
    FUZZ_CHECK((s.novelty > 0.0f) == (s.words > 0));
    FUZZ_CHECK(s.hard_hits <= s.words && s.constraint_hits <= s.words && s.trivial_hits <= s.words);
    // Code symbols are ASCII, which lowercasing leaves alone: the symbol share is exact.
    FUZZ_CHECK(s.code_hits >= code_symbols / 6);
    FUZZ_CHECK(s.code_hits - code_symbols / 6 <= s.words);
    // The tier follows the capped score; the budget follows the tier.
    using qm::EffortTier;
    if (g.score >= 0.7f) {
        FUZZ_CHECK(g.tier == EffortTier::High);
    } else if (g.score >= 0.4f) {
        FUZZ_CHECK(g.tier == EffortTier::Medium);
    } else if (g.score >= 0.15f) {
        FUZZ_CHECK(g.tier == EffortTier::Low);
    } else {
        const bool lifted = s.hard_hits >= 1 && s.words >= 4 && g.score > 0.05f;
        FUZZ_CHECK(g.tier == (lifted ? EffortTier::Low : EffortTier::Off));
    }
    constexpr uint32_t kBudgets[] = {0, 1024, 4096, 16384};
    FUZZ_CHECK(g.budget_tokens == kBudgets[static_cast<int>(g.tier)]);
    const bool short_plain = s.words <= 7 && s.hard_hits == 0 && s.code_hits == 0;
    const bool acknowledgement = s.words < 4 && s.trivial_hits >= 1;
    if (short_plain || acknowledgement) FUZZ_CHECK(g.score <= 0.05f);
}

size_t count_code_symbols(std::string_view text) {
    size_t n = 0;
    for (char c : text) n += std::string_view("();<=>`{}").find(c) != std::string_view::npos;
    return n;
}

bool same_gauge(const qm::EffortGauge& a, const qm::EffortGauge& b) {
    const qm::EffortSignals &x = a.signals, &y = b.signals;
    return fuzz::same_float(a.score, b.score) && a.tier == b.tier &&
           a.budget_tokens == b.budget_tokens && x.words == y.words &&
           fuzz::same_float(x.len_score, y.len_score) && x.hard_hits == y.hard_hits &&
           x.constraint_hits == y.constraint_hits && x.code_hits == y.code_hits &&
           fuzz::same_float(x.digit_ratio, y.digit_ratio) && fuzz::same_float(x.novelty, y.novelty) &&
           x.trivial_hits == y.trivial_hits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    // Not reachable from Python (a str is always well-formed), but the kernel
    // promises to survive any bytes: malformed ones are copied through unchanged.
    const qm::EffortGauge from_raw = qm::effort_gauge(raw);
    check_ranges(from_raw, count_code_symbols(raw));
    // The one-pass gauge equals the plain lowercase-split-trim-look-up model,
    // on raw bytes as on text.
    const char* why = nullptr;
    FUZZ_CHECK(model::same_signals(raw, from_raw, &why));

    FuzzedDataProvider in(data, size);
    const std::string text = fuzz::consume_text(in, 256);
    const qm::EffortGauge g = qm::effort_gauge(text);
    check_ranges(g, count_code_symbols(text));
    FUZZ_CHECK(model::same_signals(text, g, &why));
    // Lowercasing never creates or removes White_Space, so the split of the
    // input text counts the same words.
    FUZZ_CHECK(g.signals.words == fuzz::reference_words(text).size());
    FUZZ_CHECK(same_gauge(g, qm::effort_gauge(text)));

    // ASCII letters are cased in both forms, so uppercasing them changes neither
    // the lowercased text nor the sigma context: every signal stays bit for bit.
    std::string upper = text;
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    FUZZ_CHECK(same_gauge(g, qm::effort_gauge(upper)));
    return 0;
}
