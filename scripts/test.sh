#!/usr/bin/env bash
# Builds the library, the virtual reader and every test with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs all tests: the C++ ones, then the Python package's
# against the same library.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset asan
cmake --build --preset asan -j "$(nproc)"
ctest --preset asan -j 2
scripts/test-python.sh build/asan
