#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each on a corpus kept in the build
# directory (seeded from valid documents), then prints executions, coverage
# and crashes per target. Exits non-zero when any target crashed.
set -uo pipefail
build=${1:-build-fuzz}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
targets=(response requestheader serverconnection)

python3 "$here/make_seeds.py" "$build/seeds" > /dev/null || exit 1
mkdir -p "$build/artifacts"
failed=0
declare -A line
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    log="$build/fuzz_$target.log"
    echo "\$ fuzz_$target -max_total_time=$seconds -dict=fuzz/xmlrpc.dict $corpus $build/seeds/$target"
    # The wall-clock guard only stops a target that hangs past its own limit.
    timeout $((seconds * 2 + 120)) "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
        -dict="$here/xmlrpc.dict" -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$corpus" "$build/seeds/$target" > "$log" 2>&1
    status=$?
    runs=$(awk '/^stat::number_of_executed_units/ {print $NF}' "$log")
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<< "$done_line")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<< "$done_line")
    corp=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<< "$done_line")
    crashes=0
    if [ "$status" -ne 0 ]; then
        crashes=1
        failed=1
        echo "fuzz_$target failed (exit $status); its log: $log"
        grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)|^[^ ]+ outcomes|outlived|without' "$log" | head -n 5
        ls "$build/artifacts/$target-"* 2>/dev/null | head -n 3
    fi
    line[$target]=$(printf '%-18s %12s %8s %8s %8s %8s %8s' "$target" "${runs:-?}" \
        "$(( ${runs:-0} / seconds ))" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$crashes")
done
echo
printf '%-18s %12s %8s %8s %8s %8s %8s\n' target executions exec/s cov features corpus crashes
for target in "${targets[@]}"; do echo "${line[$target]}"; done
exit $failed
