#!/usr/bin/env bash
# Builds the fuzz targets (clang, the fuzz preset) and runs each over its committed seeds and
# regression inputs, one after the other, on one core.
#   scripts/fuzz.sh [-t SECONDS | -n RUNS] [TARGET...]
#     -t SECONDS  run each target this long (default 30: the CI smoke run)
#     -n RUNS     run each target for this many executions instead
#     TARGET      framing typea iso14443_4 desfire mifare typeb_config (default: all)
# New inputs go to build/fuzz/work/TARGET (not committed), findings to build/fuzz/findings/TARGET,
# the fuzzer's output to build/fuzz/logs/TARGET.log. The summary line of each target gives
# executions, rate and libFuzzer's coverage figures (cov: edges, ft: features). The exit status
# is 1 when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-max_total_time=30)
while getopts "t:n:" option; do
    case $option in
        t) limit=(-max_total_time="$OPTARG") ;;
        n) limit=(-runs="$OPTARG") ;;
        *) sed -n '2,11p' "$0" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(framing typea iso14443_4 desfire mifare typeb_config)

scripts/install-deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

# No allocation stacks in reports: recording one for every allocation took a third of the
# fuzzer's time. Running the target on a finding's input shows them again.
export ASAN_OPTIONS=malloc_context_size=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}

status=0
TIMEFORMAT="%0U s user + %0S s system CPU"
for target in "${targets[@]}"; do
    work=build/fuzz/work/$target findings=build/fuzz/findings/$target log=build/fuzz/logs/$target.log
    mkdir -p "$work" "$findings" "$(dirname "$log")"
    inputs=(fuzz/corpus/"$target")
    [ -d fuzz/regressions/"$target" ] && inputs+=(fuzz/regressions/"$target")
    # The fuzzer's CPU seconds (user and system) next to its wall-clock rate: on a loaded
    # machine the two differ widely.
    if ! cpu=$( { time build/fuzz/fuzz/fuzz_"$target" "${limit[@]}" -print_final_stats=1 \
        -timeout=10 -max_len=2048 -artifact_prefix="$findings/" "$work" "${inputs[@]}" \
        >"$log" 2>&1; } 2>&1 ); then
        status=1
        echo "$target: FINDING, see $log and $findings" >&2
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
    echo "$target: ${runs:-?} executions, ${rate:-?}/s, ${cpu:-? CPU}, $coverage"
done
exit $status
