// Repetition score of a payload: the share of its word shingles that repeat.
#pragma once

#include <cstdint>
#include <string_view>

namespace qm {

/// The fraction of the `window`-word shingles of `text` (UTF-8, split at
/// White_Space, not lowercased) whose hash repeats an earlier one, in single
/// precision; 0 when there are fewer than twice `window` words. A window of 0
/// counts as 1.
float saturation_scan(std::string_view text, uint64_t window);

/// SipHash-1-3 of the tokens `tokens[0..count)`, each followed by one 0xFF byte.
uint64_t shingle_hash(const std::string_view* tokens, size_t count) noexcept;

}  // namespace qm
