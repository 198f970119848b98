#!/usr/bin/env bash
# The demo: corvane-host runs the page's scripted session against vendalux-sim.
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"

QT_QPA_PLATFORM=offscreen "$build/demo/make-demo-files" "$work/files"
# What a camera and a photographer's catalog put in a photo; the upload keeps it.
exiftool -q -overwrite_original -Make=Vendalux -Model="Demo Camera" -DateTimeOriginal="2026:12:06 09:30:00" \
    -Artist="Demo Photographer" -Copyright="(c) 2026 Demo Photographer" -IPTC:Caption-Abstract="Hills at noon" \
    -IPTC:Keywords=hills -IPTC:Keywords=sun -XMP-dc:Title="Hills" -XMP-dc:Creator="Demo Photographer" \
    "$work/files/accepted.jpg" "$work/files/oversized.jpg"
python3 "$top/catalog/make_catalog.py" "$work/data/Corvane/data/catalog.dat"

"$build/simulator/vendalux-sim" --port 0 > "$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
    port=$(head -n 1 "$work/sim.log" 2>/dev/null || true)
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { echo "demo: the simulator did not start"; exit 1; }
echo "demo: vendalux-sim listening on 127.0.0.1:$port"

screenshot="$build/demo-screenshot.png"
echo "demo: corvane-host --scripted (sign in, three photos, a release, earnings)"
set +e
XDG_DATA_HOME="$work/data" QT_QPA_PLATFORM=offscreen timeout 300 "$build/host/corvane-host" \
    --service "127.0.0.1:$port" --scripted --timeout 240 --screenshot "$screenshot" \
    --photo "$work/files/accepted.jpg" --photo "$work/files/oversized.jpg" \
    --photo "$work/files/too-small.jpg" --release "$work/files/release.pdf" \
    2> "$work/host.err" | tee "$work/host.log"
host_status=${PIPESTATUS[0]}
set -e

expected=(
    "sign-in: signed in"
    "upload accepted.jpg: uploaded as photo"
    "upload oversized.jpg: uploaded as photo"
    "upload too-small.jpg: error 122"
    "release upload release.pdf: answer"
    "release attach to photo"
    "release check: "
    "earnings: Earnings"
    "SESSION OK"
)
missing=0
for line in "${expected[@]}"; do
    if ! grep -qF "$line" "$work/host.log"; then
        echo "demo: expected but not seen: $line"
        missing=1
    fi
done
echo "demo: the simulator received $(grep -c -E ' (accepted|refused)' "$work/sim.log") calls"
grep '^photo ' "$work/sim.log" | sed 's/^/demo: the simulator: /'
grep -q '^photo 1001 stored: Exif, IPTC, XMP, ICC kept' "$work/sim.log" || { echo "demo: the photo's metadata was lost"; missing=1; }
if [ "$host_status" -ne 0 ] || [ "$missing" -ne 0 ]; then
    echo "demo: FAILED (host exit status $host_status); its diagnostics:"
    tail -n 20 "$work/host.err"
    exit 1
fi
echo "demo: every step went as expected; screenshot in $screenshot"
