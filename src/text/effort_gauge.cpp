// The effort gauge: lexical signals of a request folded into a score, a tier and
// a reasoning-token budget. All real arithmetic is single precision, in the
// order the callers rely on bit for bit.
#include "effort_gauge.h"

#include <algorithm>
#include <memory>

#include "common/flat_sets.h"
#include "common/hash_key.h"
#include "common/siphash.h"
#include "gauge_vocabulary.h"
#include "unicode_props.h"
#include "utf8.h"
#include "words.h"

// The word step is called from the three places of the split; inlined, it
// shares the pass's registers instead of a call per word.
#if defined(__GNUC__)
#define QM_ALWAYS_INLINE __attribute__((always_inline))
#else
#define QM_ALWAYS_INLINE
#endif

namespace qm {
namespace {

using namespace gauge;

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

/// ASCII letters and digits: the Alphabetic or numeric characters below 0x80.
inline bool is_ascii_alphanumeric(unsigned char byte) {
    return static_cast<unsigned>(byte - '0') < 10u ||
           static_cast<unsigned>((byte | 0x20) - 'a') < 26u;
}

/// The word without its leading and trailing characters that are neither
/// alphabetic nor numeric; empty when none is. Decodes every character.
std::string_view trim_decoding(std::string_view word) {
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

/// True when the two bytes of `word` at `at` are one alphanumeric character. A
/// non-ASCII letter of Latin or Greek script is such a character in UTF-8.
inline bool two_byte_alphanumeric(std::string_view word, size_t at) {
    const char32_t cp = utf8::two_byte_at(word.data() + at, word.size() - at);
    return cp != 0 && is_alphanumeric(cp);
}

/// `trim_decoding`, without decoding when the characters it strips and the ones
/// it stops at are ASCII (most words). An ASCII byte is always a character of its
/// own, whatever precedes it, so stepping over them from either end is exact.
inline std::string_view trim(std::string_view word) {
    size_t first = 0;
    size_t last = word.size();
    for (;; ++first) {
        if (first == last) return {};
        const auto byte = static_cast<unsigned char>(word[first]);
        if (byte >= 0x80) {
            if (!two_byte_alphanumeric(word, first)) return trim_decoding(word);
            break;
        }
        if (is_ascii_alphanumeric(byte)) break;
    }
    for (;; --last) {  // stops at word[first] at the latest
        const auto byte = static_cast<unsigned char>(word[last - 1]);
        if (byte >= 0x80) {
            // A two-byte letter ending the word keeps it (most accented words):
            // its lead is no continuation byte, so decoding starts there too.
            if (!two_byte_alphanumeric(word, last - 2)) return trim_decoding(word);
            break;
        }
        if (is_ascii_alphanumeric(byte)) break;
    }
    return word.substr(first, last - first);
}

/// The lowercased copy of a text. A thread keeps one buffer for ordinary requests
/// (no allocation per call); a text too large for it gets a buffer of its own,
/// freed on return, so a huge request leaves no memory behind.
///
/// The copy starts half a page away from the text modulo the page size. Each
/// block is read from the text just after the one before was stored to the copy;
/// when the two sit at nearly the same offset within their pages, the processor
/// takes the read for one that may depend on the store and stalls it (4K
/// aliasing), which cost more than a third of the gauge's speed for such texts.
class LowerBuffer {
public:
    LowerBuffer(size_t size, const char* text) {
        char* base;
        if (size + kPage > kKept) {
            own_.reset(new char[size + kPage]);
            base = own_.get();
        } else {
            thread_local std::unique_ptr<char[]> kept;
            if (!kept) kept.reset(new char[kKept]);
            base = kept.get();
        }
        const auto from = reinterpret_cast<uintptr_t>(base);
        const auto target = reinterpret_cast<uintptr_t>(text) + kPage / 2;
        data_ = base + ((target - from) & (kPage - 1));
    }
    char* data() const noexcept { return data_; }

private:
    static constexpr size_t kPage = 4096;
    static constexpr size_t kKept = size_t{256} << 10;
    std::unique_ptr<char[]> own_;
    char* data_;
};

/// The short words already in the word set, one per slot of a small table: a
/// text repeats its short words (articles, prepositions, pronouns) so often that
/// most of them are found here, without the set's keyed hash and its lookup.
/// Only a word equal to an earlier one is ever found, so the distinct count is
/// exactly the set's. The slot is a keyed mix like the sets' (flat_sets.h), and
/// a miss costs only the set's usual path, so crafted words gain nothing.
class ShortWordCache {
public:
    /// Words of at most this many bytes are packed with their length in one word.
    static constexpr size_t kMaxBytes = 7;

    /// A cache for a text of `text_bytes`: a short text gets fewer slots to clear.
    explicit ShortWordCache(size_t text_bytes) noexcept
        : offset_(process_hash_key().k0), multiplier_(process_hash_key().k1 | 1) {
        // Both sizes are constants, so that clearing compiles to inline stores.
        // Cleared by a call to memset instead, the slots count as reachable from
        // every byte the gauge writes, and Portuguese prose ran a third slower.
        if (text_bytes < kSmallText) {
            shift_ = 64 - kSmallSlotBits;
            std::fill_n(slots_, size_t{1} << kSmallSlotBits, uint64_t{0});
        } else {
            shift_ = 64 - kSlotBits;
            std::fill_n(slots_, size_t{1} << kSlotBits, uint64_t{0});
        }
    }

    /// True when `word` (1 to kMaxBytes bytes, 7 readable bytes after it) is
    /// held; otherwise holds it from now on, in place of the word in its slot.
    bool seen(std::string_view word) noexcept {
        const uint64_t packed = load_le_padded(reinterpret_cast<const unsigned char*>(word.data()),
                                               word.size()) |
                                uint64_t{word.size()} << 56;
        uint64_t& slot = slots_[(packed ^ offset_) * multiplier_ >> shift_];
        if (slot == packed) return true;
        slot = packed;  // never zero, the empty mark: the length is at least one
        return false;
    }

private:
    static constexpr size_t kSmallText = 4096;
    static constexpr unsigned kSmallSlotBits = 6;
    static constexpr unsigned kSlotBits = 10;
    uint64_t slots_[size_t{1} << kSlotBits];  // the first 2^(64 - shift_) are used
    uint64_t offset_;
    uint64_t multiplier_;
    unsigned shift_;
};

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
    EffortGauge gauge;
    EffortSignals& s = gauge.signals;
    uint64_t distinct = 0;
    uint64_t keyword_hits = 0;

    // One pass: lowercase into the buffer, count digits and code symbols, and look
    // each word up as soon as its end is seen. The buffer's slack after the copy
    // gives the word set the readable bytes it needs past the last word.
    const size_t n = text.size();
    const size_t capacity = LowerInto::capacity_for(n);
    LowerBuffer buffer(capacity, text.data());
    LowerInto lowering{buffer.data(), capacity};
    ViewSet seen(n / 2 + 1);
    ShortWordCache short_words(n);
    const size_t lowered = scan_words(text, lowering, [&](std::string_view word) QM_ALWAYS_INLINE {
        ++s.words;
        if (word.size() > ShortWordCache::kMaxBytes || !short_words.seen(word)) {
            distinct += seen.insert(word);
        }
        const std::string_view t = trim(word);
        if (t.empty()) return;
        const uint8_t kinds = kLexicon.classify(t);
        if (kinds == 0) return;
        s.hard_hits += (kinds & kHardWord) != 0;
        s.constraint_hits += (kinds & kConstraintWord) != 0;
        keyword_hits += (kinds & kCodeKeyword) != 0;
        s.trivial_hits += (kinds & kTrivialWord) != 0;
    });

    s.code_hits = keyword_hits + lowering.symbols / kSymbolsPerCodeHit;
    s.digit_ratio = lowered == 0 ? 0.0f : ratio(lowering.digits, lowered);
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
