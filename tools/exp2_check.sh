#!/usr/bin/env bash
# Builds tools/exp2_check (needs MPFR, Debian's libmpfr-dev) in build/exp2-check and runs it:
#   tools/exp2_check.sh                         every float input, 2 threads
#   tools/exp2_check.sh --sample 4000000        random inputs, hard cases and edges (CI)
#   tools/exp2_check.sh --emit-hard-cases src/common/exp2_hard_cases.inc
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/exp2-check -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_MODULE=OFF \
      -DQM_BUILD_NATIVE_TESTS=OFF -DQM_BUILD_EXP2_CHECK=ON > /dev/null
if ! log=$(cmake --build build/exp2-check --target exp2_check 2>&1); then
  printf '%s\n' "$log" >&2
  exit 1
fi
exec build/exp2-check/exp2_check "$@"
