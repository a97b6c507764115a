#!/usr/bin/env bash
# Builds the 32-bit Windows DLL with its tests and runs them under Wine's 32-bit side: the unit
# tests and the end-to-end tests over TCP against the virtual reader (one program), the export
# table check, the program that links every export, and the C program with __stdcall
# callbacks. Installs wine32 and qemu's i386 emulator first (root). Expect a few minutes: each
# 32-bit program spends most of a minute starting under emulation.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh windows
scripts/install-wine32.sh
sim=$(scripts/native-sim.sh)

cmake --preset win32 -DKESTREL_SIM_PROGRAM="$sim"
cmake --build --preset win32 -j "$(nproc)"
ctest --preset win32
