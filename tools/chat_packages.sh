#!/usr/bin/env bash
# Makes BUILD_DIR/packages/quorvex_chat: a copy of src/quorvex_chat holding the native
# module built in BUILD_DIR, as the wheel holds it, and prints that packages directory.
# A build tree alone cannot give the chat layer its native module (quorvex_chat in src/
# has none), so the runs that test a build of it import quorvex_chat from here.
#
# Usage: PYTHONPATH="$(tools/chat_packages.sh BUILD_DIR):BUILD_DIR" python3 -m pytest ...
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: tools/chat_packages.sh BUILD_DIR}
packages="$PWD/$build/packages"
rm -rf "$packages" && mkdir -p "$packages"
cp -R src/quorvex_chat "$packages/"
cp "$build"/_native*.so "$packages/quorvex_chat/"
echo "$packages"
