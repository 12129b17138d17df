// The one-line digest a purged conversational block leaves in the STATE ledger.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qm {

/// Joined texts longer than this are cut at the first character start from here on.
inline constexpr size_t kDigestCut = 120;

/// Words of `text` joined by single spaces, cut after `kDigestCut` bytes with "…".
std::string make_digest(std::string_view text);

}  // namespace qm
