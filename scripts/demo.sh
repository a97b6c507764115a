#!/usr/bin/env bash
# Builds the library and the virtual reader, starts kestrel-sim on the loopback with a
# MIFARE Classic 1K card in its field, and reads the card through the library with the
# example program examples/read_uid.c and with the command-line tool (kestrel scan). The
# simulator is stopped again at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target kestrel-sim read_uid kestrel >/dev/null

sim=build/release/tools/kestrel-sim
example=build/release/examples/read_uid
out=$(mktemp)
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -f "$out"' EXIT

"$sim" --tcp 127.0.0.1:0 --no-stdin --card classic1k:A1B2C3D4 >"$out" &
pid=$!
# The simulator's first line says where it listens: "listening on tcp 127.0.0.1:PORT".
for _ in $(seq 50); do
    grep -q '^listening on tcp ' "$out" && break
    sleep 0.1
done
address=$(sed -n 's/^listening on tcp //p' "$out" | head -n 1)
[ -n "$address" ] || { echo "kestrel-sim did not start" >&2; exit 1; }

echo "kestrel-sim listens on $address"
"$example" "$address"
echo "\$ kestrel -r $address scan"
build/release/tools/kestrel -r "$address" scan
