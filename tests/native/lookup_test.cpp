// Native checks of the request lookup's words and sums: the words of texts whose runs,
// marks and plurals are easy to misread, and sums that must round as Python's do.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "context/pointed.h"
#include "text/lookup_text.h"

namespace {

std::set<std::string> words_of(std::string_view text) {
    std::string lowered;
    const auto words = qm::lookup_terms(text, lowered);
    std::set<std::string> out;
    if (words) {
        for (std::string_view word : *words) out.emplace(word);
    }
    return out;
}

void check_terms() {
    using Words = std::set<std::string>;
    CHECK(words_of("Rolled-back SHAs") == (Words{"rolled-back", "rolled", "back", "shas", "sha"}));
    CHECK(words_of("..a_b.. -x- classes boss") ==
          (Words{"a_b", "a", "b", "x", "classes", "classe", "boss"}));
    CHECK(words_of("v1.2.3/ ok:") == (Words{"v1.2.3", "v1", "2", "3", "ok"}));
    CHECK(words_of("us__s ___") == (Words{"us__s", "us", "s", "us__", "___"}));
    CHECK(words_of("- . / :") == Words{});
    std::string lowered;
    CHECK(!qm::lookup_terms("caf\xc3\xa9", lowered).has_value());
    // Each distinct word once, however often the text repeats it.
    std::string repeated;
    for (int i = 0; i < 5000; ++i) repeated += "Alpha beta/alpha ";
    const auto words = qm::lookup_terms(repeated, lowered);
    CHECK(words && words->size() == 3);
}

void check_sums() {
    const std::vector<std::vector<int64_t>> holders = {{3, 1}, {1, 2}, {1}};
    // 0.1 + 0.2 + 0.3 in that order is 0.6000000000000001, not 0.6.
    const std::vector<double> weights = {0.1, 0.2, 0.3};
    auto found = qm::pointed(holders, weights, 0.0, 0.0);
    std::sort(found.begin(), found.end(),
              [](const qm::Pointed& a, const qm::Pointed& b) { return a.message < b.message; });
    CHECK(found.size() == 3);
    CHECK(found[0].message == 1 && found[0].weight == (0.1 + 0.2) + 0.3);
    CHECK(found[0].weight != 0.6);
    CHECK(found[1].message == 2 && found[1].weight == 0.2);
    CHECK(qm::pointed(holders, weights, 0.15, 0.0).size() == 2);
    CHECK(qm::pointed(holders, weights, 0.0, 0.5).size() == 1);
    const std::vector<std::vector<int64_t>> zero = {{7}};
    const std::vector<double> negative_zero = {-0.0};
    CHECK(!std::signbit(qm::pointed(zero, negative_zero, -1.0, -1.0)[0].weight));
}

}  // namespace

int main() {
    check_terms();
    check_sums();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
