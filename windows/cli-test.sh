#!/usr/bin/env bash
# Cross-builds oem4conv.exe with mingw-w64, checks that it is one
# self-contained program, and runs the command under wine beside the native
# build: the sample and the real logs of ../shared/data (when present)
# converted with -j 2 under Windows paths (drive letters, '\' and '/', UNC,
# spaces, non-ASCII names, wildcards, -o to a directory), every output compared with
# the native build's (observation files apart from the header's creation
# time and file name, text files and the RINEX files apart from their CR LF
# line ends, which must be there, and the RINEX files' creation date), the
# summaries, detect, dump, report, exit codes and Ctrl-C during a -j 2
# conversion.
#
#   windows/cli-test.sh [--native-cli PATH --native-compare PATH]
#
# Without --native-* the native command and the file comparer (dll_host
# --compare) are built in OEM4CONV_NATIVE_BUILD (default build-dll).
# OEM4CONV_WIN_ARCH=x86_64 tests the 64-bit build of the same sources, for
# machines whose wine cannot run 32-bit programs.
# Exit status: 0 passed, 1 failed, 77 skipped (cross compiler or wine missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${OEM4CONV_WIN_ARCH:-i686}
case $arch in
  i686) win_build=${OEM4CONV_WIN32_BUILD:-$root/build-win32}; wine=wine ;;
  x86_64) win_build=${OEM4CONV_WIN64_BUILD:-$root/build-win64}
          wine=wine; [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64 ;;
  *) echo "OEM4CONV_WIN_ARCH must be i686 or x86_64" >&2; exit 2 ;;
esac
native_build=${OEM4CONV_NATIVE_BUILD:-$root/build-dll}
jobs=${OEM4CONV_JOBS:-2}
data_dir=$(cd "$root/.." && pwd)/shared/data
native_cli=
native_compare=

while [ $# -gt 0 ]; do
  case $1 in
    --native-cli) native_cli=$2; shift 2 ;;
    --native-compare) native_compare=$2; shift 2 ;;
    *) echo "usage: $0 [--native-cli PATH --native-compare PATH]" >&2; exit 2 ;;
  esac
done

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
failures=0
check() { # check DESCRIPTION COMMAND...: counts a failure, goes on
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

cross=$arch-w64-mingw32
command -v "$cross-g++" >/dev/null || skip "$cross-g++ not found (apt-get install g++-mingw-w64-${arch//_/-})"
command -v "$cross-objdump" >/dev/null || skip "$cross-objdump not found"
command -v "${wine%% *}" >/dev/null || skip "wine not found"
export WINEDEBUG=-all
# A prefix of its own: the UNC test maps a share in it.
export WINEPREFIX=$win_build/wine-prefix
mkdir -p "$WINEPREFIX"
timeout 300 "$wine" cmd.exe /c exit 0 >/dev/null 2>&1 ||
  skip "wine cannot run $arch Windows programs on this machine"

echo "=== cross build ($arch): $win_build ==="
cmake -S "$root" -B "$win_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
  -DOEM4CONV_MINGW_PREFIX="$cross" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$win_build" --target oem4conv_cli -j"$jobs"
exe=$win_build/tools/oem4conv/oem4conv.exe
# cmd.exe above may be a 64-bit program; the command itself tells whether
# this wine runs $arch programs.
timeout 300 "$wine" "$exe" --version >/dev/null 2>&1 ||
  skip "wine cannot run $arch Windows programs on this machine"

echo "=== oem4conv.exe is self-contained ==="
imports=$("$cross-objdump" -p "$exe" | sed -n 's/^[ \t]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports: $(echo $imports)"
for name in $imports; do
  case $name in
    kernel32.dll | msvcrt.dll) ;;
    *) fail "oem4conv.exe needs $name; the compiler runtime must be linked in" ;;
  esac
done
grep -qa 'activeCodePage' "$exe" || fail "oem4conv.exe has no UTF-8 manifest"

if [ -z "$native_cli" ] || [ -z "$native_compare" ]; then
  echo "=== native build: $native_build ==="
  cmake -S "$root" -B "$native_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$native_build" --target oem4conv_cli dll_host_native -j"$jobs"
  native_cli=$native_build/tools/oem4conv/oem4conv
  native_compare=$native_build/tests/windows/dll_host_native
fi

# ---- the workspace ---------------------------------------------------------
work=$win_build/cli-test
rm -rf "$work"
spaces="$work/logs with spaces"
accents="$work/données v1.2 été 日本"
mkdir -p "$spaces" "$accents" "$work/linux" "$work/win out" "$work/unc out"
cp "$root/examples/sample.gps" "$spaces/sample day.gps"
cp "$root/examples/sample.gps" "$accents/jour été.gps"
real=()
if [ -d "$data_dir" ]; then
  for log in "$data_dir"/*.gps "$data_dir"/*.dat; do [ -f "$log" ] && real+=("$log"); done
fi
[ ${#real[@]} -gt 0 ] || echo "NOTE: no real logs in $data_dir; the sample only"

# Z: is the root of the Linux file system in a wine prefix.
winpath() { local p=$1; [ "${p:0:1}" = / ] || p=$PWD/$p; p=${p//\//\\}; echo "Z:$p"; }
run_win() { # run_win OUT ERR ARGS...: sets $status
  local out=$1 err=$2; shift 2
  status=0
  "$wine" "$exe" "$@" >"$out" 2>"$err" || status=$?
}
run_linux() {
  local out=$1 err=$2; shift 2
  status=0
  "$native_cli" "$@" >"$out" 2>"$err" || status=$?
}
# Summary lines without the folders, in a fixed order.
summaries() { tr -d '\r' <"$1" | sed -E 's#^.*[/\\]([^/\\]*: (converted|FAILED))#\1#' | sort; }

# ---- convert: -j 2, Windows spellings of the paths ----------------------------
echo "=== convert with -j $jobs ==="
linux_logs=("$spaces/sample day.gps" "$accents/jour été.gps" "${real[@]}")
win_logs=("$(winpath "$spaces/sample day.gps")" "Z:$accents/jour été.gps")
for log in "${real[@]}"; do win_logs+=("$(winpath "$log")"); done
start=$SECONDS
run_linux "$work/linux.out" "$work/linux.err" -j 2 -q --rinex -o "$work/linux" "${linux_logs[@]}"
[ "$status" = 0 ] || fail "native conversion: $(cat "$work/linux.err")"
run_win "$work/win.out" "$work/win.err" -j 2 --rinex -o "$(winpath "$work/win out")\\" "${win_logs[@]}"
check "convert -j 2 exits 0" [ "$status" = 0 ]
echo "converted ${#linux_logs[@]} logs under wine in $((SECONDS - start)) s"
check "no progress display off a console" test ! -s "$work/win.err"
grep -E ': (converted|FAILED)|logs[,:] ' "$work/win.out" >"$work/win.summaries" || true
grep -E ': (converted|FAILED)|logs[,:] ' "$work/linux.out" >"$work/linux.summaries" || true
check "summaries as on Linux" diff <(summaries "$work/win.summaries") <(summaries "$work/linux.summaries")
check "the workers' reports printed with CR LF line ends" bash -c "! grep -q \$'\\r\\r\\|[^\\r]\$' \"\$1\"" - "$work/win.out"

# The 32-bit program computes with x87 arithmetic: on the bundled sample one
# ephemeris angle (Omega0, and i0 of the next block) comes out one unit apart
# in the 15th digit of the .epp (x87 registers round intermediate results
# otherwise than SSE does). For that build an .epp that differs from the native
# one only in the last digit of such fields passes, and says so.
epp_match() { # epp_match LINUX_FILE WIN_FILE
  "$native_compare" --compare "$1" "$2" >/dev/null && return 0
  [ "$arch" = i686 ] || return 1
  local mask='s/([0-9]\.[0-9]{13})[0-9](e[-+])/\1#\2/g'
  if diff <(sed -E "$mask" "$1") <(tr -d '\r' <"$2" | sed -E "$mask") >/dev/null; then
    echo "NOTE: $(basename "$2") matches apart from the x87 rounding of its 15th digits"
    return 0
  fi
  return 1
}

compared=0
compare_outputs() { # compare_outputs LINUX_DIR WIN_DIR: every output of the first in the second
  local file name
  for file in "$1"/*.tsq "$1"/*.epp "$1"/*.sta "$1"/*.obs "$1"/*.nav; do
    [ -f "$file" ] || continue
    name=$(basename "$file")
    case $name in
      *.obs | *.nav)
        # RINEX: the same text apart from the creation date, every line
        # ending in CR LF.
        if ! diff <(grep -v 'PGM / RUN BY / DATE' "$file") \
                  <(tr -d '\r' <"$2/$name" | grep -v 'PGM / RUN BY / DATE') >/dev/null; then
          echo "FAILED: $name differs"; failures=$((failures + 1)); continue
        fi
        if LC_ALL=C grep -q $'[^\r]$\|^$' "$2/$name"; then
          echo "FAILED: $name has a line without CR LF"; failures=$((failures + 1)); continue
        fi
        compared=$((compared + 1))
        continue ;;
    esac
    if [[ $name == *.epp ]]; then
      epp_match "$file" "$2/$name" || { echo "FAILED: $name differs"; failures=$((failures + 1)); continue; }
    elif ! "$native_compare" --compare "$file" "$2/$name" >/dev/null; then
      echo "FAILED: $name differs"; failures=$((failures + 1)); continue
    fi
    case $name in
      *.epp | *.sta)
        # Text files as the DLL writes them: every line ends in CR LF.
        if [ -s "$2/$name" ] && LC_ALL=C grep -q $'[^\r]$\|^$' "$2/$name"; then
          echo "FAILED: $name has a line without CR LF"; failures=$((failures + 1)); continue
        fi ;;
    esac
    compared=$((compared + 1))
  done
}
compare_outputs "$work/linux" "$work/win out"
echo "$compared output files match the native build's"
[ "$compared" -ge 6 ] || fail "too few outputs compared"

# Beside the log by default, with forward slashes and non-ASCII names.
run_win "$work/beside.out" "$work/beside.err" "Z:$accents/jour été.gps" -q
check "convert beside a log with non-ASCII names" [ "$status" = 0 ]
check "outputs beside the log match" epp_match "$work/linux/jour été.epp" "$accents/jour été.epp"
check "outputs beside the log match" \
  "$native_compare" --compare "$work/linux/jour été.tsq" "$accents/jour été.tsq"

# A UNC path: \\localhost\share is the workspace in this prefix.
mkdir -p "$WINEPREFIX/dosdevices/unc/localhost"
ln -sfn "$work" "$WINEPREFIX/dosdevices/unc/localhost/share"
# \\?\ is the extended-length form of a drive path.
run_win "$work/unc.out" "$work/unc.err" -j 2 -q '\\localhost\share\logs with spaces\sample day.gps' \
  "\\\\?\\Z:${accents//\//\\}\\jour été.gps" -o '\\localhost\share\unc out\'
check "convert from and to UNC paths" [ "$status" = 0 ]
for name in "sample day" "jour été"; do
  check "UNC output $name.tsq matches" "$native_compare" --compare "$work/linux/$name.tsq" "$work/unc out/$name.tsq"
done

# Wildcards are expanded by the program (Windows shells leave them), and the
# workers get the expanded list with odd characters intact.
mkdir -p "$work/wild"
run_win "$work/w.out" "$work/w.err" -j 2 -q -o "$(winpath "$work/wild")" "$(winpath "$spaces")\\*.gps" \
  "Z:$accents/*.gps" 'Z:\no\such\x"y\'
check "wildcards: 1 for the missing log" [ "$status" = 1 ]
check "wildcards: both logs converted" test -s "$work/wild/sample day.tsq" -a -s "$work/wild/jour été.tsq"
check "a quote and a trailing backslash reach the worker" grep -q 'x"y\\: Error: Unable to open' "$work/w.err"
run_win "$work/w0.out" "$work/w0.err" -q -o "$(winpath "$work/wild")" "$(winpath "$spaces")\\*.none"
check "a wildcard that matches nothing: 1" [ "$status" = 1 ]
check "a wildcard that matches nothing: the log cannot be opened" grep -q '\*\.none: Error: Unable to open' "$work/w0.err"

# A folder of logs whose names together pass the 32 767 characters of a
# command line, options after the wildcard: each worker gets the options and
# its own log, every log converts into the -o folder.
many="$work/many"
mkdir -p "$many/out"
head -c 30000 "$root/examples/sample.gps" >"$many/short.gps"
long=$(printf 'survey_block_north_flight_line_%0100d' 0)
for i in $(seq -w 1 260); do ln -s short.gps "$many/${long}_$i.gps"; done
run_win "$work/many.out" "$work/many.err" -j 2 "$(winpath "$many")\\survey*.gps" -q -o "$(winpath "$many/out")"
check "260 logs of long names: 0" [ "$status" = 0 ]
check "260 logs of long names: all converted" grep -q '^260 logs, all converted' <(tr -d '\r' <"$work/many.out")
check "260 logs of long names: every output in the -o folder" [ "$(ls "$many/out" | grep -c '\.tsq$')" = 260 ]
check "260 logs of long names: -q reached the workers" bash -c "! grep -q -- '->' \"\$1\"" - "$work/many.out"

# Device names are no outputs, whatever their extension; a file is no
# directory to write into, trailing separator or not.
for device in CON LPT1 aux; do
  run_win "$work/dev.out" "$work/dev.err" "$(winpath "$spaces/sample day.gps")" -q -o "$(winpath "$work")\\$device"
  check "-o $device: refused" [ "$status" = 1 ]
  check "-o $device: said" grep -q "$device.tsq exists and is not a regular file" "$work/dev.err"
done
printf 'x' >"$work/afile"
run_win "$work/af.out" "$work/af.err" "$(winpath "$spaces/sample day.gps")" -q -o "$(winpath "$work/afile")\\"
check "-o FILE\\: refused" [ "$status" = 1 ]
check "-o FILE\\: said" grep -q 'cannot create the directory .*afile\\: a file of that name exists' "$work/af.err"

# A directory is no log, with the same reason as on Linux.
run_win "$work/dir.out" "$work/dir.err" "$(winpath "$spaces")" -o "$(winpath "$work/dirlog")"
check "a directory as the log: 1" [ "$status" = 1 ]
check "a directory as the log: said" grep -q 'Unable to read .*: Is a directory' "$work/dir.err"
check "a directory as the log: no outputs named" bash -c "! grep -q -- ' -> ' \"\$1\"" - "$work/dir.out"

# A log that an output would overwrite, named another way: refused, kept.
cp "$root/examples/sample.gps" "$work/day1.sta"
run_win "$work/same.out" "$work/same.err" "Z:$work/day1.sta" -o "$(winpath "$work")\\DAY1"
check "an output that is the log: 1" [ "$status" = 1 ]
check "an output that is the log: said" grep -q 'is the input file' "$work/same.err"
check "an output that is the log: the log kept" cmp -s "$root/examples/sample.gps" "$work/day1.sta"

# Outputs are renamed into place over earlier ones (MoveFileEx); a run that
# fails leaves them as they were, and no temporary behind.
run_win "$work/again.out" "$work/again.err" "$(winpath "$spaces/sample day.gps")" -q -o "$(winpath "$work/win out")\\"
check "a second conversion over earlier outputs: 0" [ "$status" = 0 ]
check "the outputs replaced whole" "$native_compare" --compare "$work/linux/sample day.tsq" "$work/win out/sample day.tsq"
cp "$work/win out/sample day.tsq" "$work/before.tsq"
printf 'hello\r\n' >"$work/text file.txt"
run_win "$work/nolog.out" "$work/nolog.err" "$(winpath "$work/text file.txt")" -q -o "$(winpath "$work/win out/sample day")"
check "no log: 1" [ "$status" = 1 ]
check "no log: said" grep -q 'not an OEM4 binary log (no record found)' "$work/nolog.err"
check "no log: the earlier outputs kept" cmp -s "$work/before.tsq" "$work/win out/sample day.tsq"
check "no temporary left" bash -c '! ls "$1" | grep -q oem4conv-' - "$work/win out"

# ---- exit codes ----------------------------------------------------------------
echo "=== exit codes ==="
run_win "$work/e.out" "$work/e.err" -j 2 -q -o "$(winpath "$work/win out")" \
  "$(winpath "$spaces/sample day.gps")" 'Z:\no\such\log.gps'
check "a missing log: 1" [ "$status" = 1 ]
check "a missing log: its error" grep -q 'Z:\\no\\such\\log.gps: Error: Unable to open' "$work/e.err"
check "a missing log: the batch line" grep -q '2 logs: 1 converted, 1 failed' "$work/e.out"
for args in "-j 0 x.gps" "--bogus x.gps" "a.gps b.gps -o Z:\\no\\such\\dir" "detect" "dump"; do
  # shellcheck disable=SC2086
  run_win "$work/e.out" "$work/e.err" $args
  check "usage error '$args': 2 (got $status: $(head -n 1 "$work/e.err"))" [ "$status" = 2 ]
done

# ---- detect, dump, report --------------------------------------------------------
echo "=== detect, dump, report ==="
printf 'hello\r\n' >"$work/text file.txt"
run_win "$work/d.out" "$work/d.err" detect "$(winpath "$spaces/sample day.gps")" "$(winpath "$work/text file.txt")"
check "detect: 1 when a file is no log" [ "$status" = 1 ]
check "detect: the answers" diff <(tr -d '\r' <"$work/d.out") \
  <(printf '%s: OEM4 binary log\n%s: not an OEM4 binary log\n' "$(winpath "$spaces/sample day.gps")" "$(winpath "$work/text file.txt")")

run_win "$work/csv.win" "$work/csv.err" dump "$(winpath "$work/win out/sample day.tsq")" --csv
check "dump --csv: 0" [ "$status" = 0 ]
"$native_cli" dump "$work/linux/sample day.tsq" --csv >"$work/csv.linux"
check "dump --csv as on Linux" diff <(tr -d '\r' <"$work/csv.win") "$work/csv.linux"
run_win "$work/text.win" "$work/text.err" dump "Z:$work/win out/sample day.tsq"
"$native_cli" dump "$work/linux/sample day.tsq" >"$work/text.linux"
check "dump text as on Linux (apart from names and creation time)" \
  diff <(tr -d '\r' <"$work/text.win" | grep -vE '^(File|Created|Written as):') \
       <(grep -vE '^(File|Created|Written as):' "$work/text.linux")
head -c 5000 "$work/win out/sample day.tsq" >"$work/cut.tsq"
run_win "$work/cut.out" "$work/cut.err" dump "$(winpath "$work/cut.tsq")"
check "dump of a damaged file: 1" [ "$status" = 1 ]

run_win "$work/json.win" "$work/json.err" report "$(winpath "$work/win out/sample day")" --json -
check "report: 0" [ "$status" = 0 ]
"$native_cli" report "$work/linux/sample day" --json - >"$work/json.linux"
check "report numbers as on Linux" diff <(tr -d '\r' <"$work/json.win" | grep -v '"\(tsq\|epp\|sta\)":') \
  <(grep -v '"\(tsq\|epp\|sta\)":' "$work/json.linux")
check "report page beside the outputs" [ -s "$work/win out/sample day-report.html" ]
# With --report the messages are kept (CR LF, as text files are here) and
# counted in the report as on Linux.
mkdir -p "$work/rep linux" "$work/rep win"
"$native_cli" "$spaces/sample day.gps" --report -q -o "$work/rep linux" >/dev/null
run_win "$work/rep.out" "$work/rep.err" "$(winpath "$spaces/sample day.gps")" --report -q -o "$(winpath "$work/rep win")"
check "convert --report: 0" [ "$status" = 0 ]
check "convert --report: the page" [ -s "$work/rep win/sample day-report.html" ]
"$native_cli" report "$work/rep linux/sample day" --messages "$work/rep linux/sample day.messages" --json - >"$work/rj.linux"
run_win "$work/rj.win" "$work/rj.err" report "$(winpath "$work/rep win/sample day")" \
  --messages "$(winpath "$work/rep win/sample day.messages")" --json -
check "report with the kept messages as on Linux" \
  diff <(tr -d '\r' <"$work/rj.win" | grep -v '"\(tsq\|epp\|sta\|messages\)": "') \
       <(grep -v '"\(tsq\|epp\|sta\|messages\)": "' "$work/rj.linux")
run_win "$work/r.out" "$work/r.err" report 'Z:\no\such\base'
check "report of missing files: 1" [ "$status" = 1 ]

# ---- Ctrl-C during a -j 2 conversion --------------------------------------------
# Two logs arrive through FIFOs; the interrupt comes once both workers are
# reading (each write of more than a FIFO holds returns only then), the
# third log never starts.
echo "=== Ctrl-C ==="
mkdir -p "$work/stop"
mkfifo "$work/a.gps" "$work/b.gps"
# Opened for reading and writing here first, so that no open of them waits.
exec 3<>"$work/a.gps" 4<>"$work/b.gps"
"$wine" "$exe" -j 2 -q -o "$(winpath "$work/stop")" "$(winpath "$work/a.gps")" "$(winpath "$work/b.gps")" \
  "$(winpath "$spaces/sample day.gps")" >"$work/stop.out" 2>"$work/stop.err" 3<&- 4<&- &
pid=$!
head -c 100000 "$root/examples/sample.gps" >&3
head -c 100000 "$root/examples/sample.gps" >&4
sleep 1
kill -INT "$pid"
sleep 1
# More of each log (less than a FIFO holds, so the writes never wait), then
# the end of the input.
{ tail -c +100001 "$root/examples/sample.gps" | head -c 20000 >&3; } || true
{ tail -c +100001 "$root/examples/sample.gps" | head -c 20000 >&4; } || true
exec 3>&- 4>&-
status=0
wait "$pid" || status=$?
check "interrupted: 1" [ "$status" = 1 ]
check "both workers stopped" [ "$(grep -c ': interrupted; what was converted is kept in' "$work/stop.err")" = 2 ]
check "the third log not started" grep -q 'sample day.gps: not converted (interrupted)' "$work/stop.err"
for name in a b; do
  run_win "$work/s.out" "$work/s.err" dump "$(winpath "$work/stop/$name-partial.tsq")"
  epochs=$(tr -d '\r' <"$work/s.out" | sed -n 's/^\([0-9]*\) epochs$/\1/p')
  check "$name-partial.tsq closed whole with what was converted ($epochs epochs)" \
    test "$status" = 0 -a "${epochs:-0}" -gt 0 -a "${epochs:-0}" -lt 600
done

[ "$failures" = 0 ] || fail "$failures check(s)"
echo "oem4conv.exe checks passed"
