#!/usr/bin/env bash
# Fails when a C or C++ file of src/, include/, tools/, tests/ or windows/
# is not laid out as .clang-format says. With --fix, formats them instead.
# Pinned to clang-format 14 (Debian 12's clang-format-14): the tree is
# formatted with it, and another version lays out some lines differently.
set -euo pipefail
cd "$(dirname "$0")/.."

fmt=$(command -v clang-format-14 || true)
if [ -z "$fmt" ] && command -v clang-format >/dev/null && clang-format --version | grep -q 'version 14\.'; then
  fmt=$(command -v clang-format)
fi
if [ -z "$fmt" ]; then
  echo "format: clang-format 14 is needed (apt-get install clang-format-14)"
  exit 1
fi

mapfile -t files < <(find src include tools tests windows -type f \
  \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) | LC_ALL=C sort)
if [ "${1:-}" = "--fix" ]; then
  "$fmt" -i "${files[@]}"
  echo "format: ${#files[@]} files formatted"
  exit 0
fi
if ! "$fmt" --dry-run --Werror "${files[@]}"; then
  echo "format: files above are not formatted; run .ci/format.sh --fix"
  exit 1
fi
echo "format: ${#files[@]} files as .clang-format says"
