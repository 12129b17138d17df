// A word is what `\w[\w./:-]*\w|\w` matches: each run of word characters and the four
// joining marks, less the marks at its ends (a match must start and end on a word
// character, and the greedy middle backs off only to the run's last one). The pieces of
// a word are what splitting it at `[/.:_-]` leaves: its runs of letters and digits.
#include "lookup_terms.h"

#include <cstdint>
#include <stdexcept>

#include "common/flat_sets.h"

namespace qm {
namespace {

bool is_alnum(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}
bool is_word(char c) noexcept { return is_alnum(c) || c == '_'; }
bool is_mark(char c) noexcept { return c == '.' || c == '/' || c == ':' || c == '-'; }

// The hash set reads whole words past a view's end: the copy keeps that many bytes more.
constexpr size_t kPadding = 8;

}  // namespace

std::optional<std::vector<std::string_view>> lookup_terms(std::string_view text,
                                                          std::string& lowered) {
    const size_t n = text.size();
    if (n > SIZE_MAX - kPadding) throw std::length_error("capacity overflow");
    lowered.assign(n + kPadding, '\0');
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
        lowered[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    }
    const char* s = lowered.data();
    std::vector<std::string_view> found;
    ViewSet seen(n / 4 + 1);
    auto add = [&](size_t start, size_t end) {
        const std::string_view word(s + start, end - start);
        if (seen.insert(word)) found.push_back(word);
    };
    for (size_t i = 0; i < n;) {
        if (!is_word(s[i])) {
            ++i;
            continue;
        }
        size_t last = i;  // the run's last word character
        size_t end = i;
        bool joined = false;
        for (; end < n && (is_word(s[end]) || is_mark(s[end])); ++end) {
            if (is_word(s[end])) last = end;
        }
        for (size_t k = i; k <= last; ++k) joined |= !is_alnum(s[k]);
        add(i, last + 1);
        if (joined) {
            for (size_t k = i; k <= last;) {
                if (!is_alnum(s[k])) {
                    ++k;
                    continue;
                }
                const size_t start = k;
                while (k <= last && is_alnum(s[k])) ++k;
                add(start, k);
            }
        }
        i = end;  // what the run holds past its last word character is marks
    }
    // Singulars of the words and pieces found, not of one another.
    const size_t words = found.size();
    for (size_t k = 0; k < words; ++k) {
        const std::string_view word = found[k];
        const size_t size = word.size();
        if (size > 3 && word[size - 1] == 's' && word[size - 2] != 's') {
            add(static_cast<size_t>(word.data() - s), static_cast<size_t>(word.data() - s) + size - 1);
        }
    }
    return found;
}

}  // namespace qm
