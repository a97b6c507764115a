#!/usr/bin/env bash
# Regenerates docs/cli.md: every kestrel command run against kestrel-sim, with the output it
# really printed.
#   scripts/cli-docs.sh [BUILD-TREE]     (default: the release tree, configured when needed)
set -euo pipefail
cd "$(dirname "$0")/.."

tree=${1:-build/release}
[ -f "$tree/CMakeCache.txt" ] || cmake --preset release >/dev/null
cmake --build "$tree" -j "$(nproc)" --target kestrel kestrel-sim >/dev/null
kestrel_bin=$PWD/$tree/tools/kestrel
sim_bin=$PWD/$tree/tools/kestrel-sim

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# Starts a simulator with the cards given and points KESTREL_READER at it.
use_sim() {
    local out="$work/sim${#pids[@]}.out" args=() card
    for card in "$@"; do args+=(--card "$card"); done
    "$sim_bin" --tcp 127.0.0.1:0 --no-stdin --firmware "kestrel-sim 1.0" "${args[@]}" \
        </dev/null >"$out" &
    pids+=($!)
    for _ in $(seq 100); do
        [ "$(wc -l <"$out")" -ge 1 ] && break
        sleep 0.05
    done
    KESTREL_READER=$(sed -n '1s/^listening on tcp //p' "$out")
    export KESTREL_READER
}

# One example: the command line as a user types it, then what it printed (both streams) and
# its exit status when that is not 0.
run() {
    local status=0 shown="" arg
    for arg in "$@"; do
        case $arg in *" "*) shown+=" '$arg'" ;; *) shown+=" $arg" ;; esac
    done
    echo '```'
    echo "\$ kestrel${shown}"
    (cd "$work" && "$kestrel_bin" "$@") >"$work/output" 2>&1 || status=$?
    cat "$work/output"
    [ "$status" -eq 0 ] || echo "[exit status $status]"
    echo '```'
    echo
}

{
cat <<'TEXT'
# kestrel: the command-line tool

`kestrel` drives readers and cards from the shell: it lists readers, shows what is in the
field, dumps and restores MIFARE Classic cards, reads and writes Ultralight pages, shows and
changes everything on a DESFire card and sends APDUs. It is built with the library
(`build/*/tools/kestrel`) and uses only the library's public interface.

Every example below is real output of `kestrel` against the virtual reader `kestrel-sim`,
captured by `scripts/cli-docs.sh` (run it again after changing the tool). The examples set
`KESTREL_READER` to the simulator's address instead of passing `-r` each time.

## Options every command takes

| Option | Meaning |
|---|---|
| `-r, --reader NAME` | `a.b.c.d:port` (TCP), `COMn` or a device path such as `/dev/ttyUSB0` (serial), `USB_n` (USB HID). Default: `$KESTREL_READER`, then `127.0.0.1:4711`. |
| `--reader-type N` | reader type; for USB readers the product id (4096: the reader with RF scan) |
| `--baud N` | serial line speed (default 115200) |
| `--timeout MS` | time-out of each exchange with the reader |
| `--log` | every frame written (`->`) and read (`<-`), in hex with a time stamp, on standard error |
| `--json` | one JSON document on standard output (JSON lines for `poll`) |
| `-q, --quiet` | no progress bar, notes or confirmations |
| `--raw` | data outputs (dumps, file data, records, APDU answers) as bytes instead of hex |
| `--help` | on every level: `kestrel --help`, `kestrel df --help`, `kestrel df read --help` |
| `--version` | the tool's and the library's version |

Options may stand before or after the command's name. Data arguments are hex (blanks
allowed: `"DE AD BE EF"`) or `@FILE` for the bytes of a file (`@-`: standard input). AIDs are
up to six hex digits, most significant first (`123456`); DESFire keys are `KEYNO:HEX` with 8
(DES) or 16 (two-key triple DES) bytes.

**Exit status:** 0 success; 1 the reader or the card refused or failed (the message names the
operation, the library's text for the code and the code in decimal and hex); 2 a bad command
line or input file; 3 no reader could be opened, or none answers; 130 interrupted by Ctrl-C
(the library call under way ends, the reader is closed, no partial file is left).

**Progress:** dumps, restores and DESFire transfers above 1 KB draw a progress bar on standard
error when it is a terminal (done of total, rate, elapsed time); never into a pipe or a file,
nor with `--quiet`.

**Files:** images are written to a temporary file beside the target and renamed when complete.

TEXT

echo '## Readers'
echo
use_sim classic1k:A1B2C3D4
echo '`readers` lists the serial lines that can be opened now (with `--usb PID` also the USB'
echo 'readers with that product id). `info` asks the connected reader for its firmware and RF scan.'
echo
run readers
run info
run info --json

echo '## What is in the field'
echo
echo '`scan` activates what is in the field once. ISO 14443-4 cards get RATS; a DESFire card'
echo 'also shows its version. Type B cards show their ATQB fields. Exit status 1 when the field'
echo 'is empty.'
echo
run scan
use_sim desfire:04A1B2C3D4E5F6 typeb:11223344
run scan
run scan --json
echo '`poll` watches the field until Ctrl-C (or `--count` polls) and prints a line for each card'
echo 'that arrives or leaves:'
echo
use_sim ultralight:04112233445566
run poll --count 2 --interval 100
run poll --count 1 --json

echo '## MIFARE Classic'
echo
use_sim classic1k:A1B2C3D4
echo '`mfc dump` tries each key of the key file (12 hex digits a line, `#` comments; without `-k`'
echo 'the well-known transport keys) as key A, then as key B, and reads every block the trailer'
echo 'lets that key read. Without `-o` it shows the blocks; with `-o` it writes the raw image'
echo '(1024 or 4096 bytes) that `kestrel-sim --card classic1k::FILE` loads. Blocks it cannot read'
echo 'are zero in the image and listed. Trailers in the image carry the keys that opened them.'
echo
run mfc value set 5 100
run mfc dump
printf '# site keys\nA0A1A2A3A4A5\nB0B1B2B3B4B5\nFFFFFFFFFFFF\n' >"$work/keys.txt"
run mfc dump -k keys.txt -o card.mfd
echo '`mfc restore` writes an image back: data blocks only, unless `--with-trailers` (and'
echo '`--with-block0`). A trailer whose access bits do not match their inverted copies, or that'
echo 'no key could change again, is refused unless `--force`. Here sector 2 gets new keys and the'
echo 'conditions of a value sector:'
echo
python3 - "$work/card.mfd" <<'PY'
import sys
path = sys.argv[1]
data = bytearray(open(path, 'rb').read())
data[16 * 8:16 * 9] = b'kestrel restores'
data[16 * 11:16 * 12] = bytes.fromhex('A0A1A2A3A4A5' '08778F00' 'B0B1B2B3B4B5')
open(path, 'wb').write(data)
PY
run mfc restore card.mfd --with-trailers
run mfc acl 2 -k keys.txt
run mfc acl --decode 7F0F0869
run mfc value inc 5 23
run mfc value dec 5 3 --json

echo '## MIFARE Ultralight'
echo
use_sim ultralight:04112233445566
run ul write 4 "DE AD BE EF"
run ul write 2 "00 00 F0 00"
run ul dump

echo '## DESFire'
echo
use_sim desfire:04A1B2C3D4E5F6
echo 'Commands that need a key take `--key KEYNO:HEX`; they authenticate in the application'
echo 'they work on (the card level for `info`, `ls`, `create-app`, `delete APP` and `format`).'
echo 'Data moves in the file'"'"'s own communication mode when the key grants the right, plain'
echo 'when free access does; `--mode plain|mac|enc` overrides it. Writes to backup, value and'
echo 'record files are committed.'
echo
run df create-app 123456 --settings 0F --keys 2
run df create-file 123456 1 --type standard --size 2048 --access free,free,free,0
run df create-file 123456 2 --type value --comm mac --access 1,1,1,0 --lower 0 --upper 1000 --value 10
run df create-file 123456 3 --type cyclic --record-size 8 --max-records 4 --access free,free,free,0
run df create-file 123456 4 --type backup --comm enc --size 32 --access 1,1,1,0
head -c 2048 /dev/zero | tr '\0' 'k' >"$work/data.bin"
run df write 123456 1 @data.bin
run df read 123456 1 --length 48
run df write 123456 4 "CA FE" --key 1:00000000000000000000000000000000
run df read 123456 4 --length 2 --key 1:00000000000000000000000000000000 --json
run df value 123456 2 credit 5 --key 1:0000000000000000
run df records 123456 3 --write 0102030405060708
run df records 123456 3
run df ls
run df ls 123456
run df change-key 123456 1 00112233445566778899AABBCCDDEEFF --key 0:0000000000000000
run df info
run df info --json
run df delete 123456 3
run df format --key 0:0000000000000000

echo '## APDUs'
echo
echo '`apdu` activates an ISO 14443-4 card (RF reset, RATS, PPS with `--pps DSI:DRI`), sends'
echo 'each APDU and shows the answer and its last two bytes as the status word. The virtual'
echo 'DESFire card answers its native commands:'
echo
run apdu 60 AF AF

echo '## Failures'
echo
use_sim classic1k:A1B2C3D4
printf '010203040506\n' >"$work/wrong.txt"
run mfc value get 5 -k wrong.txt
run ul dump
run -r 127.0.0.1:1 scan
run mfc acl --decode FF07
} >docs/cli.md
echo "docs/cli.md written"
