#!/usr/bin/env bash
# 22,220 folders nested four levels deep: directory numbers past 9,999 still
# give ordered path tables, and every reader sees every folder.
source "$(dirname "$0")/common.sh"

python3 "$HERE/gen_tree.py" dirs "$T/src"
start=$(date +%s%N)
if "$SKARVO" build-iso -o "$T/dirs.iso" --volume DIRS "$T/src" >/dev/null 2>"$T/err.txt"; then
  echo "built in $((($(date +%s%N) - start) / 1000000)) ms"
  verify "$T/dirs.iso" --tree "$T/src" --volume DIRS --min-files 20000
else
  fail "build-iso: $(cat "$T/err.txt")"
fi
finish
