#!/usr/bin/env bash
# Runs every fuzz target on a corpus kept in the build directory (seeded from
# valid documents), as many targets at once as there are cores, then prints
# per target its executions, their rate over the real elapsed time, coverage
# and crashes, and the campaign's wall time.
#   run_fuzzers.sh BUILD runs=N      a campaign: each target until N executions
#   run_fuzzers.sh BUILD seconds=S   a smoke run: each target for S seconds
# Exits non-zero when any target crashed, or stopped short of N executions.
set -uo pipefail
build=${1:-build-fuzz}
limit=${2:-seconds=60}
jobs=${FUZZ_JOBS:-$(nproc)}
# A campaign target that has not reached its count by then stops, and fails.
guard=${FUZZ_GUARD_SECONDS:-7200}
here=$(cd "$(dirname "$0")" && pwd)
# Slowest first, so that the quick ones run beside it.
targets=(serverconnection writer reader response requestheader)

runs=0
case $limit in
runs=*) runs=${limit#runs=}; stop=(-runs="$runs" -max_total_time="$guard"); seconds=$guard ;;
seconds=*) seconds=${limit#seconds=}; stop=(-max_total_time="$seconds") ;;
*) echo "usage: $0 BUILD runs=N|seconds=S" >&2; exit 2 ;;
esac

python3 "$here/make_seeds.py" "$build/seeds" > /dev/null || exit 1
mkdir -p "$build/artifacts"

run_target() {
    local target=$1 corpus="$build/corpus/$1" start status
    mkdir -p "$corpus"
    start=$EPOCHREALTIME
    # The outer limit only stops a target that hangs past its own.
    timeout $((seconds + 300)) "$build/fuzz/fuzz_$target" "${stop[@]}" -timeout=10 \
        -dict="$here/xmlrpc.dict" -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$corpus" "$build/seeds/$target" > "$build/fuzz_$target.log" 2>&1
    status=$?
    echo "$status $start $EPOCHREALTIME" > "$build/fuzz_$target.status"
}

campaign_start=$EPOCHREALTIME
running=0
for target in "${targets[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
    echo "\$ fuzz_$target ${stop[*]} -dict=fuzz/xmlrpc.dict $build/corpus/$target $build/seeds/$target"
    rm -f "$build/fuzz_$target.status"
    run_target "$target" &
    running=$((running + 1))
done
wait
wall=$(awk -v a="$campaign_start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.0f", b - a}')

failed=0
declare -A line
for target in "${targets[@]}"; do
    log="$build/fuzz_$target.log"
    read -r status start end < "$build/fuzz_$target.status" || status=1
    executed=$(awk '/^stat::number_of_executed_units/ {print $NF}' "$log")
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<< "$done_line")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<< "$done_line")
    corp=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<< "$done_line")
    rate=$(awk -v n="${executed:-0}" -v a="${start:-0}" -v b="${end:-0}" \
        'BEGIN {printf "%.0f", (b > a) ? n / (b - a) : 0}')
    crashes=0
    if [ "$status" -ne 0 ]; then
        crashes=1
        failed=1
        echo "fuzz_$target failed (exit $status); its log: $log"
        grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)|^[^ ]+ outcomes|outlived|without|differs' "$log" | head -n 5
        ls "$build/artifacts/$target-"* 2>/dev/null | head -n 3
    elif [ "${executed:-0}" -lt "$runs" ]; then
        failed=1
        echo "fuzz_$target stopped at ${executed:-0} executions, short of $runs, after ${guard}s"
    fi
    line[$target]=$(printf '%-18s %12s %8s %8s %8s %8s %8s' "$target" "${executed:-?}" \
        "$rate" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$crashes")
done
echo
printf '%-18s %12s %8s %8s %8s %8s %8s\n' target executions exec/s cov features corpus crashes
for target in "${targets[@]}"; do echo "${line[$target]}"; done
echo "campaign wall time: ${wall}s, $jobs targets at once"
exit $failed
