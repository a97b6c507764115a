#!/usr/bin/env bash
# Cross-builds the library for Windows with mingw-w64 and tests what a Linux machine can:
#  - the 32-bit KestrelAPI.dll: its export table equals the header's function list (plain
#    names only), and a C program that refers to every export links through the import library,
#    which checks each function's argument size against the header; kestrel.exe links to it;
#  - the 64-bit build: the unit tests, the end-to-end tests against the virtual reader over TCP,
#    the C program with __stdcall callbacks and kestrel.exe (--version, scan), all under Wine.
# The 32-bit programs run under Wine in scripts/test-windows32.sh (slower: it emulates them).
# libcrypto for both targets is built once into build/openssl-mingw and reused.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh windows
sim=$(scripts/native-sim.sh)

cmake --preset win32 -DKESTREL_SIM_PROGRAM="$sim"
cmake --build --preset win32 -j "$(nproc)" \
    --target kestrelapi kestrel_every_export kestrel_stdcall_callers read_uid dump_classic \
    desfire_purse kestrel
ctest --preset win32 -R '^abi\.dll_exports_match_header$'

cmake --preset win64 -DKESTREL_SIM_PROGRAM="$sim"
cmake --build --preset win64 -j "$(nproc)"
ctest --preset win64
