#!/usr/bin/env bash
# Records the seed corpora of the fuzz targets (fuzz/corpus/TARGET) anew from the virtual
# reader's frame log: the scenarios listed in each fuzz/TARGET.cpp, run against the in-process
# virtual reader. Run it after changing a scenario or what the library sends.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$(nproc)" --target fuzz_record_seeds
rm -rf fuzz/corpus
build/asan/fuzz/fuzz_record_seeds fuzz/corpus
