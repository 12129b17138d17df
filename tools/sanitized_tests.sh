#!/usr/bin/env bash
# Builds the extension with AddressSanitizer + UndefinedBehaviorSanitizer and runs
# the pytest suite against it; exits non-zero on a test failure or on any
# sanitizer report, including reports from child processes and from the xdist
# workers, which inherit the preloaded runtimes.
#
# Usage: tools/sanitized_tests.sh [extra pytest arguments]
#   The selection is pyproject's default (without the `slow` checks) unless the
#   arguments give another: -m "not slow and not chat" in CI, -m "" for everything.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${QM_ASAN_BUILD_DIR:-build/asan}
SANITIZE="-fsanitize=address,undefined"
# No recovery: the first undefined behaviour stops the process like an ASan report.
FLAGS="$SANITIZE -fno-sanitize-recover=all -fno-omit-frame-pointer"

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS="$FLAGS" >/dev/null
cmake --build "$BUILD_DIR"

# The interpreter is not instrumented, so the ASan runtime must be the first
# library in the process; the UBSan runtime comes with the extension's own
# dependencies but is preloaded too so both are found the same way.
ASAN_LIB=$(g++ -print-file-name=libasan.so)
UBSAN_LIB=$(g++ -print-file-name=libubsan.so)
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
    [[ -e $lib ]] || { echo "sanitizer runtime not found: $lib" >&2; exit 2; }
done

# Reports go to files as well as failing the process: a child interpreter or a
# native test program that dies under a test still leaves its report behind.
REPORTS=$(mktemp -d "${TMPDIR:-/tmp}/qm-sanitizer.XXXXXX")
trap 'rm -rf "$REPORTS"' EXIT

export QM_SANITIZER=asan+ubsan
# quorvex_chat with the instrumented build of its native module.
PACKAGES=$(tools/chat_packages.sh "$BUILD_DIR")
export PYTHONPATH="$PACKAGES:$PWD/$BUILD_DIR${PYTHONPATH:+:$PYTHONPATH}"
export LD_PRELOAD="$ASAN_LIB $UBSAN_LIB"
# Python objects come from malloc, not from the interpreter's own arenas, so a
# use of a freed object is seen by ASan instead of landing in a recycled block.
export PYTHONMALLOC=malloc
# detect_leaks=0: the interpreter deliberately leaves interned strings, static
# types and module state alive at exit, which LeakSanitizer would report on every
# run; native leaks are measured by tools/leak_check.py instead.
# allocator_may_return_null=1: a malloc that cannot be satisfied returns null (and
# the interpreter raises MemoryError) instead of aborting the run.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan"

status=0
python3 -m pytest -q -p no:cacheprovider tests "$@" || status=$?

if compgen -G "$REPORTS/*" >/dev/null; then
    echo "=== sanitizer reports ===" >&2
    cat "$REPORTS"/* >&2
    [[ $status -ne 0 ]] || status=1
fi
exit $status
