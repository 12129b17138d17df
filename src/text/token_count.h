// The chat layer's default token count, as quorvex_chat's `_counting.count_tokens`
// reads a text in Python, over the text's UTF-8. The Python code stays the reference:
// this gives its integer for every text that has a UTF-8 form.
#pragma once

#include <cstdint>
#include <string_view>

namespace qm {

/// `_counting.count_tokens` of the text whose UTF-8 is `utf8` (well-formed UTF-8).
uint64_t count_tokens_utf8(std::string_view utf8) noexcept;

}  // namespace qm
