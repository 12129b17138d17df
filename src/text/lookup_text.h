// What a request's lookup reads of a text, as quorvex_chat._lookup finds it with its
// regular expressions: its words (lowercased, a compound such as a path, a version, a time
// or a snake_case name also by its pieces, a plural also as its singular), and the lines
// holding a value far outside its column. ASCII text only; the Python code stays the
// reference for the rest.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

/// The distinct words of `text`, in no particular order, as views into `lowered` (which
/// the call fills with the text lowercased, and which must outlive the views); nullopt
/// when the text holds a byte outside ASCII.
std::optional<std::vector<std::string_view>> lookup_terms(std::string_view text,
                                                          std::string& lowered);

/// Which lines hold a number far from the median of its column by `far` times the
/// column's median absolute deviation, a column being a number's place among the numbers
/// of lines with as many, and holding `least` values at least; nullopt when a line holds a
/// byte outside ASCII or a number with more digits than this build reads correctly rounded.
std::optional<std::vector<bool>> lookup_far_values(std::span<const std::string_view> lines,
                                                   size_t least, double far);

}  // namespace qm
