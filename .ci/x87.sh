#!/usr/bin/env bash
# The 32-bit DLL computes with the x87 unit (80-bit registers, rounding when
# a value is stored), the native build with SSE2. A result that depends on
# that difference would make the DLL's files differ from those the tests
# check. This converts every end-to-end log -- the bundled sample, simulated
# logs like those of the end-to-end tests, and the real logs of
# ../shared/data when present -- with the normal build and with one compiled
# with -mfpmath=387, each log with the default options plus RINEX and all
# notices, and once more with the clock recomputation, and compares every
# output and the printed messages byte for byte (apart from the observation
# file's creation time and name and the RINEX creation date, which differ
# between any two runs). The one exception: the position and clock offset
# recomputed by least squares differ in their last bits between the two
# arithmetics (about 1e-13 degrees, 1e-8 m); those fields are held to
# 1e-9 degrees, 1 mm and 1e-6 m (dll_host --compare-recomputed), every other
# byte of those files to equality.
#
#   .ci/x87.sh [NATIVE_BUILD]
#
# NATIVE_BUILD (default build) must hold oem4conv_cli, oem4sim and
# dll_host_native, or is configured and built for them. The x87 build goes
# to OEM4CONV_X87_BUILD (default build-x87).
# Exit status: 0 the same, 1 a difference, 77 skipped (not g++ on x86-64).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native_build=${1:-$root/build}
x87_build=${OEM4CONV_X87_BUILD:-$root/build-x87}
jobs=${OEM4CONV_JOBS:-2}
data_dir=$(cd "$root/.." && pwd)/shared/data

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }

[ "$(uname -m)" = x86_64 ] || skip "x87 comparison: -mfpmath=387 is tried on x86-64 only (this is $(uname -m))"
compiler=${CXX:-g++}
"$compiler" --version 2>/dev/null | grep -qi 'free software foundation' ||
  skip "x87 comparison: needs g++ (CXX is $compiler)"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
echo "=== normal build: $native_build ==="
[ -f "$native_build/CMakeCache.txt" ] ||
  cmake -S "$root" -B "$native_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$native_build" --target oem4conv_cli oem4sim dll_host_native -j"$jobs" >/dev/null
echo "=== x87 build (-mfpmath=387): $x87_build ==="
cmake -S "$root" -B "$x87_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOEM4CONV_BUILD_TESTS=OFF \
  -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_CXX_FLAGS=-mfpmath=387 -DCMAKE_C_FLAGS=-mfpmath=387 \
  "${launcher[@]}" >/dev/null
cmake --build "$x87_build" --target oem4conv_cli -j"$jobs" >/dev/null
normal=$native_build/tools/oem4conv/oem4conv
x87=$x87_build/tools/oem4conv/oem4conv
compare=$native_build/tests/windows/dll_host_native
sim=$native_build/tools/oem4sim/oem4sim
grep -q -- '-mfpmath=387' "$x87_build/CMakeCache.txt" || fail "the x87 build lost its flags"

work=$x87_build/compare
rm -rf "$work"
mkdir -p "$work/logs"

# ---- the logs ------------------------------------------------------------------
# Simulated logs with the settings of the end-to-end tests: two ephemeris
# records of one broadcast and an unhealthy satellite, both position
# records, damaged records, five systems with today's signals in both range
# records, the clock recomputation's flight, and the truth flights with
# cycle slips and marks.
simulated=(
  "ephemerides:--seed 5 --start-seconds 9000 --duration 3000 --rate 0.2 --unhealthy 7 --ephemeris both"
  "positions:--seed 9 --duration 600 --motion flight --height 2500 --position both"
  "faults:--seed 99 --duration 900 --format rangecmp --motion flight --marks 3 --start-seconds 9900 --flip 0.01 --truncate 0.01 --garbage 0.03 --bad-length 0.01 --bad-count 0.01"
  "systems-range:--seed 15 --duration 90 --format range --max-sats 7 --other-max-sats 5 --systems gps,glonass,galileo,beidou,qzss --signals oem7 --glonass-first"
  "systems-rangecmp:--seed 15 --duration 90 --format rangecmp --max-sats 7 --other-max-sats 5 --systems gps,glonass,galileo,beidou,qzss --signals oem7 --glonass-first"
  "recompute:--seed 5 --duration 600 --format rangecmp --motion flight --noise off --iono off"
  "flight-range:--seed 11 --start-seconds 9000 --duration 2000 --rate 0.5 --format range --motion flight --height 1200 --marks 7 --slips 30"
  "flight-rangecmp:--seed 11 --start-seconds 9000 --duration 2000 --rate 0.5 --format rangecmp --motion flight --height 1200 --marks 7 --slips 30"
)
logs=("$root/examples/sample.gps")
for entry in "${simulated[@]}"; do
  name=${entry%%:*}
  # shellcheck disable=SC2086
  "$sim" -q ${entry#*:} -o "$work/logs/sim-$name.gps" || fail "oem4sim $name"
  logs+=("$work/logs/sim-$name.gps")
done
real=0
if [ -d "$data_dir" ]; then
  for log in "$data_dir"/*.gps "$data_dir"/*.dat; do
    [ -f "$log" ] && logs+=("$log") && real=$((real + 1))
  done
fi
[ "$real" -gt 0 ] || echo "NOTE: no real logs in $data_dir; the sample and the simulated logs only"
echo "${#logs[@]} logs: the sample, ${#simulated[@]} simulated, $real real"

# ---- converting with both builds ------------------------------------------------
passes=("plain:--rinex --report-all" "recompute:--recompute-clock --report-all --channels 24")
compared=0
for pass in "${passes[@]}"; do
  name=${pass%%:*}
  for build in normal x87; do
    program=$normal
    [ "$build" = x87 ] && program=$x87
    mkdir -p "$work/$name-$build"
    status=0
    # shellcheck disable=SC2086
    "$program" -j "$jobs" --no-progress ${pass#*:} -o "$work/$name-$build" "${logs[@]}" \
      >"$work/$name-$build.out" 2>"$work/$name-$build.err" || status=$?
    echo "$name, $build build: exit $status"
    # Several workers print at once: the lines in order, folders apart.
    cat "$work/$name-$build.out" "$work/$name-$build.err" | sed "s#$work/[a-z0-9-]*/##g; s#$root/##g" |
      sort >"$work/$name-$build.lines"
  done
  cmp -s "$work/$name-normal.lines" "$work/$name-x87.lines" ||
    { diff "$work/$name-normal.lines" "$work/$name-x87.lines" | head -n 20; fail "$name: the printed messages differ"; }
  for file in "$work/$name-normal"/*; do
    other=$work/$name-x87/$(basename "$file")
    [ -f "$other" ] || fail "$name: $(basename "$file") missing from the x87 build's outputs"
    case $file in
      *.tsq)
        if [ "$name" = recompute ]; then
          "$compare" --compare-recomputed "$file" "$other" | sed "s#^$work/##" || fail "$name: $(basename "$file") differs"
        else
          "$compare" --compare "$file" "$other" >/dev/null || fail "$name: $(basename "$file") differs"
        fi ;;
      *.obs | *.nav)
        cmp -s <(grep -v 'PGM / RUN BY / DATE' "$file") <(grep -v 'PGM / RUN BY / DATE' "$other") ||
          fail "$name: $(basename "$file") differs" ;;
      *) cmp -s "$file" "$other" || fail "$name: $(basename "$file") differs" ;;
    esac
    compared=$((compared + 1))
  done
  [ "$(ls "$work/$name-normal" | wc -l)" = "$(ls "$work/$name-x87" | wc -l)" ] ||
    fail "$name: the x87 build wrote other files"
done
echo "$compared output files and the messages of ${#passes[@]} passes over ${#logs[@]} logs match between the SSE2 and the x87 build"
