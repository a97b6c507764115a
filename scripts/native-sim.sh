#!/usr/bin/env bash
# Prints the path of a kestrel-sim built for this machine, building one (release preset) when
# there is none: the Windows test programs reach the virtual reader over TCP.
set -euo pipefail
cd "$(dirname "$0")/.."

for candidate in build/asan/tools/kestrel-sim build/release/tools/kestrel-sim; do
    if [ -x "$candidate" ]; then
        echo "$PWD/$candidate"
        exit 0
    fi
done
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target kestrel-sim >/dev/null
echo "$PWD/build/release/tools/kestrel-sim"
