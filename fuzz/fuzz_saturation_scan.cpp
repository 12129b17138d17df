// Fuzz target: saturation_scan against a model that materialises every shingle,
// the incremental shingle hash against the one-shot content hash, and runs
// hashed in vector lanes against one at a time.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "text/saturation_scan.h"
#include "common/siphash.h"
#include "common/siphash_runs.h"
#include "fuzz_support.h"

namespace {

/// Windows around the interesting sizes, and the 64-bit extremes.
uint64_t consume_window(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: return 0;
        case 1: return UINT64_MAX;
        case 2: return uint64_t{1} << 63;
        case 3: return in.ConsumeIntegral<uint64_t>();
        default: return in.ConsumeIntegralInRange<uint64_t>(1, 12);
    }
}

/// The scan written plainly: shingles as joined strings in an ordered set.
float model_scan(std::string_view text, uint64_t window) {
    const uint64_t w = window == 0 ? 1 : window;
    const std::vector<std::string_view> words = fuzz::reference_words(text);
    const uint64_t n = words.size();
    if (n < w || n - w < w) return 0.0f;  // n < 2w without overflow
    const uint64_t shingles = n - w + 1;
    std::set<std::string> seen;
    uint64_t duplicates = 0;
    for (uint64_t i = 0; i < shingles; ++i) {
        std::string joined;
        for (uint64_t k = 0; k < w; ++k) joined.append(words[i + k]).push_back('\xFF');
        duplicates += !seen.insert(std::move(joined)).second;
    }
    return static_cast<float>(duplicates) / static_cast<float>(shingles);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint64_t window = consume_window(in);
    std::string text;
    while (in.remaining_bytes() > 0 && text.size() < 8192) {
        // Few distinct pieces, so repeated shingles are common.
        text += fuzz::consume_text(in, 12);
        text += fuzz::kSpicy[in.ConsumeIntegralInRange<size_t>(0, 15)];
    }

    const float ratio = qm::saturation_scan(text, window);
    FUZZ_CHECK(ratio >= 0.0f && ratio < 1.0f);
    FUZZ_CHECK(fuzz::same_float(ratio, model_scan(text, window)));

    // Raw bytes: only memory safety and the range are promised.
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const float raw_ratio = qm::saturation_scan(raw, window % 16);
    FUZZ_CHECK(raw_ratio >= 0.0f && raw_ratio < 1.0f);

    // Feeding tokens one by one equals hashing their 0xFF-joined bytes at once.
    const std::vector<std::string_view> words = fuzz::reference_words(text);
    const size_t count = words.size() < 9 ? words.size() : 9;
    std::string joined;
    for (size_t k = 0; k < count; ++k) {
        if (k > 0) joined.push_back('\xFF');
        joined.append(words[k]);
    }
    if (count > 0) FUZZ_CHECK(qm::shingle_hash(words.data(), count) == qm::content_hash(joined));

    // Runs hashed many at a time give the digests of one at a time.
    const std::string padded = text + std::string(7, '\0');
    std::vector<qm::ByteRun> runs;
    for (size_t k = 0; k < words.size(); ++k) {
        const size_t offset = static_cast<size_t>(words[k].data() - text.data());
        runs.push_back({offset, std::min(text.size() - offset, words[k].size() + k * 13 % 300)});
    }
    std::vector<uint64_t> digests(runs.size());
    qm::siphash13_padded_runs(padded.data(), runs.data(), runs.size(), digests.data());
    for (size_t k = 0; k < runs.size(); ++k) {
        FUZZ_CHECK(digests[k] == qm::siphash13_padded(0, 0, padded.data() + runs[k].offset, runs[k].size));
    }
    return 0;
}
