// The notability of the lines of a tool result, as quorvex_chat's `_notable` scores
// them in Python: the share of a line's token pairs no other line has, plus bonuses
// for an alert word, a name, a number far outside its field and a name given a
// literal value. ASCII text only; the Python code stays the reference for the rest.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace qm {

/// How many characters of a line the field values and the defines are read from.
inline constexpr size_t kLineStatsReach = 800;

/// One scored line.
struct LineScore {
    double score;
    size_t index;
    bool operator==(const LineScore&) const = default;
};

/// The lines of score above zero, by score descending, then index ascending; nullopt
/// when a line holds a byte outside ASCII, the lines are too large to index with 32
/// bits, or `far_values` declines them (the caller then scores them its other way).
std::optional<std::vector<LineScore>> line_scores(std::span<const std::string_view> lines);

// The per-line findings behind the bonuses, each on ASCII text: exposed for the tests.

/// An alert word (error, failed, timed out, ...) standing as a word of its own, any case.
bool has_alert_word(std::string_view line);
/// A name: a run of word characters and dashes holding a letter and a digit whose word
/// characters span five or more, a lowercase hex word of eight or more, or a constant
/// in capitals with an inner underscore.
bool has_name(std::string_view line);
/// A name given a literal value at the line's start (`const MAX_RETRIES = 5`), within
/// the first `kLineStatsReach` characters.
bool defines_literal(std::string_view line);
/// Which lines hold a number far from the median of its field's values; nullopt when a
/// number has more digits than this build can read correctly rounded.
std::optional<std::vector<bool>> far_values(std::span<const std::string_view> lines);

}  // namespace qm
