#!/bin/sh
# Regenerates the bundled sample log and its truth with the simulator:
# ten minutes of a survey flight (250 km/h, 8 km lines) over Zurich, 1 Hz
# RANGECMP with L1 and L2 of at most 12 GPS satellites, camera pulses every
# 4 s, a new ephemeris set five minutes in, almanac, a few cycle slips.
#
# Usage: examples/make-sample.sh [path/to/oem4sim]
# Without an argument the simulator is built in build-sample/ first.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
sim=${1:-}
if [ -z "$sim" ]; then
    build="$here/../build-sample"
    cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOEM4CONV_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" --target oem4sim -j2 >/dev/null
    sim="$build/tools/oem4sim/oem4sim"
fi
"$sim" --seed 2024 --start-week 1400 --start-seconds 305700 --duration 600 --rate 1 \
    --format rangecmp --motion flight --lat 47.40 --lon 8.55 --height 1450 \
    --speed 250 --line-length 8000 --line-spacing 600 --max-sats 12 --mask 10 \
    --marks 4 --slips 1 \
    -o "$here/sample.gps" --truth "$here/sample.truth.csv"
