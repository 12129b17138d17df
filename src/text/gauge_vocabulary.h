// The effort gauge's vocabularies and the classifier of a trimmed, lowercased word
// against them, built at compile time.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qm::gauge {

using namespace std::string_view_literals;

// The vocabularies keep their historical duplicates ("implement", "continue"):
// a word counts at most once, so they change no result.
inline constexpr std::array kHardStems = {
    "design"sv,   "architect"sv, "optimi"sv,   "refactor"sv, "implement"sv,  "analy"sv,
    "compar"sv,   "debug"sv,     "deriv"sv,    "evaluat"sv,  "integrat"sv,   "migrat"sv,
    "audit"sv,    "projet"sv,    "arquitet"sv, "otimiz"sv,   "refator"sv,    "implement"sv,
    "analis"sv,   "planej"sv,    "avali"sv,    "estud"sv,    "viabilid"sv,   "estrateg"sv,
    "constru"sv,  "desenvolv"sv, "valid"sv,    "verific"sv,  "revis"sv,      "integr"sv,
    "corrij"sv,   "corrig"sv,    "diagnostic"sv, "investig"sv,
};

inline constexpr std::array kHardWords = {
    "why"sv,   "how"sv,   "bug"sv,   "plan"sv,  "erro"sv,   "gere"sv,   "prove"sv,
    "error"sv, "falha"sv, "monte"sv, "prova"sv, "broken"sv, "depure"sv, "compare"sv,
};

inline constexpr std::array kConstraintWords = {
    "must"sv,      "never"sv,      "always"sv,     "without"sv,    "ensure"sv,
    "require"sv,   "requirement"sv, "constraint"sv, "invariant"sv, "except"sv,
    "deve"sv,      "nunca"sv,      "sempre"sv,     "sem"sv,        "garanta"sv,
    "requisito"sv, "restrição"sv,  "restricao"sv,  "invariante"sv, "exceto"sv,
    "obrigatório"sv, "obrigatorio"sv,
};

inline constexpr std::array kCodeKeywords = {
    "fn"sv,     "def"sv,    "class"sv,  "import"sv, "return"sv, "const"sv,    "let"sv,
    "select"sv, "async"sv,  "struct"sv, "impl"sv,   "function"sv, "var"sv,    "pub"sv,
};

inline constexpr std::array kTrivialWords = {
    "ok"sv,     "okay"sv,     "yes"sv,      "no"sv,       "thanks"sv, "continue"sv, "sure"sv,
    "great"sv,  "good"sv,     "sim"sv,      "não"sv,      "nao"sv,    "obrigado"sv, "obrigada"sv,
    "continue"sv, "prossiga"sv, "segue"sv,  "beleza"sv,   "certo"sv,  "show"sv,     "valeu"sv,
};

/// What a whole-word match counts as; a word may count in several lists.
enum WordKind : uint8_t { kHardWord = 1, kConstraintWord = 2, kCodeKeyword = 4, kTrivialWord = 8 };

/// Every vocabulary entry begins with a lowercase ASCII letter.
inline constexpr size_t kLetters = 26;
inline constexpr size_t kLongestWord = 16;  // bytes; longer trimmed words match no whole word

struct Entry {
    std::string_view text;
    uint8_t kinds = 0;
};

/// The whole-word lists and the stems, grouped by first letter (and the words
/// by length too): a trimmed word is compared only with the entries of its first
/// letter and length, and with the stems of its first letter. Membership is that
/// of the plain lists.
struct Lexicon {
    std::array<Entry, 128> words{};
    std::array<std::string_view, kHardStems.size()> stems{};
    // Words of letter l and length n: [word_begin[l * kLongestWord + n], the next).
    std::array<uint8_t, kLetters * kLongestWord + 1> word_begin{};
    std::array<uint8_t, kLetters + 1> stem_begin{};
    std::array<uint8_t, kLetters> shortest_stem{};
    // Bit prefix_bit(e) is set for every word and stem e. A word can match an
    // entry only when its own bit is set, and most words of a text fail this one
    // test: they differ from every entry in their first three bytes.
    static constexpr unsigned kPrefixBits = 12;
    std::array<uint64_t, (size_t{1} << kPrefixBits) / 64> prefixes{};
    size_t word_count = 0;

    constexpr Lexicon() {
        const auto add = [&](std::string_view w, uint8_t kind) {
            for (size_t i = 0; i < word_count; ++i) {
                if (words[i].text == w) {
                    words[i].kinds |= kind;
                    return;
                }
            }
            words[word_count++] = Entry{w, kind};
        };
        for (auto w : kHardWords) add(w, kHardWord);
        for (auto w : kConstraintWords) add(w, kConstraintWord);
        for (auto w : kCodeKeywords) add(w, kCodeKeyword);
        for (auto w : kTrivialWords) add(w, kTrivialWord);
        std::sort(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(word_count),
                  [](const Entry& a, const Entry& b) {
                      if (a.text[0] != b.text[0]) return a.text[0] < b.text[0];
                      if (a.text.size() != b.text.size()) return a.text.size() < b.text.size();
                      return a.text < b.text;
                  });
        for (size_t i = 0; i < kHardStems.size(); ++i) stems[i] = kHardStems[i];
        std::sort(stems.begin(), stems.end());
        const auto mark = [&](std::string_view w) {
            if (w.size() < 2) throw "a one-letter vocabulary word would escape the prefix test";
            const unsigned bit = prefix_bit(w);
            prefixes[bit / 64] |= uint64_t{1} << (bit % 64);
        };
        for (size_t i = 0; i < word_count; ++i) mark(words[i].text);
        for (auto stem : stems) mark(stem);
        size_t w = 0;
        for (size_t bucket = 0; bucket < kLetters * kLongestWord; ++bucket) {
            word_begin[bucket] = static_cast<uint8_t>(w);
            const char letter = static_cast<char>('a' + bucket / kLongestWord);
            while (w < word_count && words[w].text[0] == letter &&
                   words[w].text.size() == bucket % kLongestWord) {
                ++w;
            }
        }
        word_begin[kLetters * kLongestWord] = static_cast<uint8_t>(w);
        if (w != word_count) throw "a vocabulary word is too long for the index";
        for (size_t letter = 0, t = 0; letter < kLetters; ++letter) {
            stem_begin[letter] = static_cast<uint8_t>(t);
            shortest_stem[letter] = 0xFF;
            while (t < stems.size() && stems[t][0] == static_cast<char>('a' + letter)) {
                shortest_stem[letter] = std::min<uint8_t>(shortest_stem[letter],
                                                          static_cast<uint8_t>(stems[t].size()));
                ++t;
            }
            stem_begin[letter + 1] = static_cast<uint8_t>(t);
        }
    }

    /// A bit for the first two bytes of `w` (at least two) and its third byte,
    /// or zero for a word of two: a word equal to an entry, or beginning with a
    /// stem, has the entry's bit.
    static constexpr unsigned prefix_bit(std::string_view w) {
        const uint32_t third = w.size() == 2 ? 0 : static_cast<unsigned char>(w[2]);
        const uint32_t key = static_cast<unsigned char>(w[0]) |
                             uint32_t{static_cast<unsigned char>(w[1])} << 8 | third << 16;
        return (key * 0x9E3779B1u) >> (32 - kPrefixBits);
    }

    /// True when the bytes at `p` begin with `entry`.
    static constexpr bool equal(std::string_view entry, const char* p) {
        if (std::is_constant_evaluated()) return entry == std::string_view(p, entry.size());
        return same_bytes(entry.data(), p, entry.size());
    }

    /// The kinds of the whole word `t` (not empty) plus kHardWord when it begins
    /// with a stem.
    constexpr uint8_t classify(std::string_view t) const {
        const unsigned letter = static_cast<unsigned char>(t[0]) - 'a';
        if (letter >= kLetters || t.size() < 2) return 0;
        const unsigned bit = prefix_bit(t);
        if (!(prefixes[bit / 64] >> (bit % 64) & 1)) return 0;
        uint8_t kinds = 0;
        if (t.size() < kLongestWord) {
            const size_t bucket = letter * kLongestWord + t.size();
            for (size_t i = word_begin[bucket]; i < word_begin[bucket + 1]; ++i) {
                if (equal(words[i].text, t.data())) {
                    kinds = words[i].kinds;
                    break;
                }
            }
        }
        if (!(kinds & kHardWord) && t.size() >= shortest_stem[letter]) {
            for (size_t i = stem_begin[letter]; i < stem_begin[letter + 1]; ++i) {
                if (stems[i].size() <= t.size() && equal(stems[i], t.data())) {
                    return kinds | kHardWord;
                }
            }
        }
        return kinds;
    }
};

inline constexpr Lexicon kLexicon;

static_assert(kLexicon.classify("debugging") == kHardWord);
static_assert(kLexicon.classify("redesign") == 0);
static_assert(kLexicon.classify("compare") == kHardWord);
static_assert(kLexicon.classify("não") == kTrivialWord && kLexicon.classify("na") == 0);
static_assert(kLexicon.classify("obrigatório") == kConstraintWord);
static_assert(kLexicon.classify("continue") == kTrivialWord);
static_assert(kLexicon.classify("fn") == kCodeKeyword && kLexicon.classify("f") == 0);

}  // namespace qm::gauge
