// Unicode character properties used by the word split, the effort gauge and the
// digests.
#pragma once

namespace qm {

/// The White_Space property of the Unicode Character Database.
bool is_white_space(char32_t cp) noexcept;

}  // namespace qm
