// The saturation scan: hashed word shingles counted against a set of their hashes.
#include "saturation_scan.h"

#include <algorithm>
#include <vector>

#include "common/flat_sets.h"
#include "common/siphash.h"
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
    uint64_t n = 0;
    for_each_word(text, [&](std::string_view) { ++n; });
    // n < 2w, written so that no window up to 2^64 - 1 can overflow.
    if (n / 2 < w) return 0.0f;

    const size_t width = static_cast<size_t>(w);
    const size_t shingles = static_cast<size_t>(n - w + 1);
    HashSet64 seen(shingles);
    uint64_t duplicates = 0;
    // A second pass keeps only the latest words: when the buffer is full, its
    // last width - 1 views move to the front. Memory follows the window and the
    // distinct shingles, not the length of the text (a flood of short words
    // would otherwise cost 16 bytes of views per word).
    const size_t limit = width + std::max<size_t>(width, 1024);
    std::vector<std::string_view> recent;
    recent.reserve(limit);
    // Hash a batch first and prefetch its slots, then insert: the lookups of a
    // large set overlap their cache misses instead of waiting on each.
    constexpr size_t kBatch = 16;
    uint64_t hashes[kBatch];
    uint64_t mixes[kBatch];
    size_t pending = 0;
    const auto insert_pending = [&] {
        for (size_t j = 0; j < pending; ++j) duplicates += !seen.insert(hashes[j], mixes[j]);
        pending = 0;
    };
    for_each_word(text, [&](std::string_view token) {
        if (recent.size() == limit) {
            std::copy(recent.end() - static_cast<std::ptrdiff_t>(width - 1), recent.end(),
                      recent.begin());
            recent.resize(width - 1);
        }
        recent.push_back(token);
        if (recent.size() < width) return;
        hashes[pending] = shingle_hash(recent.data() + (recent.size() - width), width);
        mixes[pending] = seen.mix(hashes[pending]);
        seen.prefetch(mixes[pending]);
        if (++pending == kBatch) insert_pending();
    });
    insert_pending();
    return static_cast<float>(duplicates) / static_cast<float>(shingles);
}

}  // namespace qm
