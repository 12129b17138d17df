// The native tests' one assertion: CHECK(cond) counts a pass or prints the failed
// condition and its line; main reports "N passed, N failed" and exits non-zero
// on any failure.
#pragma once

#include <cstdio>

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const char* what, int line) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::fprintf(stderr, "FAILED line %d: %s\n", line, what);
    }
}

}  // namespace

#define CHECK(cond) check((cond), #cond, __LINE__)
