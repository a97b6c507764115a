#!/usr/bin/env bash
# Prints the path of an up-to-date kestrel-sim built for this machine: the Windows test
# programs reach the virtual reader over TCP. Uses the sanitizer tree when scripts/test.sh has
# configured one (brought up to date, usually nothing to do), else the release tree.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -f build/asan/CMakeCache.txt ]; then
    tree=build/asan
else
    tree=build/release
    cmake --preset release >/dev/null
fi
cmake --build "$tree" -j "$(nproc)" --target kestrel-sim >/dev/null
echo "$PWD/$tree/tools/kestrel-sim"
