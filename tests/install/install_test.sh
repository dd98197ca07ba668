#!/usr/bin/env bash
# install_test.sh BUILD_DIR README SIMULATOR CC
#
# Installs BUILD_DIR into a scratch prefix (not the one it was configured
# for, as `cmake --install --prefix` users do), compiles the README's host
# example as C99 with the flags pkg-config gives for that prefix, and
# converts a simulated log with it.
set -euo pipefail
build=$1 readme=$2 sim=$3 cc=$4
command -v pkg-config >/dev/null || { echo "pkg-config missing: skipped"; exit 77; }
command -v "$cc" >/dev/null || { echo "no C compiler: skipped"; exit 77; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

pc=$(find "$prefix" -name oem4conv.pc)
[ -n "$pc" ] || { echo "oem4conv.pc not installed"; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
flags=$(pkg-config --cflags --libs oem4conv)
libdir=$(pkg-config --variable=libdir oem4conv)
for file in "$(pkg-config --variable=includedir oem4conv)/oem4conv.h" "$libdir/liboem4conv.so"; do
  [ -e "$file" ] || { echo "pkg-config names $file, which the install did not write"; exit 1; }
done

# The README's example, as it stands, with a main around it.
sed -n '/^## Using the library from a host/,/^## /p' "$readme" | sed -n '/^```c$/,/^```$/p' | sed '1d;$d' >"$scratch/host.c"
[ -s "$scratch/host.c" ] || { echo "no C example in the README's host section"; exit 1; }
cat >>"$scratch/host.c" <<'MAIN'
int main(int argc, char **argv)
{
    return argc == 3 ? convert(argv[1], argv[2]) : 2;
}
MAIN
# shellcheck disable=SC2086
"$cc" -std=c99 -pedantic-errors -Werror=implicit-function-declaration -o "$scratch/host" "$scratch/host.c" $flags

"$sim" -q --duration 60 --rate 1 -o "$scratch/log.gps"
LD_LIBRARY_PATH=$libdir "$scratch/host" "$scratch/log.gps" "$scratch/out.x" || { echo "the example host failed"; exit 1; }
for ext in tsq epp sta; do
  [ -e "$scratch/out.$ext" ] || { echo "the example host wrote no out.$ext"; exit 1; }
done
[ -s "$scratch/out.tsq" ] || { echo "the example host wrote an empty out.tsq"; exit 1; }
echo "installed, found through pkg-config, README example converted"
