#!/usr/bin/env bash
# Builds the threading test (sessions on threads, texts and sessions coming and going) with
# ThreadSanitizer and runs it; any data race or lock-order problem fails it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset tsan
cmake --build --preset tsan -j "$(nproc)" --target kestrel_thread_tests
ctest --preset tsan
