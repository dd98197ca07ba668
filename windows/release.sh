#!/usr/bin/env bash
# Makes the Windows release zip: cross-builds the 32-bit DLL and
# oem4conv.exe with mingw-w64, installs them (`cmake --install`, stripped)
# into one folder with the header and the README, and zips that folder.
#
#   windows/release.sh        -> build-win32/oem4conv-VERSION-win32.zip
#
# The folder holds oem4conv.exe, oem4conv.dll, oem4conv.h, README.md, and in
# lib/ the import library for MinGW (oem4conv.dll.a) and the DLL's
# module-definition file (oem4conv.def) from which other toolchains make
# theirs. Build folder: OEM4CONV_WIN32_BUILD (default build-win32).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${OEM4CONV_WIN32_BUILD:-$root/build-win32}
jobs=${OEM4CONV_JOBS:-2}

command -v i686-w64-mingw32-g++ >/dev/null ||
  { echo "i686-w64-mingw32-g++ not found (apt-get install g++-mingw-w64-i686 mingw-w64-i686-dev)" >&2; exit 1; }

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target oem4conv oem4conv_cli -j"$jobs"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=oem4conv-$version-win32
stage=$build/release
rm -rf "$stage"
cmake --install "$build" --prefix "$stage/$name" --strip >/dev/null
zip=$build/$name.zip
rm -f "$zip"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip "$name")
echo "$zip:"
(cd "$stage" && find "$name" -type f | sort | sed 's/^/  /')
