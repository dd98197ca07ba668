#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
#
#   tests/fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Defaults: 60 s each, all targets. Corpora grow under build-fuzz/corpus and
# are kept between runs; crashes land in build-fuzz/artifacts. Exits non-zero
# when a target finds a crash, a leak or an input slower than 1 s.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(framing convert navigation)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOEM4CONV_FUZZ=ON -DOEM4CONV_BUILD_TOOLS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

mkdir -p build-fuzz/artifacts
for t in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$t
  mkdir -p "$corpus"
  # Seeds: the bundled sample and the real logs (when present), cut into
  # pieces small enough for the fuzzer to mutate quickly.
  if [ "$t" != navigation ]; then
    for f in examples/*.gps ../shared/data/*.gps ../shared/data/*.dat; do
      [ -f "$f" ] || continue
      name=$(basename "$f")
      [ -f "$corpus/$name.0" ] && continue
      split -b 16384 -a 2 "$f" "$corpus/$name." 2>/dev/null || true
      ls "$corpus/$name."* 2>/dev/null | head -n 8 >/dev/null
    done
  fi
  [ -d "tests/fuzz/seeds/$t" ] && cp -n tests/fuzz/seeds/"$t"/* "$corpus"/ 2>/dev/null || true
  echo "=== fuzz_$t for ${seconds}s ==="
  ASAN_OPTIONS=detect_leaks=1 \
    build-fuzz/tests/fuzz/fuzz_$t -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/$t- "$corpus" 2>&1 |
    grep -E '^(#[0-9]+.*(DONE|pulse)|stat::number_of_executed_units|stat::peak_rss|==[0-9]+==ERROR|SUMMARY|Done)' || true
  if ls build-fuzz/artifacts/$t-* >/dev/null 2>&1; then
    echo "fuzz_$t found problems: $(ls build-fuzz/artifacts/$t-*)"
    exit 1
  fi
done
echo "fuzzing passed"
