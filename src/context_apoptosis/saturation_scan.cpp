// The saturation scan: hashed word shingles counted against a set sized once.
#include "saturation_scan.h"

#include <vector>

#include "flat_sets.h"
#include "siphash.h"
#include "words.h"

namespace qm {

uint64_t shingle_hash(const std::string_view* tokens, size_t count) noexcept {
    SipHasher13 hasher;
    for (size_t i = 0; i < count; ++i) {
        hasher.write(tokens[i]);
        hasher.write_byte(kTextTerminator);
    }
    return hasher.finish();
}

float saturation_scan(std::string_view text, uint64_t window) {
    const uint64_t w = window == 0 ? 1 : window;
    std::vector<std::string_view> tokens;
    for_each_word(text, [&](std::string_view token) { tokens.push_back(token); });
    const uint64_t n = tokens.size();
    // n < 2w, written so that no window up to 2^64 - 1 can overflow.
    if (n / 2 < w) return 0.0f;

    const size_t shingles = static_cast<size_t>(n - w + 1);
    HashSet64 seen(shingles);
    uint64_t duplicates = 0;
    for (size_t i = 0; i < shingles; ++i) {
        duplicates += !seen.insert(shingle_hash(tokens.data() + i, static_cast<size_t>(w)));
    }
    return static_cast<float>(duplicates) / static_cast<float>(shingles);
}

}  // namespace qm
