#!/usr/bin/env bash
# Builds tools/exp2_check (needs MPFR, Debian's libmpfr-dev) in build/exp2-check and runs it:
#   tools/exp2_check.sh                         every float input, 2 threads
#   tools/exp2_check.sh --sample 4000000        random inputs, hard cases and edges (CI)
#   tools/exp2_check.sh --emit-hard-cases src/common/exp2_hard_cases.inc
# Another architecture: QM_TOOLCHAIN names a CMake toolchain file (for example
# tools/toolchains/aarch64-linux-gnu.cmake) and QM_EMULATOR the command that runs
# its programs (qemu-aarch64-static -L /usr/aarch64-linux-gnu).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/exp2-check
cross=()
run=()
if [[ -n ${QM_TOOLCHAIN:-} ]]; then
  build=build/exp2-check-$(basename "$QM_TOOLCHAIN" .cmake)
  cross=("-DCMAKE_TOOLCHAIN_FILE=$PWD/$QM_TOOLCHAIN")
  read -ra run <<< "${QM_EMULATOR:?QM_EMULATOR must say how to run the cross-built check}"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_MODULE=OFF \
      -DQM_BUILD_NATIVE_TESTS=OFF -DQM_BUILD_EXP2_CHECK=ON "${cross[@]}" > /dev/null
if ! log=$(cmake --build "$build" --target exp2_check 2>&1); then
  printf '%s\n' "$log" >&2
  exit 1
fi
exec "${run[@]}" "$build/exp2_check" "$@"
