#!/usr/bin/env bash
# Builds every fuzz target and runs each, one after the other, for the given
# number of seconds (default 20); exits non-zero on the first finding.
#
# Usage: fuzz/run.sh [seconds] [target...]
#   targets: fuzz_dehydrate fuzz_effort_gauge fuzz_saturation_scan fuzz_window
#            fuzz_bus fuzz_line_stats fuzz_lookup fuzz_conversion (the atheris target, through
#            the extension)
#
# The committed seeds in fuzz/corpus/<target>/ are read, never written: new
# inputs go to build/fuzz/corpus/<target>/, and a crashing input is saved as
# build/fuzz/artifacts/<target>/crash-* (copy it into the seed corpus with the
# fix that makes it pass).
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-20}
shift || true
NATIVE=(fuzz_dehydrate fuzz_effort_gauge fuzz_saturation_scan fuzz_window fuzz_bus
        fuzz_line_stats fuzz_lookup)
TARGETS=("$@")
[[ ${#TARGETS[@]} -gt 0 ]] || TARGETS=("${NATIVE[@]}" fuzz_conversion)

CXX=${QM_FUZZ_CXX:-clang++-14}
OUT=build/fuzz
PY_BUILD=build/fuzz-python

needs_native=0
needs_python=0
for target in "${TARGETS[@]}"; do
    if [[ $target == fuzz_conversion ]]; then needs_python=1; else needs_native=1; fi
done

if ((needs_native)); then
    cmake -S fuzz -B "$OUT" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" >/dev/null
    cmake --build "$OUT"
fi
if ((needs_python)); then
    ATHERIS_DIR=$(python3 -c "import atheris; print(atheris.path())") || {
        echo "fuzz_conversion needs atheris: pip install atheris" >&2
        exit 2
    }
    # The extension, instrumented for coverage and the sanitizers; libFuzzer and
    # the ASan runtime come from atheris's preloaded library. The vptr and
    # function checks need a C++ UBSan runtime that library does not carry.
    cmake -S . -B "$PY_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER="$CXX" -DQM_BUILD_NATIVE_TESTS=OFF \
        -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr,function -fno-sanitize-recover=all -fno-omit-frame-pointer" \
        >/dev/null
    cmake --build "$PY_BUILD"
fi

declare -A EXECS RESULT
status=0
for target in "${TARGETS[@]}"; do
    corpus="$OUT/corpus/$target"
    artifacts="$OUT/artifacts/$target/"
    seeds="fuzz/corpus/$target"
    mkdir -p "$corpus" "$artifacts" "$seeds"
    log="$OUT/$target.log"
    flags=(-max_total_time="$SECONDS_EACH" -max_len=8192 -timeout=20 -print_final_stats=1
           -artifact_prefix="$artifacts" "$corpus" "$seeds")
    echo "=== $target: ${SECONDS_EACH}s"
    rc=0
    if [[ $target == fuzz_conversion ]]; then
        # detect_leaks=0: the interpreter keeps objects alive until exit on purpose.
        PYTHONPATH="$PWD/$PY_BUILD" LD_PRELOAD="$ATHERIS_DIR/asan_with_fuzzer.so" \
            ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
            python3 fuzz/fuzz_conversion.py -rss_limit_mb=4096 "${flags[@]}" >"$log" 2>&1 || rc=$?
    else
        "$OUT/$target" "${flags[@]}" >"$log" 2>&1 || rc=$?
    fi
    EXECS[$target]=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    if ((rc != 0)); then
        RESULT[$target]="FINDING (exit $rc, see $log)"
        grep -E "ERROR|invariant|Assertion|Error:|SUMMARY" "$log" | head -20 >&2 || true
        status=1
    else
        RESULT[$target]="ok"
    fi
done

echo
printf '%-22s %14s  %s\n' target executions result
for target in "${TARGETS[@]}"; do
    printf '%-22s %14s  %s\n' "$target" "${EXECS[$target]:-?}" "${RESULT[$target]}"
done
exit $status
