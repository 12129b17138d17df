// The saturation scan: hashed word shingles counted against a set sized once.
#include "saturation_scan.h"

#include <algorithm>
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
    // Hash a batch first and prefetch its slots, then insert in order: the
    // lookups of a large set overlap their cache misses instead of waiting on each.
    constexpr size_t kBatch = 16;
    uint64_t hashes[kBatch];
    for (size_t first = 0; first < shingles; first += kBatch) {
        const size_t count = std::min(kBatch, shingles - first);
        for (size_t j = 0; j < count; ++j) {
            hashes[j] = shingle_hash(tokens.data() + first + j, static_cast<size_t>(w));
            seen.prefetch(hashes[j]);
        }
        for (size_t j = 0; j < count; ++j) duplicates += !seen.insert(hashes[j]);
    }
    return static_cast<float>(duplicates) / static_cast<float>(shingles);
}

}  // namespace qm
