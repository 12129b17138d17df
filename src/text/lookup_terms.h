// The words a request's lookup reads a text by, as quorvex_chat._lookup's `terms` finds
// them with its regular expressions: lowercased, a compound (a path, a version, a time, a
// snake_case name) also by its pieces, a plural also as its singular. ASCII text only;
// the Python code stays the reference for the rest.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

/// The distinct words of `text`, in no particular order, as views into `lowered` (which
/// the call fills with the text lowercased, and which must outlive the views); nullopt
/// when the text holds a byte outside ASCII.
std::optional<std::vector<std::string_view>> lookup_terms(std::string_view text,
                                                          std::string& lowered);

}  // namespace qm
