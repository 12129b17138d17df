// Native checks of the default token count against the counts of quorvex_chat's Python
// reference, where a quantifier bound or a backtracking word changes what is matched.
#include <cstdio>
#include <string>
#include <utility>

#include "check.h"
#include "text/token_count.h"

int main() {
    const std::pair<std::string, uint64_t> cases[] = {
        {"", 1}, {"\n", 2}, {" ", 1}, {"Hello, world!", 5}, {"ABCDEFGH", 7}, {"12345678", 4},
        {"HTTPServer", 3}, {"ABCD", 4}, {"ABC", 2}, {"a1b2c3d4e5", 12}, {std::string(17, ' '), 3},
        {" \n \n \n \n \n \n \n \n", 18}, {"\x1c\x1d\n", 4}, {std::string("\0\0", 2), 3},
        {"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80", 10}, {std::string(4097, '\t'), 282},
        {std::string(4096, 'a') + "bcdefgh", 3757},
    };
    for (const auto& [text, expected] : cases) CHECK(qm::count_tokens_utf8(text) == expected);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
