// Native checks of the line notability statistics: each finder on the lines where a
// backtracking regular expression is easy to misread, and whole scores to the bit.
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "text/line_stats.h"

namespace {

struct Case {
    bool (*finder)(std::string_view);
    std::string_view line;
    bool expected;
};

void check_finders() {
    const auto alert = qm::has_alert_word, name = qm::has_name, define = qm::defines_literal;
    const Case cases[] = {
        {alert, "ERROR: disk", true}, {alert, "errors: 0", false}, {alert, "an_error", false},
        {alert, "Timed Out", true}, {alert, "timed  out", false}, {alert, "not\tfound", false},
        {alert, "x-fail-y", true}, {alert, "1fail", false}, {alert, "unauthorised", true},
        {name, "ORD-88213", true}, {name, "a1bcd", true}, {name, "a1bc", false},
        {name, "--a1b-", false}, {name, "--a1b-c", true}, {name, "x.a1bcd", true},
        {name, "deadbeef", true}, {name, "deadbee", false}, {name, "deadbeefg", false},
        {name, "MAX_RETRIES", true}, {name, "MAX_", false}, {name, "A__", true},
        {name, "_MAX_X", false}, {name, "X-A_B", true}, {name, "9_A", false},
        {define, "  const MAX = -3", true}, {define, "const = 1", true},
        {define, "const\tlet x: 2", true}, {define, "const x y = 1", false},
        {define, "x: List[int, str] = \"a\"", true}, {define, "x: a b: 3", true},
        {define, "x: a23456789012345678901234567890 = 1", true},
        {define, "x: a234567890123456789012345678901 = 1", false},
        {define, "a.b.c=7", true}, {define, "1x = 1", false}, {define, "x :\t:1", false},
        {define, "x = -a", false}, {define, "export", false},
    };
    for (const Case& c : cases) {
        if (c.finder(c.line) == c.expected) continue;
        CHECK(!"finder result");
        std::fprintf(stderr, "  for \"%.*s\"\n", static_cast<int>(c.line.size()), c.line.data());
    }
    // Only the first 800 characters count.
    CHECK(qm::defines_literal(std::string(790, ' ') + "x = 12"));
    CHECK(!qm::defines_literal(std::string(797, ' ') + "x = 12"));
}

/// Whether the first of `first` and four lines of "v 1" holds a far value.
std::optional<bool> far_first(const std::string& first, std::string_view rest = "v 1") {
    const std::vector<std::string_view> lines = {first, rest, rest, rest, rest};
    const auto far = qm::far_values(lines);
    return far ? std::optional<bool>(far->front()) : std::nullopt;
}

void check_far_values() {
    // Too few values, sixteen digits, a fraction followed by '.', a number after '.', or
    // four single characters between the word and the number (read by place): none.
    for (const char* line : {"v 1000000000000000", "v 9.5.", "v .9", "v ::::9", "v 1"}) {
        CHECK(far_first(line) == false);
    }
    for (const char* line : {"v 100000000000000.5", "v -9", "v :::9", "v 1.1"}) CHECK(far_first(line) == true);
    // Letters running into a digit make an id, not a value; a unit after one does not.
    CHECK(far_first("v 4272bc0841") == false && far_first("v 9ms") == true);
    // Each cell after the same tag is its own column: the wide one hides nothing.
    const std::vector<std::string_view> table = {
        "<td>1000</td><td>50</td>", "<td>5000</td><td>60</td>", "<td>20000</td><td>70</td>",
        "<td>1000</td><td>55</td>", "<td>5000</td><td>94215</td>", "<td>20000</td><td>65</td>"};
    CHECK(qm::far_values(table) == std::vector<bool>({false, false, false, false, true, false}));
    // A table too short for its columns reads its cells together.
    const std::vector<std::string_view> short_table = {"<td>S1</td><td>2013</td><td>77</td>",
        "<td>S2</td><td>2022</td><td>70998</td>", "<td>S3</td><td>2024</td><td>80</td>"};
    CHECK(qm::far_values(short_table) == std::vector<bool>({false, true, false}));
    const std::vector<std::string_view> four = {"lag=900", "lag=10", "lag=11", "lag=12"};
    CHECK(qm::far_values(four) == std::vector<bool>(4, false));
    // A value of more digits than a double holds exactly: a tie rounds to even. A
    // library without from_chars for double declines it.
    const std::string same = "v 100000000000000";
    const auto tie = far_first("v 100000000000000.0078125", same);
    const auto above = far_first("v 100000000000000.0078126", same);
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    CHECK(tie == false && above == true);
#else
    CHECK(!tie && !above);
#endif
}

void check_scores() {
    const std::vector<std::string_view> lines = {"a b c", "a b d", "x", "", "ERROR a b"};
    // Unique shares 1/2, 1/2, 1, 0 and 1/2, plus the alert bonus of the last.
    const std::vector<qm::LineScore> expected = {{1.5, 4}, {1.0, 2}, {0.5, 0}, {0.5, 1}};
    CHECK(qm::line_scores(lines) == expected);
    const std::vector<std::string_view> thirds = {"a b c d", "a b", "x y"};
    const std::vector<qm::LineScore> shares = {{1.0, 2}, {2.0 / 3.0, 0}};
    CHECK(qm::line_scores(thirds) == shares);
    const std::vector<std::string_view> foreign = {"ok", "caf\xc3\xa9"};
    CHECK(!qm::line_scores(foreign).has_value());
    CHECK(qm::line_scores({})->empty());
}

}  // namespace

int main() {
    check_finders();
    check_far_values();
    check_scores();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
