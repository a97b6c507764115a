#!/usr/bin/env bash
# Runs a command with two virtual readers listening on the loopback:
#   scripts/with-sim.sh <path to kestrel-sim> -- <command> [args...]
# One kestrel-sim holds a MIFARE Classic 1K card (UID A1B2C3D4), the other a DESFire card (UID
# 04A1B2C3D4E5F6). Their addresses are exported as KESTREL_SIM_CLASSIC and KESTREL_SIM_DESFIRE
# ("127.0.0.1:PORT"). Both simulators are stopped when the command ends, when this script fails
# and on SIGINT, SIGTERM and SIGHUP. The exit status is the command's.
set -euo pipefail

usage() {
    echo "usage: $0 <path to kestrel-sim> -- <command> [args...]" >&2
    exit 2
}

if [ $# -lt 3 ] || [ "$2" != "--" ]; then
    usage
fi
sim=$1
shift 2
[ -x "$sim" ] || {
    echo "$0: $sim is not an executable kestrel-sim" >&2
    exit 2
}

workdir=$(mktemp -d)
pids=()
command_pid=

stop_all() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    pids=()
    rm -rf "$workdir"
}

on_signal() {
    local number=$1
    trap - INT TERM HUP
    if [ -n "$command_pid" ]; then
        kill "-$number" "$command_pid" 2>/dev/null || true
        wait "$command_pid" 2>/dev/null || true
    fi
    stop_all
    exit $((128 + number))
}

trap stop_all EXIT
trap 'on_signal 2' INT
trap 'on_signal 15' TERM
trap 'on_signal 1' HUP

# Starts one simulator with the card given; sets `address` to where it listens.
start_sim() {
    local name=$1 card=$2
    local out="$workdir/$name.out"
    "$sim" --tcp 127.0.0.1:0 --no-stdin --card "$card" </dev/null >"$out" &
    local pid=$!
    pids+=("$pid")
    # The simulator's first line says where it listens: "listening on tcp 127.0.0.1:PORT".
    address=
    local _
    for _ in $(seq 100); do
        # The background shell creates the file when it starts the simulator, which may be
        # after this first look. Only a whole line counts: the port must not be read half
        # written.
        if [ -f "$out" ] && [ "$(wc -l <"$out")" -ge 1 ]; then
            address=$(sed -n '1s/^listening on tcp //p' "$out")
            [ -n "$address" ] && return 0
            break
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "$0: kestrel-sim with $card did not start listening" >&2
    cat "$out" >&2
    exit 1
}

start_sim classic classic1k:A1B2C3D4
export KESTREL_SIM_CLASSIC=$address
start_sim desfire desfire:04A1B2C3D4E5F6
export KESTREL_SIM_DESFIRE=$address

# In the background so that a signal reaches the trap at once rather than when the command
# ends; the explicit redirection keeps this script's standard input for the command.
"$@" <&0 &
command_pid=$!
status=0
wait "$command_pid" || status=$?
command_pid=
exit "$status"
