#!/usr/bin/env bash
# Runs a Windows program under Wine: scripts/wine-run.sh <loader, normally wine> program.exe [args...]
# The Wine prefix is $WINEPREFIX, or a folder "wine" next to the program. Output goes through a
# file: Wine's helper processes inherit the program's output and would keep a pipe (ctest's)
# open after the program ends.
set -u
loader=$1
shift
program=$1
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$program")" && pwd)/wine}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# 32-bit Wine on qemu's i386 emulator: glibc loads libgcc_s when a thread ends, and that late
# load fails inside Wine's address-space layout under emulation; loading it at start works.
# (QEMU_SET_ENV reaches the emulated programs and what they start; $LIB, which the dynamic
# loader expands to its own library folder, gives 32-bit and 64-bit programs each their own.)
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && [ -e /usr/lib/i386-linux-gnu/libgcc_s.so.1 ]; then
    export QEMU_SET_ENV=${QEMU_SET_ENV:-LD_PRELOAD=/usr/\$LIB/libgcc_s.so.1}
fi
out=$(mktemp)
"$loader" "$@" >"$out" 2>&1
status=$?
cat "$out"
rm -f "$out"
exit $status
