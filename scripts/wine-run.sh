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
out=$(mktemp)
"$loader" "$@" >"$out" 2>&1
status=$?
cat "$out"
rm -f "$out"
exit $status
