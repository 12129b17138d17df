// Line notability on ASCII text, written against the regular expressions of
// quorvex_chat._notable: each finder below is the condition under which its
// expression has a match, worked out once so that a line is read in one pass
// with no backtracking.
#include "line_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "ascii_block.h"
#include "common/hash_key.h"
#include "common/siphash.h"
#include "decimal.h"

namespace qm {
namespace {

// The interpreter's classes on ASCII: \s also holds the four separators 0x1C-0x1F.
bool is_space(char c) noexcept {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}
using ascii::is_digit;
using ascii::is_letter;
using ascii::is_word;
using ascii::run_end;
bool is_word_or_dash(char c) noexcept { return is_word(c) || c == '-'; }
char lowered(char c) noexcept { return static_cast<char>(ascii::to_lower(static_cast<unsigned char>(c))); }

/// Dense ids of distinct byte strings. The caller's text decides what is stored, so
/// the slot comes from SipHash under the process key, and a hash match is confirmed
/// by comparing the bytes.
class TextIds {
public:
    TextIds() : key_(process_hash_key()), slots_(16, 0) {}

    /// The id of `text`, and true when it was not held before.
    std::pair<uint32_t, bool> find_or_add(std::string_view text) {
        const uint64_t hash = siphash13(key_.k0, key_.k1, text.data(), text.size());
        size_t mask = slots_.size() - 1;
        size_t i = static_cast<size_t>(hash) & mask;
        for (; slots_[i] != 0; i = (i + 1) & mask) {
            const Entry& entry = entries_[slots_[i] - 1];
            if (entry.hash == hash && stored(entry) == text) return {slots_[i] - 1, false};
        }
        const auto id = static_cast<uint32_t>(entries_.size());
        entries_.push_back({hash, bytes_.size(), text.size()});
        bytes_.append(text);
        slots_[i] = id + 1;
        if (entries_.size() * 2 > slots_.size()) grow();
        return {id, true};
    }

    size_t size() const noexcept { return entries_.size(); }

private:
    struct Entry {
        uint64_t hash;
        size_t offset;
        size_t size;
    };

    std::string_view stored(const Entry& entry) const noexcept {
        return std::string_view(bytes_).substr(entry.offset, entry.size);
    }

    void grow() {
        std::vector<uint32_t> slots(slots_.size() * 2, 0);
        const size_t mask = slots.size() - 1;
        for (size_t id = 0; id < entries_.size(); ++id) {
            size_t i = static_cast<size_t>(entries_[id].hash) & mask;
            while (slots[i] != 0) i = (i + 1) & mask;
            slots[i] = static_cast<uint32_t>(id + 1);
        }
        slots_.swap(slots);
    }

    HashKey key_;
    std::vector<uint32_t> slots_;  // id + 1; 0 is an empty slot
    std::vector<Entry> entries_;
    std::string bytes_;
};

// --- shingles ------------------------------------------------------------------------

/// The tokens of `_TOKENS` over the line with its digit runs read as "0".
void tokens_of(std::string_view s, std::vector<std::string_view>& out) {
    out.clear();
    for (size_t i = 0; i < s.size();) {
        const char c = s[i];
        if (is_space(c)) {
            ++i;
        } else if (is_letter(c) || c == '_') {
            const size_t end = run_end(s, i, [](char x) { return is_letter(x) || x == '_'; });
            out.push_back(s.substr(i, end - i));
            i = end;
        } else if (is_digit(c)) {
            out.push_back("0");
            i = run_end(s, i, is_digit);
        } else {
            out.push_back(s.substr(i, 1));
            ++i;
        }
    }
}

/// Per line, the share of its distinct shingles that no other line holds.
std::vector<double> unique_shares(std::span<const std::string_view> lines) {
    TextIds ids;
    std::vector<uint32_t> holders;  // per shingle id: lines holding it
    std::vector<uint32_t> last;     // per shingle id: the latest line holding it
    std::vector<uint32_t> own;      // the distinct shingle ids of every line, line after line
    std::vector<size_t> own_end(lines.size());
    std::vector<std::string_view> tokens;
    std::string key;
    // A shingle is its two tokens joined by 0xFF, which no ASCII text holds; the pair
    // of a one-token line has an empty second token, which no other pair has.
    const auto add = [&](uint32_t line, std::string_view a, std::string_view b) {
        key.assign(a);
        key.push_back('\xff');
        key.append(b);
        const auto [id, added] = ids.find_or_add(key);
        if (added) {
            holders.push_back(0);
            last.push_back(UINT32_MAX);
        }
        if (last[id] != line) {
            last[id] = line;
            ++holders[id];
            own.push_back(id);
        }
    };
    for (size_t line = 0; line < lines.size(); ++line) {
        tokens_of(lines[line], tokens);
        const auto index = static_cast<uint32_t>(line);
        if (tokens.size() == 1) add(index, tokens[0], {});
        for (size_t k = 1; k < tokens.size(); ++k) add(index, tokens[k - 1], tokens[k]);
        own_end[line] = own.size();
    }
    std::vector<double> shares(lines.size(), 0.0);
    size_t begin = 0;
    for (size_t line = 0; line < lines.size(); ++line) {
        const size_t end = own_end[line];
        if (end != begin) {
            size_t alone = 0;
            for (size_t k = begin; k < end; ++k) alone += holders[own[k]] == 1;
            shares[line] = static_cast<double>(alone) / static_cast<double>(end - begin);
        }
        begin = end;
    }
    return shares;
}

// --- field values ----------------------------------------------------------------------

/// `_median`: the middle of the sorted values, or the mean of the two middles.
double median(std::vector<double>& values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

/// Whether a number may end at `end`: not before a digit or '.', nor before letters that
/// run into a digit (a hex id such as 4272bc0841 holds no value; 12ms does).
bool ends_number(std::string_view s, size_t end) noexcept {
    if (end < s.size() && (is_digit(s[end]) || s[end] == '.')) return false;
    const size_t letters = run_end(s, end, [](char c) { return is_letter(c) || c == '_'; });
    return letters == s.size() || !is_digit(s[letters]);
}

/// The end of the number `_PIECES` reads at `p`, or 0 when none starts there: an
/// optional '-', 1-15 digits and an optional fraction of 1-15 digits, not preceded by a
/// word character or '.', and ending where `ends_number` allows. Wherever the longest
/// run cannot end, every shorter one is followed by a digit or '.': no number at all.
size_t number_end(std::string_view s, size_t p) noexcept {
    if (p > 0 && (is_word(s[p - 1]) || s[p - 1] == '.')) return 0;
    const size_t digits = p + (s[p] == '-');
    const size_t whole = run_end(s, digits, is_digit);
    if (whole == digits || whole - digits > 15) return 0;
    if (whole == s.size() || s[whole] != '.') return ends_number(s, whole) ? whole : 0;
    const size_t fraction = run_end(s, whole + 1, is_digit);
    if (fraction == whole + 1 || fraction - whole - 1 > 15) return 0;
    return ends_number(s, fraction) ? fraction : 0;
}

// --- defines ---------------------------------------------------------------------------

/// True when `_DEFINES` matches from `at`, just past the name:
/// `\s*(?::\s*[\w\[\], ]{1,30})?\s*(?:=|:)\s*(?:-?\d|"|')`, simulated on the set of
/// places the expression can be in, so that every way a colon or a space may be read
/// is followed at once.
bool defines_after_name(std::string_view s, size_t at) noexcept {
    // Bits: the leading spaces, the spaces after a type's colon, a type of 1..30
    // characters, the spaces after the type, the spaces after the '=' or ':', a '-'.
    constexpr uint64_t kLead = 1, kTypeSpaces = 2, kAfterType = uint64_t{1} << 32,
                       kAfterSign = uint64_t{1} << 33, kMinus = uint64_t{1} << 34;
    constexpr int kTypeShift = 2;  // a type of k characters is bit kTypeShift + k - 1
    constexpr uint64_t kTypes = ((uint64_t{1} << 30) - 1) << kTypeShift;
    uint64_t state = kLead;
    for (size_t i = at; i < s.size() && state != 0; ++i) {
        const char c = s[i];
        const bool space = is_space(c);
        const bool in_type = is_word(c) || c == '[' || c == ']' || c == ',' || c == ' ';
        if (((state & kAfterSign) && (is_digit(c) || c == '"' || c == '\'')) ||
            ((state & kMinus) && is_digit(c))) {
            return true;
        }
        uint64_t next = 0;
        if (space) next |= state & (kLead | kTypeSpaces | kAfterType | kAfterSign);
        if (c == ':' && (state & kLead)) next |= kTypeSpaces | kAfterSign;
        if ((c == ':' || c == '=') && (state & (kLead | kAfterType))) next |= kAfterSign;
        if (in_type) {
            // A type grows by one up to its 30th character.
            next |= ((state & kTypes) << 1) & kTypes;
            if (state & kTypeSpaces) next |= uint64_t{1} << kTypeShift;
        }
        if (c == '-' && (state & kAfterSign)) next |= kMinus;
        if (next & kTypes) next |= kAfterType;  // a type may end after any character
        state = next;
    }
    return false;
}

bool is_define_keyword(std::string_view word) noexcept {
    static constexpr std::string_view kKeywords[] = {"export", "const", "final",  "static", "let",
                                                     "var",    "def",   "public", "private"};
    return std::find(std::begin(kKeywords), std::end(kKeywords), word) != std::end(kKeywords);
}

}  // namespace

bool has_alert_word(std::string_view line) {
    static constexpr std::string_view kWords[] = {
        "error",    "fail",      "failed",   "failure",  "exception",    "traceback",
        "fatal",    "denied",    "invalid",  "mismatch", "timeout",      "panic",
        "refused",  "warn",      "warning",  "critical", "abort",        "aborted",
        "conflict", "unauthorized", "unauthorised", "forbidden", "rejected", "corrupt",
        "flaky",    "rolled_back"};
    constexpr size_t kLongest = 12;
    // The words of the two phrases, each of which must stand whole, one space apart.
    std::string_view previous;  // the last word, lowered, when it was "timed" or "not"
    size_t previous_end = 0;
    char buffer[kLongest];
    for (size_t i = 0; i < line.size();) {
        if (!is_word(line[i])) {
            ++i;
            continue;
        }
        const size_t end = run_end(line, i, is_word);
        std::string_view word;
        if (end - i <= kLongest) {
            std::transform(line.begin() + i, line.begin() + end, buffer, lowered);
            word = std::string_view(buffer, end - i);
        }
        if (std::find(std::begin(kWords), std::end(kWords), word) != std::end(kWords)) return true;
        if (previous_end + 1 == i && line[previous_end] == ' ' &&
            ((previous == "timed" && word == "out") || (previous == "not" && word == "found"))) {
            return true;
        }
        previous = word == "timed" ? "timed" : word == "not" ? "not" : std::string_view();
        previous_end = end;
        i = end;
    }
    return false;
}

bool has_name(std::string_view line) {
    for (size_t i = 0; i < line.size();) {
        if (!is_word_or_dash(line[i])) {
            ++i;
            continue;
        }
        // A run of word characters and dashes, which may hold several word runs.
        const size_t end = run_end(line, i, is_word_or_dash);
        bool letter = false, digit = false;
        size_t first = end, last = 0;
        for (size_t k = i; k < end; ++k) {
            letter |= is_letter(line[k]);
            digit |= is_digit(line[k]);
            if (line[k] != '-') {
                first = std::min(first, k);
                last = k;
            }
        }
        // The leading dashes are all taken by `-*`: the word characters after them
        // must span five characters.
        if (letter && digit && first < end && last >= first + 4) return true;
        for (size_t k = i; k < end;) {
            if (line[k] == '-') {
                ++k;
                continue;
            }
            const size_t stop = run_end(line, k, is_word);
            const std::string_view word = line.substr(k, stop - k);
            const bool hex = word.size() >= 8 && std::all_of(word.begin(), word.end(), [](char c) {
                return is_digit(c) || (c >= 'a' && c <= 'f');
            });
            // A constant: a capital, capitals and digits, an underscore, one more.
            const bool constant =
                word[0] >= 'A' && word[0] <= 'Z' && word.size() >= 3 &&
                std::all_of(word.begin(), word.end(),
                            [](char c) { return (c >= 'A' && c <= 'Z') || is_digit(c) || c == '_'; }) &&
                word.substr(1, word.size() - 2).find('_') != std::string_view::npos;
            if (hex || constant) return true;
            k = stop;
        }
        i = end;
    }
    return false;
}

bool defines_literal(std::string_view line) {
    const std::string_view s = line.substr(0, std::min(line.size(), kLineStatsReach));
    size_t i = run_end(s, 0, is_space);
    // Each word after the leading spaces may be the name, and while the words are
    // keywords followed by a space, the next one may be too: a keyword can be the name.
    while (i < s.size()) {
        if (is_letter(s[i]) || s[i] == '_') {
            const size_t name_end = run_end(s, i, [](char c) { return is_word(c) || c == '.'; });
            if (defines_after_name(s, name_end)) return true;
        }
        const size_t word_end = run_end(s, i, [](char c) { return !is_space(c); });
        if (word_end == s.size() || !is_define_keyword(s.substr(i, word_end - i))) return false;
        i = run_end(s, word_end, is_space);
    }
    return false;
}

std::optional<std::vector<bool>> far_values(std::span<const std::string_view> lines) {
    struct Value {
        size_t line;
        double value;
    };
    std::vector<std::vector<Value>> fields;
    TextIds words;  // the field of a number named by its word, and the word's place
    std::vector<std::vector<uint32_t>> by_word;  // word id, its count so far -> field
    std::vector<uint32_t> by_place; // place among a line's numbers -> field, or UINT32_MAX
    std::vector<uint32_t> count;    // word id -> times the line has had it so far
    std::vector<uint32_t> met;      // the ids the line has had, to clear their counts
    std::vector<uint32_t> word_of;  // field -> the word naming it, or UINT32_MAX (by place)
    const auto field = [&](std::vector<uint32_t>& index, size_t at) -> std::vector<Value>& {
        if (index.size() <= at) index.resize(at + 1, UINT32_MAX);
        if (index[at] == UINT32_MAX) {
            index[at] = static_cast<uint32_t>(fields.size());
            fields.emplace_back();
        }
        return fields[index[at]];
    };
    for (size_t line = 0; line < lines.size(); ++line) {
        const std::string_view s = lines[line].substr(0, std::min(lines[line].size(), kLineStatsReach));
        bool named = false;
        uint32_t word = 0;
        size_t gap = 0, place = 0;
        for (const uint32_t id : met) count[id] = 0;
        met.clear();
        for (size_t p = 0; p < s.size();) {
            const char c = s[p];
            if (is_letter(c) || c == '_') {
                const size_t end = run_end(s, p, is_word_or_dash);
                word = words.find_or_add(s.substr(p, end - p)).first;
                if (count.size() <= word) {
                    count.resize(word + 1, 0);
                    by_word.resize(word + 1);
                }
                met.push_back(word);
                ++count[word];
                named = true;
                gap = 0;
                p = end;
                continue;
            }
            if (const size_t end = c == '-' || is_digit(c) ? number_end(s, p) : 0) {
                const std::optional<double> value = number_value(s.substr(p, end - p));
                if (!value) return std::nullopt;
                std::vector<Value>& values = named && gap <= 3
                                                 ? field(by_word[word], count[word])
                                                 : field(by_place, place);
                if (word_of.size() < fields.size()) {
                    word_of.resize(fields.size(), UINT32_MAX);
                    if (named && gap <= 3) word_of.back() = word;
                }
                values.push_back({line, *value});
                named = false;
                ++place;
                p = end;
                continue;
            }
            gap += !is_space(c);
            ++p;
        }
    }
    // A field is the values after a word's n-th time in a line (a column of cells), or
    // where too few lines hold one, after the word at any time (a short table's cells read
    // together), or else a line's n-th number.
    std::vector<std::vector<Value>> pooled(words.size());
    std::vector<const std::vector<Value>*> groups;
    for (size_t k = 0; k < fields.size(); ++k) {
        if (word_of[k] != UINT32_MAX && fields[k].size() < 5) {
            pooled[word_of[k]].insert(pooled[word_of[k]].end(), fields[k].begin(), fields[k].end());
        } else {
            groups.push_back(&fields[k]);
        }
    }
    for (const std::vector<Value>& values : pooled) groups.push_back(&values);
    std::vector<bool> far(lines.size(), false);
    std::vector<double> numbers;
    for (const std::vector<Value>* group : groups) {
        const std::vector<Value>& values = *group;
        if (values.size() < 5) continue;  // too few values for one to stand out
        numbers.clear();
        for (const Value& v : values) numbers.push_back(v.value);
        const double middle = median(numbers);
        numbers.clear();
        for (const Value& v : values) numbers.push_back(std::abs(v.value - middle));
        const double spread = median(numbers);
        for (const Value& v : values) {
            if (std::abs(v.value - middle) > 8.0 * spread && (spread > 0 || v.value != middle)) {
                far[v.line] = true;
            }
        }
    }
    return far;
}

std::optional<std::vector<LineScore>> line_scores(std::span<const std::string_view> lines) {
    // Shingle ids and line indices are 32 bits: a text of 2 GiB is left to the caller.
    size_t total = 0;
    for (std::string_view line : lines) {
        total += line.size() + 1;
        for (char c : line) {
            if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
        }
    }
    if (total > (size_t{1} << 31)) return std::nullopt;
    const std::vector<double> unique = unique_shares(lines);
    const std::optional<std::vector<bool>> far_found = far_values(lines);
    if (!far_found) return std::nullopt;
    const std::vector<bool>& far = *far_found;
    std::vector<bool> alerts(lines.size()), names(lines.size()), defines(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        alerts[i] = has_alert_word(lines[i]);
        names[i] = has_name(lines[i]);
        defines[i] = defines_literal(lines[i]);
    }
    const auto count = [](const std::vector<bool>& flags) {
        return static_cast<size_t>(std::count(flags.begin(), flags.end(), true));
    };
    const size_t alert_count = count(alerts), name_count = count(names),
                 far_count = count(far), define_count = count(defines);
    // A bonus counts while at most a quarter of the lines have it.
    const auto bonus = [&](double value, size_t count) { return 4 * count <= lines.size() ? value : 0.0; };
    const double alert_bonus = bonus(1.0, alert_count), name_bonus = bonus(0.5, name_count),
                 far_bonus = bonus(1.0, far_count), define_bonus = bonus(0.75, define_count);
    std::vector<LineScore> scored;
    for (size_t i = 0; i < lines.size(); ++i) {
        // Summed left to right like the Python expression, each flag as 1.0 or 0.0.
        double score = unique[i];
        score = score + alert_bonus * (alerts[i] ? 1.0 : 0.0);
        score = score + name_bonus * (names[i] ? 1.0 : 0.0);
        score = score + far_bonus * (far[i] ? 1.0 : 0.0);
        score = score + define_bonus * (defines[i] ? 1.0 : 0.0);
        if (score > 0.0) scored.push_back({score, i});
    }
    std::sort(scored.begin(), scored.end(), [](const LineScore& a, const LineScore& b) {
        return a.score != b.score ? a.score > b.score : a.index < b.index;
    });
    return scored;
}

}  // namespace qm
