#!/usr/bin/env bash
# CI for the Windows DLL and oem4conv.exe: installs the mingw-w64 cross
# compilers and wine (a minute or two on a fresh Debian 12 machine), then
# cross-builds the 32-bit DLL, checks its export table and runs the test host
# under wine (windows/build-and-test.sh), and runs the command's checks
# under wine against the native build (windows/cli-test.sh). Where wine
# cannot run 32-bit programs (no 32-bit wine, or a kernel without 32-bit
# support), both run the x86-64 build of the same sources under wine64.
# When nothing can be installed or run, it prints a SKIP line saying why and
# exits 0.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v i686-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-i686 mingw-w64-i686-dev)
command -v x86_64-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-x86-64 mingw-w64-x86-64-dev)
{ command -v wine >/dev/null && [ -x /usr/lib/wine/wine64 ]; } || need+=(wine wine64)

if [ ${#need[@]} -gt 0 ]; then
  echo "=== installing: ${need[*]} ==="
  start=$SECONDS
  if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null; }; then
    echo "SKIP: Windows DLL build and wine test (could not install ${need[*]})"
    exit 0
  fi
  echo "installed in $((SECONDS - start)) s"
fi
# 32-bit wine is a foreign architecture; without it the checks run the
# x86-64 build.
if [ ! -x /usr/lib/wine/wine ]; then
  echo "=== installing: wine32:i386 ==="
  start=$SECONDS
  if { dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386; } &&
     apt-get update -qq && apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null; then
    echo "installed in $((SECONDS - start)) s"
  else
    echo "NOTE: wine32:i386 could not be installed; the 32-bit programs will not run"
  fi
fi

# The native library, host and command of the main build when CI made them.
native_dll=()
if [ -f build/liboem4conv.so ] && [ -x build/tests/windows/dll_host_native ]; then
  native_dll=(--native-lib build/liboem4conv.so --native-host build/tests/windows/dll_host_native)
fi
rc=0
windows/build-and-test.sh "${native_dll[@]}" || rc=$?
if [ "$rc" = 77 ]; then
  echo "SKIP: Windows DLL build and wine test (tools missing after installation, or wine unusable)"
  rc=0
fi
[ "$rc" = 0 ] || exit "$rc"

native=()
if [ -x build/tools/oem4conv/oem4conv ] && [ -x build/tests/windows/dll_host_native ]; then
  native=(--native-cli build/tools/oem4conv/oem4conv --native-compare build/tests/windows/dll_host_native)
fi
rc=0
windows/cli-test.sh "${native[@]}" || rc=$?
if [ "$rc" = 77 ] && command -v x86_64-w64-mingw32-g++ >/dev/null && [ -x /usr/lib/wine/wine64 ]; then
  # Where wine runs 64-bit programs only, the same sources built for x86-64
  # still exercise the command's Windows code.
  echo "NOTE: testing the 64-bit build of oem4conv.exe instead"
  rc=0
  OEM4CONV_WIN_ARCH=x86_64 windows/cli-test.sh "${native[@]}" || rc=$?
fi
if [ "$rc" = 77 ]; then
  echo "SKIP: oem4conv.exe under wine (tools missing, or wine unusable)"
  rc=0
fi
[ "$rc" = 0 ] || exit "$rc"

if command -v i686-w64-mingw32-g++ >/dev/null; then
  echo "=== release zip ==="
  listing=$(windows/release.sh | sed -n '/\.zip:$/,$p')
  echo "$listing"
  for file in oem4conv.exe oem4conv.dll oem4conv.h README.md; do
    grep -q "/$file\$" <<<"$listing" || { echo "FAILED: $file missing from the release zip"; exit 1; }
  done
fi
