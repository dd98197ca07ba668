#!/usr/bin/env bash
# The source folders under src/ form layers: each includes only folders
# below it, so the includes between folders must not form a cycle, and
# src/common, the bottom layer, includes no other folder of src/.
# Prints the folder graph and fails on a cycle or on common looking up.
set -euo pipefail
cd "$(dirname "$0")/.."

# "from to" for every #include "folder/file" that crosses folders.
edges=$(grep -rHE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[A-Za-z0-9_]+/' src \
  | sed -E 's#^src/([^/:]+)/[^:]*:[[:space:]]*\#[[:space:]]*include[[:space:]]+"([^/]+)/.*#\1 \2#' \
  | awk '$1 != $2' | sort -u)
echo "$edges" | awk '{print "  " $1 " -> " $2}'

status=0
if echo "$edges" | awk '$1 == "common"' | grep -q .; then
  echo "src/common includes other folders of src/:"
  echo "$edges" | awk '$1 == "common" {print "  common -> " $2}'
  status=1
fi
# tsort reports a loop (and fails) when the graph has a cycle.
if ! echo "$edges" | tsort >/dev/null 2>/tmp/layers.$$; then
  echo "include cycle between folders of src/:"
  sed 's/^/  /' /tmp/layers.$$
  status=1
fi
rm -f /tmp/layers.$$
[ "$status" -eq 0 ] && echo "layers: no include cycle between folders of src/"
exit "$status"
