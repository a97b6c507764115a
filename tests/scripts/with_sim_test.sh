#!/usr/bin/env bash
# scripts/with-sim.sh reads each simulator's address from an output file that its background
# shell may create only after the script's first look. With a stand-in simulator that prints
# its line at once, thirty rounds must hand the address on without a word on standard error.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#!/bin/sh\necho "listening on tcp 127.0.0.1:4711"\nexec sleep 60\n' >"$work/sim"
chmod +x "$work/sim"

for round in $(seq 30); do
    if ! "$root/scripts/with-sim.sh" "$work/sim" -- \
        sh -c 'test "$KESTREL_SIM_DESFIRE" = 127.0.0.1:4711' 2>"$work/stderr" ||
        [ -s "$work/stderr" ]; then
        echo "round $round:" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
done
echo "30 rounds clean"
