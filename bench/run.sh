#!/bin/sh
# Throughput benchmark: builds Release, simulates the two benchmark logs
# (a full day at 1 Hz with RANGECMP, an hour at 20 Hz with RANGE from a
# survey flight with camera marks), and converts each with the clock
# recomputation off and on, next to the raw read rate of the same file.
#
#   bench/run.sh [REPEAT]        (default 3; the best run of each is kept)
#
# BUILD_DIR (default build-bench) and JOBS (default 2) may be set.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
jobs=${JOBS:-2}
repeat=${1:-3}
data=$build/bench-data

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOEM4CONV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target oem4bench oem4sim -j "$jobs" >/dev/null

mkdir -p "$data"
sim=$build/tools/oem4sim/oem4sim
day=$data/day-1hz-rangecmp.gps
hour=$data/hour-20hz-range.gps
[ -s "$day" ] || "$sim" -q --duration 24h --rate 1 --format rangecmp -o "$day"
[ -s "$hour" ] || "$sim" -q --duration 1h --rate 20 --format range --motion flight --marks 2 -o "$hour"

echo "machine: $(nproc) processors, $(lscpu | sed -n 's/^Model name: *//p' | head -n 1)"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
for log in "$day" "$hour"; do
    for recompute in "" --recompute; do
        echo
        # shellcheck disable=SC2086
        "$build/tools/oem4bench/oem4bench" "$log" $recompute --repeat "$repeat" --out "$build/bench-out"
    done
done
rm -f "$build/bench-out.tsq" "$build/bench-out.epp" "$build/bench-out.sta"
