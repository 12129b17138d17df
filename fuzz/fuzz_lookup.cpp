// Fuzz target: the request lookup's words of a text cut from the fuzz bytes, for memory
// safety, declining exactly the texts that are not ASCII, and words that are distinct,
// lowercase, non-empty and within the text's copy; its far values of the text's lines;
// and its sums against a plain map. Words and values are compared with the Python
// references by tests/test_chat_native_lookup.py.
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "context/pointed.h"
#include "fuzz_support.h"
#include "text/lookup_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string text = in.ConsumeRandomLengthString(4000);
    std::string lowered;
    const auto words = qm::lookup_terms(text, lowered);
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    FUZZ_CHECK(words.has_value() == ascii);
    if (words) {
        std::set<std::string_view> seen;
        for (std::string_view word : *words) {
            FUZZ_CHECK(!word.empty() && seen.insert(word).second);
            FUZZ_CHECK(word.data() >= lowered.data() &&
                       word.data() + word.size() <= lowered.data() + text.size());
            FUZZ_CHECK(std::none_of(word.begin(), word.end(), [](char c) { return c >= 'A' && c <= 'Z'; }));
        }
    }
    std::vector<std::string_view> lines;
    for (size_t start = 0; start <= text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(std::string_view(text).substr(start, end - start));
        start = end + 1;
    }
    const auto far = qm::lookup_far_values(lines, 2, 8.0);
    FUZZ_CHECK(ascii || !far.has_value());
    FUZZ_CHECK(!far || far->size() == lines.size());
    std::vector<std::vector<int64_t>> holders;
    std::vector<double> weights;
    std::map<int64_t, double> sums;
    while (in.remaining_bytes() > 0 && holders.size() < 16) {
        const double weight = in.ConsumeIntegralInRange<int>(-64, 64) / 8.0;
        std::set<int64_t> held;
        const int count = in.ConsumeIntegralInRange<int>(0, 300);
        for (int i = 0; i < count && in.remaining_bytes() > 0; ++i) {
            held.insert(in.ConsumeIntegralInRange<int64_t>(0, 1 << 20));
        }
        holders.emplace_back(held.begin(), held.end());
        weights.push_back(weight);
        for (int64_t message : held) {
            const auto at = sums.find(message);
            sums[message] = (at == sums.end() ? 0.0 : at->second) + weight;
        }
    }
    const auto found = qm::pointed(holders, weights, 0.5, -1.0);
    size_t kept = 0;
    for (const auto& [message, sum] : sums) kept += !(sum < 0.5 || sum < -1.0);
    FUZZ_CHECK(found.size() == kept);
    for (const qm::Pointed& p : found) FUZZ_CHECK(sums.at(p.message) == p.weight);
    return 0;
}
