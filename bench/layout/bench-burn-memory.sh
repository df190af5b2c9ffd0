#!/usr/bin/env bash
# Peak memory of `skarvo build-iso` and `skarvo burn --verify` (onto a
# virtual BD-R with a fast clock) for a tree of many small real files: FILES
# files in DIRS folders several levels deep (20 subfolders per folder), named
# like the synthetic tree of bench_layout. Prints one line per command:
#   build-iso entries=N peak_rss_MiB=M seconds=S
#   burn entries=N peak_rss_MiB=M seconds=S
# Not part of the test suite (tests/layout/burn_memory_test.sh runs it small).
#
#   bench/layout/bench-burn-memory.sh [SKARVO] [FILES] [DIRS] [EXTRA OPTIONS...]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
SKARVO=${1:-$root/build/release/bin/skarvo}
files=${2:-600000}
dirs=${3:-20000}
shift $(($# < 3 ? $# : 3))
[ -x "$SKARVO" ] || { echo "no skarvo binary at $SKARVO (run tools/build release skarvo)" >&2; exit 2; }
for tool in python3 /usr/bin/time; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed" >&2; exit 77; }
done
W=$(mktemp -d "${TMPDIR:-/tmp}/skarvo-bench-mem-XXXXXX")
trap 'rm -rf "$W"' EXIT
export SKARVO_VDRIVES=$W/vdrives SKARVO_VDRIVE_CLOCK=0 SKARVO_TIME_SCALE=0.01

# The tree: folder i (1-based) lies in folder (i - 1) / 20, 0 being the root;
# file k goes to folder k mod (DIRS + 1) and holds 1 to 3000 bytes.
python3 - "$W/src" "$files" "$dirs" <<'PY'
import os, sys
top, files, dirs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
paths = [top]
os.mkdir(top)
for i in range(1, dirs + 1):
    p = os.path.join(paths[(i - 1) // 20], "Project folder %06d" % i)
    os.mkdir(p)
    paths.append(p)
block = b"0123456789abcdef" * 200
for k in range(files):
    p = os.path.join(paths[k % (dirs + 1)], "Quarterly report draft %07d.document" % k)
    fd = os.open(p, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    os.write(fd, block[: 1 + (k * 7919) % 3000])
    os.close(fd)
PY
entries=$((files + dirs))

# measure NAME COMMAND...: runs it under /usr/bin/time and prints its line.
measure() {
  local name=$1
  shift
  local t0 t1
  t0=$(date +%s.%N)
  /usr/bin/time -f %M -o "$W/rss" "$@" >"$W/out.txt" 2>&1 || { echo "$name failed: $(tail -5 "$W/out.txt")" >&2; exit 1; }
  t1=$(date +%s.%N)
  awk -v n="$name" -v e="$entries" -v t0="$t0" -v t1="$t1" 'END { printf "%s entries=%d peak_rss_MiB=%.1f seconds=%.1f\n", n, e, $1 / 1024, t1 - t0 }' "$W/rss"
}

measure build-iso "$SKARVO" build-iso -o "$W/out.iso" "$@" "$W/src"
rm -f "$W/out.iso"

"$SKARVO" vdrive add bd --model bd-writer >/dev/null
"$SKARVO" vdrive insert bd --media BD-R >/dev/null
measure burn "$SKARVO" burn --drive bd --verify --yes "$@" "$W/src"
grep -q "VERIFY" "$W/out.txt" || { echo "the burn did not verify: $(tail -5 "$W/out.txt")" >&2; exit 1; }
