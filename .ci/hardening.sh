#!/usr/bin/env bash
# CI step: the robustness tests under ThreadSanitizer (an Abort from another
# thread must be race-free, and so must the hand-over of RINEX epochs to
# the observation writer's thread), then a smoke run of every libFuzzer
# target. The framing and conversion targets build half their inputs from records
# (tests/fuzz/record_mutator.h): long rejected candidates packed with valid
# records, nested torn records, lengths at their limits, which byte
# mutation alone does not reach in a smoke run.
#
#   .ci/hardening.sh [FUZZ_SECONDS_PER_TARGET]   (default 60)
#
# Needs clang 14 with its runtime libraries (installed when missing).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2

need=()
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi

echo "=== robustness tests under ThreadSanitizer ==="
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOEM4CONV_TSAN=ON \
  -DOEM4CONV_BUILD_TOOLS=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target test_hardening test_output
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/test_hardening
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/test_output \
  --gtest_filter='ThreadedRinexObs.*:RinexObsWriter.*:RinexWriteFailure.*'

echo "=== fuzz smoke run, ${seconds}s per target ==="
tests/fuzz/run.sh "$seconds"
