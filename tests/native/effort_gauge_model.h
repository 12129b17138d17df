// A plain model of the effort gauge's signals, as the gauge was first written:
// lowercase the whole text, split the copy, trim by decoding every character,
// look words up in the plain lists and count distinct words in an ordered set.
// Shared by tests/native/text_kernels_test.cpp and fuzz/fuzz_effort_gauge.cpp,
// which hold the one-pass gauge to it on any bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "text/effort_gauge.h"
#include "text/unicode_props.h"
#include "text/utf8.h"
#include "text/words.h"

namespace model {

inline constexpr std::string_view kHardStems[] = {
    "design", "architect", "optimi", "refactor", "implement", "analy", "compar", "debug", "deriv",
    "evaluat", "integrat", "migrat", "audit", "projet", "arquitet", "otimiz", "refator", "implement",
    "analis", "planej", "avali", "estud", "viabilid", "estrateg", "constru", "desenvolv", "valid",
    "verific", "revis", "integr", "corrij", "corrig", "diagnostic", "investig"};
inline constexpr std::string_view kHardWords[] = {
    "why", "how", "bug", "plan", "erro", "gere", "prove", "error", "falha", "monte", "prova",
    "broken", "depure", "compare"};
inline constexpr std::string_view kConstraintWords[] = {
    "must", "never", "always", "without", "ensure", "require", "requirement", "constraint",
    "invariant", "except", "deve", "nunca", "sempre", "sem", "garanta", "requisito",
    "restri\xC3\xA7\xC3\xA3o", "restricao", "invariante", "exceto", "obrigat\xC3\xB3rio", "obrigatorio"};
inline constexpr std::string_view kCodeKeywords[] = {
    "fn", "def", "class", "import", "return", "const", "let", "select", "async", "struct", "impl",
    "function", "var", "pub"};
inline constexpr std::string_view kTrivialWords[] = {
    "ok", "okay", "yes", "no", "thanks", "continue", "sure", "great", "good", "sim", "n\xC3\xA3o",
    "nao", "obrigado", "obrigada", "continue", "prossiga", "segue", "beleza", "certo", "show", "valeu"};

template <size_t N>
bool listed(const std::string_view (&list)[N], std::string_view t) {
    return std::find(std::begin(list), std::end(list), t) != std::end(list);
}

inline std::string_view trim(std::string_view word) {
    size_t first = std::string_view::npos, end = 0, pos = 0;
    while (pos < word.size()) {
        const size_t start = pos;
        const char32_t cp = qm::utf8::decode(word, pos);
        const bool keep = cp < 0x80 ? qm::is_alphanumeric(cp) : pos - start > 1 && qm::is_alphanumeric(cp);
        if (keep) {
            if (first == std::string_view::npos) first = start;
            end = pos;
        }
    }
    return first == std::string_view::npos ? std::string_view() : word.substr(first, end - first);
}

/// The signals of `text` by the plain method; false and the first difference
/// in `why` when `g` disagrees.
inline bool same_signals(std::string_view text, const qm::EffortGauge& g, const char** why) {
    std::string lower;
    qm::append_lowercase(lower, text);
    uint64_t digits = 0, symbols = 0, words = 0, hard = 0, constraint = 0, code = 0, trivial = 0;
    for (char c : lower) {
        digits += c >= '0' && c <= '9';
        symbols += std::string_view("();<=>`{}").find(c) != std::string_view::npos;
    }
    std::set<std::string> seen;
    qm::for_each_word(lower, [&](std::string_view w) {
        ++words;
        seen.insert(std::string(w));
        const std::string_view t = trim(w);
        if (t.empty()) return;
        bool stem = false;
        for (std::string_view s : kHardStems) stem |= t.starts_with(s);
        hard += stem || listed(kHardWords, t);
        constraint += listed(kConstraintWords, t);
        code += listed(kCodeKeywords, t);
        trivial += listed(kTrivialWords, t);
    });
    const qm::EffortSignals& s = g.signals;
    const float digit_ratio = lower.empty() ? 0.0f : static_cast<float>(digits) / static_cast<float>(lower.size());
    const float novelty = words == 0 ? 0.0f : static_cast<float>(seen.size()) / static_cast<float>(words);
    *why = s.words != words ? "words" : s.hard_hits != hard ? "hard_hits"
         : s.constraint_hits != constraint ? "constraint_hits"
         : s.code_hits != code + symbols / 6 ? "code_hits"
         : s.trivial_hits != trivial ? "trivial_hits"
         : s.digit_ratio != digit_ratio ? "digit_ratio"
         : s.novelty != novelty ? "novelty" : nullptr;
    return *why == nullptr;
}

}  // namespace model
