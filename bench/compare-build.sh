#!/usr/bin/env bash
# Times `skarvo build-iso` (threaded and quick; with Rock Ridge, the
# default, and without) against genisoimage and xorriso (with -J, and with
# -R -J) on the same trees in one run. The I/O limit is `cat` of the same
# files into one file on the same disk followed by `sync` of that file: our
# images are synced before they replace the target, so that is the fair
# floor. Plain `cat` (no sync) is shown too. Not part of the test suite.
#
#   bench/compare-build.sh [SKARVO] [small|large|sparse|both|all]
#
# Environment:
#   RUNS=5        runs per tool and tree; min, median and max are printed
#   ONLY=REGEX    run only the rows whose label matches (e.g. 'skarvo|cat')
#   BENCH_CACHE=/tmp/skarvo-bench-cache   where the source trees are made
#   KEEP_CACHE=1  keep the source trees for the next run (removed otherwise)
#   BEFORE=PATH   another skarvo binary (an older build) timed in the same
#                 rounds, so that before and after meet the same load
#
# Trees: 100,000 small files (1 byte to 8 KiB) in 1,000 folders, and 4 files
# of 1 GiB of real (not sparse) data ("both" runs these two); "sparse" (or
# "all") adds one sparse file of 4 GiB with 16 MiB of data in 64 windows,
# where the holes should cost nothing. They are made once in BENCH_CACHE; the
# outputs go to a fresh folder beside them, on the same disk. Page caches are
# warm for the sources; every run starts after a `sync` so that no run pays
# for the previous one's dirty pages.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
SKARVO=${1:-$root/build/release/bin/skarvo}
which_trees=${2:-both}
RUNS=${RUNS:-5}
ONLY=${ONLY:-.}
CACHE=${BENCH_CACHE:-/tmp/skarvo-bench-cache}
[ -x "$SKARVO" ] || { echo "no skarvo binary at $SKARVO (run tools/build release skarvo)" >&2; exit 2; }
for t in genisoimage xorriso python3; do
  command -v "$t" >/dev/null || { echo "$t is missing (tools/deps installs it)" >&2; exit 2; }
done

mkdir -p "$CACHE"
W=$(mktemp -d "$CACHE/out-XXXXXX")
cleanup() {
  rm -rf "$W"
  [ "${KEEP_CACHE:-0}" = 1 ] || rm -rf "$CACHE"
}
trap cleanup EXIT

make_small() {
  [ -f "$1.complete" ] && return
  rm -rf "$1" "$1.complete"
  python3 - "$1" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(7)
pool = rng.randbytes(1 << 16)
for d in range(1000):
    p = os.path.join(root, "dir%02d" % (d // 100), "sub%03d" % d)
    os.makedirs(p)
    for f in range(100):
        n = rng.randint(1, 8192)
        o = rng.randint(0, len(pool) - n)
        with open(os.path.join(p, "file%03d.dat" % f), "wb") as fh:
            fh.write(pool[o:o + n])
PY
  touch "$1.complete"
}

make_large() {
  [ -f "$1.complete" ] && return
  rm -rf "$1" "$1.complete"
  mkdir -p "$1"
  head -c $((64 << 20)) /dev/urandom >"$1/.chunk"
  for i in 1 2 3 4; do
    # 16 copies of the random chunk, each file shifted so no two files match.
    for _ in $(seq 16); do cat "$1/.chunk"; done | tail -c +$((i * 7 + 1)) | head -c $((1 << 30)) >"$1/big$i.bin"
    # The shift leaves the tail short: fill it with real data, not a hole.
    have=$(stat -c %s "$1/big$i.bin")
    head -c $(((1 << 30) - have)) /dev/urandom >>"$1/big$i.bin"
  done
  rm -f "$1/.chunk"
  touch "$1.complete"
}

make_sparse() {
  [ -f "$1.complete" ] && return
  rm -rf "$1" "$1.complete"
  mkdir -p "$1"
  python3 - "$1/sparse.img" <<'PY'
import random, sys
rng = random.Random(11)
with open(sys.argv[1], "wb") as f:
    f.truncate(4 << 30)
    for w in range(64):
        # Windows at odd offsets, one every 64 MiB.
        f.seek(w * (64 << 20) + rng.randint(0, 32 << 20))
        f.write(rng.randbytes(256 << 10))
PY
  touch "$1.complete"
}

# cat of every file of a tree (sorted paths) into the output, then an fsync
# of the output: what a durable copy of the same bytes costs at least.
cat_all() { find "$1" -type f -print0 | sort -z | xargs -0 cat >"$W/out"; }
cat_sync() { cat_all "$1" && sync "$W/out"; }

# once CMD...: one timed run of CMD after a sync; prints milliseconds, or
# "nan" when it failed.
once() {
  local t0 t1
  rm -f "$W/out"
  sync
  t0=$(date +%s%N)
  if ! "$@" >/dev/null 2>&1; then
    echo "FAILED: $*" >&2
    echo nan
    return
  fi
  t1=$(date +%s%N)
  rm -f "$W/out"
  echo $(((t1 - t0) / 1000000))
}

# The rows of one tree: a label and a command each. They are run in rounds
# (every row once per round), so that a change of the machine's load during
# the benchmark falls on all of them alike.
LABELS=()
declare -A CMD TIMES MED
add_row() {
  local label=$1
  shift
  [[ $label =~ $ONLY ]] || return 0
  LABELS+=("$label")
  CMD[$label]=$(printf "%q " "$@")
  TIMES[$label]=""
}

run_rows() {
  local r label
  for ((r = 0; r < RUNS; ++r))
  do
    for label in "${LABELS[@]}"; do
      TIMES[$label]+="$(eval "once ${CMD[$label]}") "
    done
  done
  for label in "${LABELS[@]}"; do
    local stats
    stats=$(printf "%s\n" ${TIMES[$label]} | sort -n | awk '
      $1 == "nan" { bad = 1 } { v[NR] = $1 }
      END { if (bad) print "nan nan nan"; else
            printf "%.2f %.2f %.2f", v[1] / 1000, v[int((NR + 1) / 2)] / 1000, v[NR] / 1000 }')
    MED[$label]=$(echo "$stats" | awk '{ print $2 }')
    printf "  %-30s %7s %7s %7s\n" "$label" $stats
  done
}

ratio() { awk -v a="${MED[$1]:-nan}" -v b="${MED[$2]:-nan}" 'BEGIN {
  if (a == "nan" || b == "nan" || b + 0 == 0) printf "%7s", "-"; else printf "%7.2f", a / b }'; }

run_tree() {
  local name=$1 src=$2
  local bytes
  bytes=$(du -sb --apparent-size "$src" | cut -f1)
  echo
  echo "== $name: $(find "$src" -type f | wc -l) files, $((bytes >> 20)) MiB, $RUNS runs"
  # Warm the page cache once.
  cat_all "$src"
  printf "  %-30s %7s %7s %7s\n" "seconds" min median max
  LABELS=()
  MED=()
  add_row "skarvo (Rock Ridge)" "$SKARVO" build-iso -o "$W/out" "$src"
  add_row "skarvo --no-rock-ridge" "$SKARVO" build-iso --no-rock-ridge -o "$W/out" "$src"
  add_row "skarvo --quick" "$SKARVO" build-iso --quick -o "$W/out" "$src"
  add_row "skarvo --quick --no-rock-ridge" "$SKARVO" build-iso --quick --no-rock-ridge -o "$W/out" "$src"
  if [ -n "${BEFORE:-}" ]; then
    add_row "before: skarvo (Rock Ridge)" "$BEFORE" build-iso -o "$W/out" "$src"
    add_row "before: skarvo --quick" "$BEFORE" build-iso --quick -o "$W/out" "$src"
  fi
  add_row "genisoimage -J" genisoimage -quiet -input-charset utf-8 -J -o "$W/out" "$src"
  add_row "genisoimage -R -J" genisoimage -quiet -input-charset utf-8 -R -J -o "$W/out" "$src"
  add_row "xorriso -as mkisofs -J" xorriso -as mkisofs -quiet -J -o "$W/out" "$src"
  add_row "xorriso -as mkisofs -R -J" xorriso -as mkisofs -quiet -R -J -o "$W/out" "$src"
  add_row "cat + sync (limit)" cat_sync "$src"
  add_row "cat (no sync)" cat_all "$src"
  run_rows
  echo "  ratios of the medians (time / other time; below 1.00 is faster):"
  printf "  %-30s %7s %7s %7s\n" "" "cat+sync" "geniso" "xorriso"
  printf "  %-30s %s %s %s\n" "threaded (Rock Ridge) vs -R -J" "$(ratio 'skarvo (Rock Ridge)' 'cat + sync (limit)')" \
    "$(ratio 'skarvo (Rock Ridge)' 'genisoimage -R -J')" "$(ratio 'skarvo (Rock Ridge)' 'xorriso -as mkisofs -R -J')"
  printf "  %-30s %s %s %s\n" "threaded, no RR vs -J" "$(ratio 'skarvo --no-rock-ridge' 'cat + sync (limit)')" \
    "$(ratio 'skarvo --no-rock-ridge' 'genisoimage -J')" "$(ratio 'skarvo --no-rock-ridge' 'xorriso -as mkisofs -J')"
  printf "  %-30s %s %s %s\n" "quick (Rock Ridge) vs -R -J" "$(ratio 'skarvo --quick' 'cat + sync (limit)')" \
    "$(ratio 'skarvo --quick' 'genisoimage -R -J')" "$(ratio 'skarvo --quick' 'xorriso -as mkisofs -R -J')"
  printf "  %-30s %s %s %s\n" "quick, no RR vs -J" "$(ratio 'skarvo --quick --no-rock-ridge' 'cat + sync (limit)')" \
    "$(ratio 'skarvo --quick --no-rock-ridge' 'genisoimage -J')" \
    "$(ratio 'skarvo --quick --no-rock-ridge' 'xorriso -as mkisofs -J')"
  if [ -n "${BEFORE:-}" ]; then
    printf "  %-30s %s\n" "before: threaded" "$(ratio 'before: skarvo (Rock Ridge)' 'cat + sync (limit)')"
    printf "  %-30s %s\n" "before: quick" "$(ratio 'before: skarvo --quick' 'cat + sync (limit)')"
  fi
}

if [ "$which_trees" = small ] || [ "$which_trees" = both ] || [ "$which_trees" = all ]; then
  echo "making (or reusing) 100,000 small files in 1,000 folders in $CACHE..."
  make_small "$CACHE/small"
  run_tree "100,000 small files in 1,000 folders" "$CACHE/small"
fi
if [ "$which_trees" = large ] || [ "$which_trees" = both ] || [ "$which_trees" = all ]; then
  echo "making (or reusing) 4 files of 1 GiB in $CACHE..."
  make_large "$CACHE/large"
  run_tree "4 files of 1 GiB" "$CACHE/large"
fi
if [ "$which_trees" = sparse ] || [ "$which_trees" = all ]; then
  echo "making (or reusing) a sparse file of 4 GiB with 16 MiB of data in $CACHE..."
  make_sparse "$CACHE/sparse"
  run_tree "1 sparse file of 4 GiB, 16 MiB of data" "$CACHE/sparse"
fi
