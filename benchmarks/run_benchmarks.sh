#!/usr/bin/env bash
# Our XML-RPC library side by side with Python's xmlrpc and xmlrpc-c, in one run, as ratios.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
server_pid=
cleanup() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

echo "== codec: compose and parse of one call (MB/s of document text; ours writes and reads the UTF-8 bytes on the wire, Python's dumps gives a str)"
echo "\$ $build/benchmarks/codec-bench; python3 benchmarks/python_codec.py"
"$build/benchmarks/codec-bench" > "$work/ours.txt"
python3 "$here/python_codec.py" > "$work/python.txt"
printf '%-12s %-15s %10s %10s %8s\n' case operation ours python ratio
join -j1 <(awk '{print $2"/"$3, $4}' "$work/ours.txt" | sort) <(awk '{print $2"/"$3, $4}' "$work/python.txt" | sort) |
    awk '{split($1, k, "/"); printf "%-12s %-15s %10.1f %10.1f %8.2f\n", k[1], k[2], $2, $3, $2 / $3}'
awk '$1 == "escaping" {printf "composing 400,000 \"&\" costs %.2f times composing 400,000 letters\n", $4}' "$work/ours.txt"

# Starts a server that prints its port first; waits (bounded) until it does.
start_server() {
    "$@" > "$work/port" 2>/dev/null &
    server_pid=$!
    for _ in $(seq 100); do
        port=$(head -n 1 "$work/port" 2>/dev/null || true)
        [ -n "$port" ] && return 0
        sleep 0.1
    done
    echo "server did not start: $*" >&2
    return 1
}
stop_server() { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; server_pid=; }

# One echo call; checks the answer first, then loads with hey: keeping connections alive, or one per call.
cat > "$work/body.xml" <<'XML'
<?xml version="1.0"?><methodCall><methodName>echo</methodName><params><param><value><string>hello</string></value></param></params></methodCall>
XML
load() { # concurrency requests [hey options]
    timeout 120 hey "${@:3}" -m POST -T text/xml -D "$work/body.xml" -c "$1" -n "$2" \
        "http://127.0.0.1:$port/RPC2" | awk '/Requests\/sec/ {print $2}'
}
check_answer() {
    python3 -c "import sys, xmlrpc.client; assert xmlrpc.client.ServerProxy('http://127.0.0.1:$port/RPC2').echo('hello') == 'hello'"
}

echo
echo "== server: echo calls/s over loopback, connections kept alive (8 and 50 at once) and one connection per call"
echo "\$ hey [-disable-keepalive] -m POST -T text/xml -D body.xml -c C -n N http://127.0.0.1:PORT/RPC2"
servers=(ours xmlrpc-c python python-threading)
declare -A rate
for server in "${servers[@]}"; do
    case $server in
        ours) start_server "$build/benchmarks/echo-server" ;;
        xmlrpc-c) start_server "$build/benchmarks/xmlrpc-c-echo-server" ;;
        python) start_server python3 "$here/python_echo_server.py" ;;
        python-threading) start_server python3 "$here/python_echo_server.py" threading ;;
    esac
    check_answer
    rate[$server,8]=$(load 8 20000)
    rate[$server,50]=$(load 50 20000)
    rate[$server,close]=$(load 8 5000 -disable-keepalive)
    stop_server
done
printf '%-18s %12s %12s %14s\n' server kept-8 kept-50 per-call-8
for server in "${servers[@]}"; do
    printf '%-18s %12.0f %12.0f %14.0f\n' "$server" "${rate[$server,8]}" "${rate[$server,50]}" "${rate[$server,close]}"
done
ratio() { echo "$1 / $2" | bc -l; }
for peer in xmlrpc-c python python-threading; do
    printf 'ratio ours/%-7s %12.2f %12.2f %14.2f\n' "$peer" "$(ratio "${rate[ours,8]}" "${rate[$peer,8]}")" \
        "$(ratio "${rate[ours,50]}" "${rate[$peer,50]}")" "$(ratio "${rate[ours,close]}" "${rate[$peer,close]}")"
done
printf 'ours kept alive against ours one call per connection: %.2f (8) %.2f (50)\n' \
    "$(ratio "${rate[ours,8]}" "${rate[ours,close]}")" "$(ratio "${rate[ours,50]}" "${rate[ours,close]}")"

echo
echo "== photo pipeline: the call to stage 0 on the wire (prepare) and the whole upload, against libjpeg-turbo's"
echo "   djpeg | cjpeg of the same photo (limit); the longest wait of a 5 ms timer on the GUI thread during"
echo "   the upload (stall) and peak resident memory, with vendalux-sim in a process of its own; ${PHOTO_RUNS:=5} runs each"
echo "\$ pipeline-bench upload PHOTO; djpeg [-scale 6/8] PHOTO | cjpeg -quality 90"
printf '%-16s %4s %9s %9s %7s %9s %7s %8s %8s\n' photo run prepare limit ratio upload ratio stall peak-MB
# The noisy one has a camera's sensor grain, as real photos do (about 9 MB):
# the smooth ones flatter every figure.
for size in "6000 4000" "8000 6000" "6000 4000 noisy"; do
    set -- $size
    photo="$work/photo-$1x$2${3:+-$3}.jpg"
    QT_QPA_PLATFORM=offscreen "$build/benchmarks/pipeline-bench" make "$1" "$2" "$photo" ${3:-} 2>/dev/null
    # What a camera and a catalog write: every preparation below copies it.
    exiftool -q -overwrite_original -Make=Bench -Model=Camera -Orientation=1 -DateTimeOriginal="2026:12:07 10:00:00" \
        -ExposureTime=1/250 -FNumber=8 -ISO=100 -GPSLatitude=48.8584 -GPSLatitudeRef=N -Artist=Bench \
        -Copyright="(c) Bench" -IPTC:Caption-Abstract="A bench photo" -IPTC:Keywords=bench -IPTC:Keywords=photo \
        -XMP-dc:Title="Bench" -XMP-dc:Creator=Bench "$photo"
    scale=""
    [ "$1" -gt 6000 ] && scale="-scale 6/8" # the DCT-domain reduction that still covers the 23 MP target
    for run in $(seq "$PHOTO_RUNS"); do
        read -r _ _ prepare _ upload _ stall _ peak _ < <(QT_QPA_PLATFORM=offscreen "$build/benchmarks/pipeline-bench" upload "$photo" 2>/dev/null)
        start=$(date +%s%N)
        # shellcheck disable=SC2086
        djpeg $scale "$photo" | cjpeg -quality 90 > "$work/limit.jpg"
        limit=$(( ($(date +%s%N) - start) / 1000000 ))
        printf '%-16s %4d %7.0fms %7dms %7.2f %7.0fms %7.2f %6.0fms %8.0f\n' "$1x$2${3:+-$3}" "$run" "$prepare" "$limit" \
            "$(echo "$prepare / $limit" | bc -l)" "$upload" "$(echo "$upload / $limit" | bc -l)" "$stall" "$peak" |
            tee -a "$work/photo.txt"
    done
done
echo "\$ pipeline-bench field PHOTO   (20 uploads of the 24 MP photo, without faults and then with a lost reply,"
echo "  drops, a stall or an HTTP 5xx every few calls; the retries wait 1, 2, 4... s as in the field, a stall 3 s)"
QT_QPA_PLATFORM=offscreen "$build/benchmarks/pipeline-bench" field "$work/photo-6000x4000.jpg" 2>/dev/null ||
    echo "field batch: a photo was not stored exactly once"
echo "\$ pipeline-bench metadata PHOTO   (Exif, IPTC, XMP, ICC: medians of 15, against the 10 ms allowed)"
for size in "6000 4000" "8000 6000"; do
    set -- $size
    read -r _ read _ _ with _ _ without _ < <(QT_QPA_PLATFORM=offscreen "$build/benchmarks/pipeline-bench" metadata \
        "$work/photo-$1x$2.jpg" 2>/dev/null)
    added=$(echo "$read + $with - $without" | bc -l)
    printf '%-10s metadata: read %5.1f ms, copy written in %5.1f ms against %5.1f ms without: %5.1f ms added, %4.2f of the 10 ms allowed\n' \
        "$1x$2" "$read" "$with" "$without" "$added" "$(echo "$added / 10" | bc -l)"
done
awk '{r[$1] = r[$1] " " $5; s[$1] = ($8 + 0 > s[$1]) ? $8 + 0 : s[$1]; m[$1] = ($9 + 0 > m[$1] + 0) ? $9 + 0 : m[$1]}
     END {for (p in r) printf "%-16s prepare/limit over the runs:%s; longest stall %d ms; peak %d MB\n", p, r[p], s[p], m[p]}' \
    "$work/photo.txt" | sort

echo
echo "== parse memory: peak resident growth from a body's arrival to its parsed value, against the body's size"
echo "\$ $build/benchmarks/parse-memory-bench client|server CASE MB   (one process per case, the peer in another)"
printf '%-8s %-8s %8s %10s %8s\n' side case doc-MB peak-MB ratio
for side in client server; do
    for kind in string base64 struct array; do
        for mb in 1 16 60; do
            read -r _ s k doc peak ratio < <("$build/benchmarks/parse-memory-bench" "$side" "$kind" "$mb")
            printf '%-8s %-8s %8.1f %10.1f %8.2f\n' "$s" "$k" "$doc" "$peak" "$ratio" | tee -a "$work/memory.txt"
        done
    done
done
for side in client server; do
    printf 'largest ratio %-7s string/base64 %6.2f   struct/array %6.2f\n' "$side" \
        "$(awk -v s="$side" '$1 == s && ($2 == "string" || $2 == "base64") && $5 > m {m = $5} END {print m}' "$work/memory.txt")" \
        "$(awk -v s="$side" '$1 == s && ($2 == "struct" || $2 == "array") && $5 > m {m = $5} END {print m}' "$work/memory.txt")"
done
