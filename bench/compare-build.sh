#!/usr/bin/env bash
# Times `skarvo build-iso` (threaded and quick; with Rock Ridge, the
# default, and without) against genisoimage and xorriso (with -J, and with
# -R -J) on the same generated trees in one run, with `cat` of the same
# files into one file as the I/O limit. Not part of the test suite.
#
#   bench/compare-build.sh [SKARVO] [small|large|both]
#
# Trees (generated under /tmp, removed at the end): 100,000 small files in
# 1,000 folders, and 4 files of 1 GiB. Every tool runs twice per tree with
# warm caches; the better time counts.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
SKARVO=${1:-$root/build/release/bin/skarvo}
which_trees=${2:-both}
[ -x "$SKARVO" ] || { echo "no skarvo binary at $SKARVO (run tools/build release skarvo)" >&2; exit 2; }
for t in genisoimage xorriso python3; do
  command -v "$t" >/dev/null || { echo "$t is missing (tools/deps installs it)" >&2; exit 2; }
done

W=$(mktemp -d /tmp/skarvo-bench-XXXXXX)
trap 'rm -rf "$W"' EXIT

make_small() {
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
}

make_large() {
  mkdir -p "$1"
  head -c $((64 << 20)) /dev/urandom >"$W/chunk"
  for i in 1 2 3 4; do
    # 16 copies of the random chunk, each copy shifted so no two files match.
    for _ in $(seq 16); do cat "$W/chunk"; done | tail -c +$((i * 7 + 1)) | head -c $((1 << 30)) >"$1/big$i.bin"
    truncate -s $((1 << 30)) "$1/big$i.bin"
  done
  rm -f "$W/chunk"
}

# best_of CMD...: prints the best wall time of two runs, in seconds.
best_of() {
  local best="" t0 t1 ms
  for _ in 1 2; do
    rm -f "$W/out"
    sync
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1 || { echo "FAILED: $*" >&2; echo "nan"; return; }
    t1=$(date +%s%N)
    ms=$(((t1 - t0) / 1000000))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  rm -f "$W/out"
  awk -v ms="$best" 'BEGIN { printf "%.2f", ms / 1000 }'
}

cat_all() { find "$1" -type f -print0 | sort -z | xargs -0 cat >"$W/out"; }

run_tree() {
  local name=$1 src=$2
  local bytes
  bytes=$(du -sb --apparent-size "$src" | cut -f1)
  echo
  echo "== $name: $(find "$src" -type f | wc -l) files, $((bytes >> 20)) MiB"
  # Warm the page cache once.
  cat_all "$src"
  local t_thr t_norr t_quick t_gen t_genr t_xor t_xorr t_cat
  t_thr=$(best_of "$SKARVO" build-iso -o "$W/out" "$src")
  t_norr=$(best_of "$SKARVO" build-iso --no-rock-ridge -o "$W/out" "$src")
  t_quick=$(best_of "$SKARVO" build-iso --quick -o "$W/out" "$src")
  t_gen=$(best_of genisoimage -quiet -input-charset utf-8 -J -o "$W/out" "$src")
  t_genr=$(best_of genisoimage -quiet -input-charset utf-8 -R -J -o "$W/out" "$src")
  t_xor=$(best_of xorriso -as mkisofs -quiet -J -o "$W/out" "$src")
  t_xorr=$(best_of xorriso -as mkisofs -quiet -R -J -o "$W/out" "$src")
  t_cat=$(best_of cat_all "$src")
  printf "%-34s %8s s\n" "skarvo build-iso (Rock Ridge)" "$t_thr" "skarvo build-iso --no-rock-ridge" "$t_norr" \
    "skarvo build-iso --quick" "$t_quick" "genisoimage -J" "$t_gen" "genisoimage -R -J" "$t_genr" \
    "xorriso -as mkisofs -J" "$t_xor" "xorriso -as mkisofs -R -J" "$t_xorr" "cat (I/O limit)" "$t_cat"
  awk -v a="$t_thr" -v n="$t_norr" -v q="$t_quick" -v g="$t_gen" -v gr="$t_genr" -v x="$t_xor" -v xr="$t_xorr" \
    -v c="$t_cat" 'BEGIN {
    printf "Rock Ridge costs %+.1f %% (with / without)\n", (a / n - 1) * 100
    printf "ratios (time / peer time, below 1.00 is faster):\n"
    printf "  %-22s %10s %10s %10s\n", "", "genisoimage", "xorriso", "cat"
    printf "  %-22s %10.2f %10.2f %10.2f\n", "Rock Ridge vs peers -R", a / gr, a / xr, a / c
    printf "  %-22s %10.2f %10.2f %10.2f\n", "without vs peers -J", n / g, n / x, n / c
    printf "  %-22s %10.2f %10.2f %10.2f\n", "quick vs peers -R", q / gr, q / xr, q / c
  }'
}

if [ "$which_trees" = small ] || [ "$which_trees" = both ]; then
  echo "generating 100,000 small files in 1,000 folders..."
  make_small "$W/small"
  run_tree "100,000 small files in 1,000 folders" "$W/small"
  rm -rf "$W/small"
fi
if [ "$which_trees" = large ] || [ "$which_trees" = both ]; then
  echo "generating 4 files of 1 GiB..."
  make_large "$W/large"
  run_tree "4 files of 1 GiB" "$W/large"
  rm -rf "$W/large"
fi
