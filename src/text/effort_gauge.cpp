// The effort gauge: lexical signals of a request folded into a score, a tier and
// a reasoning-token budget. All real arithmetic is single precision, in the
// order the callers rely on bit for bit.
#include "effort_gauge.h"

#include <algorithm>
#include <array>
#include <string>

#include "common/flat_sets.h"
#include "unicode_props.h"
#include "utf8.h"
#include "words.h"

namespace qm {
namespace {

using namespace std::string_view_literals;

// The vocabularies keep their historical duplicates ("implement", "continue"):
// a word counts at most once, so they change no result.
constexpr std::array kHardStems = {
    "design"sv,   "architect"sv, "optimi"sv,   "refactor"sv, "implement"sv,  "analy"sv,
    "compar"sv,   "debug"sv,     "deriv"sv,    "evaluat"sv,  "integrat"sv,   "migrat"sv,
    "audit"sv,    "projet"sv,    "arquitet"sv, "otimiz"sv,   "refator"sv,    "implement"sv,
    "analis"sv,   "planej"sv,    "avali"sv,    "estud"sv,    "viabilid"sv,   "estrateg"sv,
    "constru"sv,  "desenvolv"sv, "valid"sv,    "verific"sv,  "revis"sv,      "integr"sv,
    "corrij"sv,   "corrig"sv,    "diagnostic"sv, "investig"sv,
};

constexpr std::array kHardWords = {
    "why"sv,   "how"sv,   "bug"sv,   "plan"sv,  "erro"sv,   "gere"sv,   "prove"sv,
    "error"sv, "falha"sv, "monte"sv, "prova"sv, "broken"sv, "depure"sv, "compare"sv,
};

constexpr std::array kConstraintWords = {
    "must"sv,      "never"sv,      "always"sv,     "without"sv,    "ensure"sv,
    "require"sv,   "requirement"sv, "constraint"sv, "invariant"sv, "except"sv,
    "deve"sv,      "nunca"sv,      "sempre"sv,     "sem"sv,        "garanta"sv,
    "requisito"sv, "restrição"sv,  "restricao"sv,  "invariante"sv, "exceto"sv,
    "obrigatório"sv, "obrigatorio"sv,
};

constexpr std::array kCodeKeywords = {
    "fn"sv,     "def"sv,    "class"sv,  "import"sv, "return"sv, "const"sv,    "let"sv,
    "select"sv, "async"sv,  "struct"sv, "impl"sv,   "function"sv, "var"sv,    "pub"sv,
};

constexpr std::array kTrivialWords = {
    "ok"sv,     "okay"sv,     "yes"sv,      "no"sv,       "thanks"sv, "continue"sv, "sure"sv,
    "great"sv,  "good"sv,     "sim"sv,      "não"sv,      "nao"sv,    "obrigado"sv, "obrigada"sv,
    "continue"sv, "prossiga"sv, "segue"sv,  "beleza"sv,   "certo"sv,  "show"sv,     "valeu"sv,
};

enum ByteClass : unsigned char { kOther = 0, kCodeSymbol = 1, kDigit = 2 };

/// Byte classes of the lowercased text: code symbols and ASCII digits.
constexpr std::array<unsigned char, 256> make_byte_classes() {
    std::array<unsigned char, 256> classes{};
    for (unsigned char c : std::string_view("();<=>`{}")) classes[c] = kCodeSymbol;
    for (unsigned char c = '0'; c <= '9'; ++c) classes[c] = kDigit;
    return classes;
}
constexpr std::array<unsigned char, 256> kByteClasses = make_byte_classes();

constexpr float kWordsForFullLength = 400.0f;
constexpr float kHardForFullTerm = 3.0f;
constexpr float kConstraintForFullTerm = 6.0f;
constexpr float kCodeForFullTerm = 12.0f;
constexpr float kDigitMultiplier = 8.0f;
constexpr uint64_t kSymbolsPerCodeHit = 6;
constexpr float kCap = 0.05f;
constexpr float kLowBound = 0.15f;
constexpr float kMediumBound = 0.4f;
constexpr float kHighBound = 0.7f;

/// A fixed word list grouped by first byte, so that a word is compared only
/// with the entries that begin like it; membership is that of the plain list.
template <size_t N>
class Vocabulary {
public:
    constexpr explicit Vocabulary(std::array<std::string_view, N> entries) : entries_(entries) {
        std::sort(entries_.begin(), entries_.end());
        for (size_t i = 0; i < N; ++i) {
            const auto first = static_cast<unsigned char>(entries_[i][0]);
            if (end_[first] == 0) begin_[first] = static_cast<uint8_t>(i);
            end_[first] = static_cast<uint8_t>(i + 1);
        }
    }

    /// True when `word` (not empty) equals an entry.
    constexpr bool contains(std::string_view word) const {
        const auto first = static_cast<unsigned char>(word[0]);
        for (size_t i = begin_[first]; i < end_[first]; ++i) {
            if (entries_[i] == word) return true;
        }
        return false;
    }

    /// True when `word` (not empty) begins with an entry.
    constexpr bool has_prefix_in(std::string_view word) const {
        const auto first = static_cast<unsigned char>(word[0]);
        for (size_t i = begin_[first]; i < end_[first]; ++i) {
            if (word.starts_with(entries_[i])) return true;
        }
        return false;
    }

private:
    std::array<std::string_view, N> entries_;
    std::array<uint8_t, 256> begin_{};
    std::array<uint8_t, 256> end_{};
};

constexpr Vocabulary kHardStemIndex(kHardStems);
constexpr Vocabulary kHardWordIndex(kHardWords);
constexpr Vocabulary kConstraintIndex(kConstraintWords);
constexpr Vocabulary kCodeKeywordIndex(kCodeKeywords);
constexpr Vocabulary kTrivialIndex(kTrivialWords);

static_assert(kHardStemIndex.has_prefix_in("debugging"));
static_assert(!kHardStemIndex.has_prefix_in("redesign"));
static_assert(kTrivialIndex.contains("não") && !kTrivialIndex.contains("na"));

/// ASCII letters and digits: the Alphabetic or numeric characters below 0x80.
inline bool is_ascii_alphanumeric(unsigned char byte) {
    return static_cast<unsigned>(byte - '0') < 10u ||
           static_cast<unsigned>((byte | 0x20) - 'a') < 26u;
}

/// The word without its leading and trailing characters that are neither
/// alphabetic nor numeric; empty when none is.
std::string_view trim(std::string_view word) {
    size_t first = std::string_view::npos;
    size_t end = 0;
    size_t pos = 0;
    while (pos < word.size()) {
        const size_t start = pos;
        const unsigned char byte = static_cast<unsigned char>(word[pos]);
        bool keep;
        if (byte < 0x80) {
            keep = is_ascii_alphanumeric(byte);
            ++pos;
        } else {
            const char32_t cp = utf8::decode(word, pos);
            keep = pos - start > 1 && is_alphanumeric(cp);  // a malformed byte is no letter
        }
        if (keep) {
            if (first == std::string_view::npos) first = start;
            end = pos;
        }
    }
    if (first == std::string_view::npos) return {};
    return word.substr(first, end - first);
}

/// Both counts rounded to single precision, then divided.
inline float ratio(uint64_t numerator, uint64_t denominator) {
    return static_cast<float>(numerator) / static_cast<float>(denominator);
}

}  // namespace

const char* effort_tier_name(EffortTier tier) noexcept {
    switch (tier) {
        case EffortTier::Low: return "low";
        case EffortTier::Medium: return "medium";
        case EffortTier::High: return "high";
        case EffortTier::Off: break;
    }
    return "off";
}

EffortGauge effort_gauge(std::string_view text) {
    std::string lower;
    append_lowercase(lower, text);

    EffortGauge gauge;
    EffortSignals& s = gauge.signals;

    uint64_t symbols = 0;
    uint64_t digits = 0;
    for (const char c : lower) {
        const unsigned char cls = kByteClasses[static_cast<unsigned char>(c)];
        symbols += cls == kCodeSymbol;
        digits += cls == kDigit;
    }

    for_each_word(lower, [&](std::string_view) { ++s.words; });
    uint64_t distinct = 0;
    uint64_t keyword_hits = 0;
    if (s.words != 0) {
        ViewSet seen(s.words);
        for_each_word(lower, [&](std::string_view word) {
            distinct += seen.insert(word);
            const std::string_view t = trim(word);
            if (t.empty()) return;
            s.hard_hits += kHardStemIndex.has_prefix_in(t) || kHardWordIndex.contains(t);
            s.constraint_hits += kConstraintIndex.contains(t);
            keyword_hits += kCodeKeywordIndex.contains(t);
            s.trivial_hits += kTrivialIndex.contains(t);
        });
    }
    s.code_hits = keyword_hits + symbols / kSymbolsPerCodeHit;
    s.digit_ratio = lower.empty() ? 0.0f : ratio(digits, lower.size());
    s.novelty = s.words == 0 ? 0.0f : ratio(distinct, s.words);
    s.len_score = std::min(static_cast<float>(s.words) / kWordsForFullLength, 1.0f);

    const float hard = std::min(static_cast<float>(s.hard_hits) / kHardForFullTerm, 1.0f);
    const float constraint =
        std::min(static_cast<float>(s.constraint_hits) / kConstraintForFullTerm, 1.0f);
    const float code = std::min(static_cast<float>(s.code_hits) / kCodeForFullTerm, 1.0f);
    const float digit = std::min(kDigitMultiplier * s.digit_ratio, 1.0f);
    const float base =
        (((0.3f * s.len_score + 0.25f * hard) + 0.2f * constraint) + 0.15f * code) + 0.1f * digit;
    const float raw = (0.5f * s.novelty + 0.5f) * base;
    float score = std::min(std::max(raw, 0.0f), 1.0f);

    const bool short_plain = s.words <= 7 && s.hard_hits == 0 && s.code_hits == 0;
    const bool acknowledgement = s.words < 4 && s.trivial_hits >= 1;
    if (short_plain || acknowledgement) score = std::min(score, kCap);
    gauge.score = score;

    if (score < kLowBound) {
        const bool lifted = s.hard_hits >= 1 && s.words >= 4 && score > kCap;
        gauge.tier = lifted ? EffortTier::Low : EffortTier::Off;
    } else if (score < kMediumBound) {
        gauge.tier = EffortTier::Low;
    } else if (score < kHighBound) {
        gauge.tier = EffortTier::Medium;
    } else {
        gauge.tier = EffortTier::High;
    }
    constexpr uint32_t kBudgets[] = {0, 1024, 4096, 16384};
    gauge.budget_tokens = kBudgets[static_cast<int>(gauge.tier)];
    return gauge;
}

}  // namespace qm
