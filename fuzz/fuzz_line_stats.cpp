// Fuzz target: line_scores on lines cut from the fuzz bytes, for memory safety, the
// order of its result, and declining exactly the lines that are not ASCII. Its scores
// are compared with the Python reference by tests/test_chat_line_stats.py.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "text/line_stats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<std::string> owned;
    while (in.remaining_bytes() > 0 && owned.size() < 64) owned.push_back(in.ConsumeRandomLengthString(1200));
    const std::vector<std::string_view> lines(owned.begin(), owned.end());
    const bool ascii = std::all_of(owned.begin(), owned.end(), [](const std::string& line) {
        return std::all_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    });
    const auto scores = qm::line_scores(lines);
    FUZZ_CHECK(scores.has_value() == ascii);
    if (!scores) return 0;
    std::vector<bool> seen(lines.size(), false);
    for (size_t i = 0; i < scores->size(); ++i) {
        const qm::LineScore& s = (*scores)[i];
        FUZZ_CHECK(s.index < lines.size() && !seen[s.index]);
        seen[s.index] = true;
        // A unique share of at most one and four bonuses.
        FUZZ_CHECK(s.score > 0.0 && s.score <= 4.25);
        if (i > 0) {
            const qm::LineScore& p = (*scores)[i - 1];
            FUZZ_CHECK(p.score > s.score || (p.score == s.score && p.index < s.index));
        }
    }
    return 0;
}
