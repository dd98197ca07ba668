#!/bin/sh
# Throughput benchmark: builds Release, simulates the three benchmark logs
# and converts each with the clock recomputation off and on, next to the
# raw read rate and the I/O floor of the same file, and with the RINEX
# export beside the host's files, RINEX 3.04 and 2.11 (its time against
# the conversion without it; oem4bench):
#
#   day    a full day at 1 Hz with RANGECMP, RAWEPHEM, BESTPOS and the clock
#          model;
#   real   a full day at 1 Hz of the kind real receivers are told to log
#          today: RANGECMP, BESTXYZ every epoch and GPSEPHEM, every tracked
#          satellite's again each 360 s (about one record in 30 epochs, as
#          in the shared real logs), no BESTPOS; the logged position
#          scatters by 1 m per axis, as a receiver's solution does (no two
#          BESTXYZ of the shared real logs are the same);
#   hour   an hour at 20 Hz with RANGE from a survey flight with a camera
#          mark every 2 s.
#
#   bench/run.sh [REPEAT]        (default 3; the best run of each is kept)
#
# BUILD_DIR (default build-bench), DATA_DIR (default BUILD_DIR/bench-data;
# two builds compared can share it) and JOBS (default 2) may be set.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
jobs=${JOBS:-2}
repeat=${1:-3}
data=${DATA_DIR:-$build/bench-data}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOEM4CONV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target oem4bench oem4sim -j "$jobs" >/dev/null

mkdir -p "$data"
sim=$build/tools/oem4sim/oem4sim
day=$data/day-1hz-rangecmp.gps
real=$data/day-1hz-rangecmp-gpsephem-bestxyz-scatter.gps
hour=$data/hour-20hz-range.gps
[ -s "$day" ] || "$sim" -q --duration 24h --rate 1 --format rangecmp -o "$day"
[ -s "$real" ] || "$sim" -q --duration 24h --rate 1 --format rangecmp --ephemeris gpsephem --ephemeris-every 360 \
    --position bestxyz --position-noise 1 -o "$real"
[ -s "$hour" ] || "$sim" -q --duration 1h --rate 20 --format range --motion flight --marks 2 -o "$hour"

echo "machine: $(nproc) processors, $(lscpu | sed -n 's/^Model name: *//p' | head -n 1)"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
for log in "$day" "$real" "$hour"; do
    # The RINEX export's cost is measured beside the plain conversion, in
    # both versions: 2.11 writes three lines a satellite, the larger file.
    for options in --rinex --rinex-2.11 --recompute; do
        echo
        "$build/tools/oem4bench/oem4bench" "$log" "$options" --repeat "$repeat" --out "$build/bench-out"
    done
done
echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
rm -f "$build/bench-out.tsq" "$build/bench-out.epp" "$build/bench-out.sta" "$build/bench-out.obs" "$build/bench-out.nav" \
    "$build/bench-out.gnav" "$build/bench-out.floor"
