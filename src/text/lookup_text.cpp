// A word is what `\w[\w./:-]*\w|\w` matches: each run of word characters and the four
// joining marks, less the marks at its ends (a match must start and end on a word
// character, and the greedy middle backs off only to the run's last one). The pieces of
// a word are what splitting it at `[/.:_-]` leaves: its runs of letters and digits.
#include "lookup_text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <utility>

#include "ascii_block.h"
#include "common/flat_sets.h"
#include "decimal.h"

namespace qm {
namespace {

using ascii::is_digit;
using ascii::is_letter;
using ascii::is_word;
using ascii::run_end;
bool is_alnum(char c) noexcept { return is_letter(c) || is_digit(c); }
bool is_mark(char c) noexcept { return c == '.' || c == '/' || c == ':' || c == '-'; }
bool is_word_or_dot(char c) noexcept { return is_word(c) || c == '.'; }

// The hash set reads whole words past a view's end: the copy keeps that many bytes more.
constexpr size_t kPadding = 8;

/// The end of the number `(?<![\w.])-?\d{1,15}(?:\.\d{1,15})?(?=[A-Za-z%]*(?![\w.]))`
/// matches at `p`, or 0 where none does. Only its longest form can match: each shorter
/// one is followed by a digit or a '.'. The unit's letters are followed by neither, or
/// hold a '%' (which is neither, and where the unit can end).
size_t number_end(std::string_view s, size_t p) noexcept {
    if (p > 0 && is_word_or_dot(s[p - 1])) return 0;
    const size_t start = p + (s[p] == '-');
    const size_t whole = run_end(s, start, is_digit);
    if (whole == start || whole - start > 15) return 0;
    size_t end = whole;
    if (end < s.size() && s[end] == '.') {
        end = run_end(s, whole + 1, is_digit);
        if (end == whole + 1 || end - whole - 1 > 15) return 0;
    }
    for (size_t k = end;; ++k) {
        if (k == s.size() || s[k] == '%' || !is_word_or_dot(s[k])) return end;
        if (!is_letter(s[k])) return 0;
    }
}

}  // namespace

std::optional<std::vector<std::string_view>> lookup_terms(std::string_view text,
                                                          std::string& lowered) {
    const size_t n = text.size();
    if (n > SIZE_MAX - kPadding) throw std::length_error("capacity overflow");
    lowered.assign(n + kPadding, '\0');
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
        lowered[i] = static_cast<char>(ascii::to_lower(static_cast<unsigned char>(c)));
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

// Far values. A column is keyed by how many numbers its lines hold and the place among
// them; its values are ordered once for the median and once for the deviation.
std::optional<std::vector<bool>> lookup_far_values(std::span<const std::string_view> lines,
                                                   size_t least, double far) {
    struct Value {
        size_t line;
        double value;
    };
    std::map<std::pair<size_t, size_t>, std::vector<Value>> columns;
    std::vector<std::string_view> numbers;
    for (size_t index = 0; index < lines.size(); ++index) {
        const std::string_view line = lines[index];
        numbers.clear();
        for (size_t p = 0; p < line.size();) {
            if (static_cast<unsigned char>(line[p]) >= 0x80) return std::nullopt;
            const size_t end = number_end(line, p);
            if (end == 0) {
                ++p;
                continue;
            }
            numbers.push_back(line.substr(p, end - p));
            p = end;
        }
        for (size_t place = 0; place < numbers.size(); ++place) {
            const std::optional<double> value = number_value(numbers[place]);
            if (!value) return std::nullopt;
            columns[{numbers.size(), place}].push_back(Value{index, *value});
        }
    }
    std::vector<bool> found(lines.size(), false);
    std::vector<double> ordered;
    for (const auto& [_, values] : columns) {
        if (values.size() < least) continue;
        ordered.clear();
        for (const Value& v : values) ordered.push_back(v.value);
        const size_t mid = ordered.size() / 2;
        // Equal values differ at most in the sign of a zero, which no difference below sees.
        std::nth_element(ordered.begin(), ordered.begin() + static_cast<std::ptrdiff_t>(mid), ordered.end());
        const double middle = ordered[mid];
        for (double& value : ordered) value = std::abs(value - middle);
        std::nth_element(ordered.begin(), ordered.begin() + static_cast<std::ptrdiff_t>(mid), ordered.end());
        const double spread = ordered[mid];
        for (const Value& v : values) {
            if (std::abs(v.value - middle) > far * spread && spread > 0) found[v.line] = true;
        }
    }
    return found;
}

}  // namespace qm
