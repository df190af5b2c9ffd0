#!/usr/bin/env bash
# `skarvo burn-image` of a large image to a virtual DVD+R, side by side in one
# run with `cat` of the same image into a file on the same disk. Prints the
# throughput of each, their ratio, the CPU seconds per GiB and the largest
# resident set of the burn at two cache sizes; neither side syncs (both
# measure writing into the page cache). Not part of the test suite
# (a 2 GiB image takes a few seconds to write and as much disk space twice).
#
#   bench/burn/bench-burn.sh [SKARVO] [MiB] [FOLDER]
#
# MiB: the image size (default 2048). FOLDER: where the image, its copy and
# the recorder's disc go (default: a new folder under /tmp; the same disk for
# all three). The recorder's clock runs at its fastest, and the library's own
# waits (the pauses after setting the speed and after closing) are scaled
# down with SKARVO_TIME_SCALE, so that the figures measure moving the data.
# The sides take turns, five runs each; the best run of each counts, and
# every run is listed on stderr.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
SKARVO=${1:-$root/build/release/bin/skarvo}
mib=${2:-2048}
[ -x "$SKARVO" ] || { echo "no skarvo binary at $SKARVO (run tools/build release skarvo)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (package time)" >&2; exit 2; }
case $mib in '' | *[!0-9]*) echo "MiB must be a whole number" >&2; exit 2 ;; esac
if [ -n "${3:-}" ]; then
  W=$(mktemp -d "$3/skarvo-bench-burn-XXXXXX")
else
  W=$(mktemp -d /tmp/skarvo-bench-burn-XXXXXX)
fi
trap 'rm -rf "$W"' EXIT
export SKARVO_VDRIVES=$W/vdrives SKARVO_TIME_SCALE=0.001
"$SKARVO" vdrive add bench --model dvd-writer >/dev/null
"$SKARVO" vdrive set bench clock 1000000 >/dev/null

# The image: random data (the recorder stores zero blocks as holes, which
# would flatter it), a 64 MiB chunk repeated with a shift, cut to size.
: >"$W/image.iso"
head -c $((64 << 20)) /dev/urandom >"$W/chunk"
for i in $(seq $(((mib + 63) / 64 + 1))); do
  tail -c +$((i * 7 + 1)) "$W/chunk" >>"$W/image.iso"
done
truncate -s $((mib << 20)) "$W/image.iso"
rm -f "$W/chunk"
bytes=$(stat -c %s "$W/image.iso")
gib=$(awk -v b="$bytes" 'BEGIN { print b / 1073741824 }')

# run NAME COMMAND...: prints "wall user sys maxrss_kb" of one run. Both
# sides start from the same state: the copy and the disc of the run before
# are dropped, the dirty pages written back and the image read into the page
# cache (outside the measurement), so that neither pays for the other's
# writeback or finds more memory at hand.
run() {
  local name=$1
  shift
  rm -f "$W/copy.iso"
  "$SKARVO" vdrive insert bench --media DVD+R >/dev/null
  sync
  # Both read the image from the page cache: where the machine evicted part
  # of it, the burn's read-ahead thread would hide the disk and cat would not.
  cat "$W/image.iso" >/dev/null
  # Both write into memory the machine has just used: in a virtual machine,
  # memory that was handed back to the host costs a fault per page on its
  # next use, which would fall on whichever side came after a long pause.
  cat "$W/image.iso" >"$W/warm.iso"
  rm -f "$W/warm.iso"
  /usr/bin/time -f "%e %U %S %M" -o "$W/time.txt" "$@" >/dev/null 2>"$W/err.txt" ||
    { echo "$name failed: $(tail -3 "$W/err.txt")" >&2; exit 1; }
  # Every run is shown on stderr: on a busy or virtual machine the runs of
  # one side can differ twofold, and the spread says how far to trust the best.
  echo "$name: $(cat "$W/time.txt") (wall, user, sys seconds, max RSS KiB)" >&2
  cat "$W/time.txt"
}

# better OLD NEW: the run with the shorter wall time.
better() {
  if [ -z "$1" ] || awk -v a="${2%% *}" -v b="${1%% *}" 'BEGIN { exit !(a < b) }'; then echo "$2"; else echo "$1"; fi
}

# The two sides take turns, five runs each, so that both meet the same
# state of the page cache and of the machine's memory; the best run counts.
# Each pair of turns also gives a ratio of its own; their spread is printed.
cat_t="" burn4="" ratios=""
for _ in 1 2 3 4 5; do
  c=$(run cat sh -c 'cat "$1" >"$2"' _ "$W/image.iso" "$W/copy.iso")
  b=$(run burn "$SKARVO" burn-image --drive bench --cache-size 4 "$W/image.iso")
  cat_t=$(better "$cat_t" "$c")
  burn4=$(better "$burn4" "$b")
  ratios+="$(awk -v c="${c%% *}" -v b="${b%% *}" 'BEGIN { printf "%.3f", c / b }') "
done
rm -f "$W/copy.iso"
# The disc holds the image (a check that the figures describe a real burn).
"$SKARVO" vdrive export bench "$W/disc.iso" >/dev/null
cmp -s -n "$bytes" "$W/disc.iso" "$W/image.iso" || { echo "the burned disc differs from the image" >&2; exit 1; }
rm -f "$W/disc.iso"
burn64=$(run burn "$SKARVO" burn-image --drive bench --cache-size 64 "$W/image.iso")

read -r cw cu cs cm <<<"$cat_t"
read -r bw bu bs bm <<<"$burn4"
read -r _ _ _ bm64 <<<"$burn64"
awk -v mib="$mib" -v gib="$gib" -v cw="$cw" -v cu="$cu" -v cs="$cs" -v bw="$bw" -v bu="$bu" -v bs="$bs" \
  -v bm="$bm" -v bm64="$bm64" 'BEGIN {
  printf "image: %d MiB of random data\n", mib
  printf "%-28s %8.2f s %8.1f MiB/s %7.2f CPU s/GiB\n", "cat image > file", cw, mib / cw, (cu + cs) / gib
  printf "%-28s %8.2f s %8.1f MiB/s %7.2f CPU s/GiB\n", "skarvo burn-image (DVD+R)", bw, mib / bw, (bu + bs) / gib
  printf "throughput ratio burn / cat: %.2f of the best runs (target >= 0.7)\n", cw / bw
  printf "max RSS of the burn: %.1f MiB with a 4 MiB cache, %.1f MiB with a 64 MiB cache\n", bm / 1024, bm64 / 1024
  printf "memory beyond the cache: %.1f MiB and %.1f MiB\n", bm / 1024 - 4, bm64 / 1024 - 64
}'
tr ' ' '\n' <<<"$ratios" | sed '/^$/d' | sort -n | awk '{ v[NR] = $1 } END {
  printf "ratio of each pair of turns: min %.2f  median %.2f  max %.2f\n", v[1], v[int((NR + 1) / 2)], v[NR]
}'
