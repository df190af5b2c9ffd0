#!/usr/bin/env bash
# Extraction speed against the peers, as ratios measured in one run:
#   many small files: `skarvo extract` against `bsdtar -x` of the same image;
#   one large file:   `skarvo extract` against `cat` of the same bytes (the
#                     image file itself, read from the page cache alike).
# Usage: bench-extract.sh SKARVO[:SKARVO...] [FILES [MIB]]  (defaults 100000, 4096)
# Several builds, separated by ":", are measured on the same images (to see
# what one change buys).
# Each command runs RUNS times (default 5): min, median and max are shown,
# and the ratios compare medians.
set -euo pipefail
IFS=: read -r -a builds <<<"${1:?usage: bench-extract.sh SKARVO[:SKARVO...] [FILES [MIB]]}"
files=${2:-100000}
mib=${3:-4096}
for tool in bsdtar xorriso; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
W=$(mktemp -d "${TMPDIR:-/tmp}/skarvo-bench-extract-XXXXXX")
trap 'rm -rf "$W"' EXIT

# timed VAR command...: RUNS runs (default 5); VAR gets "min median max"
# in seconds. The ratios compare medians.
runs=${RUNS:-5}
timed() {
  local var=$1 t0 t1 all=()
  shift
  for ((k = 0; k < runs; ++k)); do
    rm -rf "$W/out" && mkdir -p "$W/out"
    sync
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    t1=$(date +%s.%N)
    all+=("$(echo "$t1 - $t0" | bc -l)")
  done
  printf -v "$var" '%s' "$(printf '%s\n' "${all[@]}" | sort -g | awk '{ v[NR] = $1 } END {
    printf "%.2f %.2f %.2f", v[1], (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2), v[NR] }')"
}
med() { echo "$1" | awk '{ print $2 }'; }
show() { echo "$1" | awk '{ printf "%s/%s/%s s", $1, $2, $3 }'; }

# Many small files in 100 folders.
mkdir -p "$W/small"
python3 - "$W/small" "$files" <<'PY'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    d = os.path.join(root, "d%03d" % (i % 100))
    if i < 100:
        os.mkdir(d)
    with open(os.path.join(d, "file%06d.txt" % i), "w") as f:
        f.write("x" * (i % 700))
PY
xorriso -outdev "stdio:$W/small.iso" -joliet on -map "$W/small" / >/dev/null 2>&1
rm -rf "$W/small"
timed peer bsdtar --options 'iso9660:!rockridge' -xf "$W/small.iso" -C "$W/out"
for skarvo in "${builds[@]}"; do
  timed ours "$skarvo" extract --image "$W/small.iso" -C "$W/out" /
  printf '%d small files (min/median/max of %d): %s %s, bsdtar %s, ratio %.2f (goal 1.2)\n' "$files" "$runs" \
    "$skarvo" "$(show "$ours")" "$(show "$peer")" "$(echo "$(med "$ours") / $(med "$peer")" | bc -l)"
done
rm -f "$W/small.iso"

# One large file.
head -c $((mib * 1048576)) /dev/urandom >"$W/large.bin" 2>/dev/null || truncate -s ${mib}M "$W/large.bin"
xorriso -outdev "stdio:$W/large.iso" -joliet on -map "$W/large.bin" /large.bin >/dev/null 2>&1
rm -f "$W/large.bin"
timed peer sh -c "cat '$W/large.iso' >'$W/out/large.bin'"
for skarvo in "${builds[@]}"; do
  timed ours "$skarvo" extract --image "$W/large.iso" -C "$W/out" /large.bin
  printf '%d MiB file (min/median/max of %d): %s %s, cat %s, ratio %.2f (goal 1.1)\n' "$mib" "$runs" \
    "$skarvo" "$(show "$ours")" "$(show "$peer")" "$(echo "$(med "$ours") / $(med "$peer")" | bc -l)"
done
