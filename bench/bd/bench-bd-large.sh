#!/usr/bin/env bash
# A 25 GB compilation on a virtual BD-R, and a BD-R DL filled past its layer
# break, end to end: the suite's large-disc test run at full size, with the
# time of each step (burn with verify, export, check, xorriso's compare,
# bsdtar's copies of the large files, extract), the burn's largest resident
# set and what the medium's file takes on disk. Not part of the suite: each
# run takes minutes.
#
#   bench/bd/bench-bd-large.sh [SKARVO] [FOLDER]
#
# FOLDER: where the sources, the drive and the export go (default: the
# test's scratch folder, in memory when /dev/shm has room; holes cost
# nothing there). On a disk file system every hole read fills the page cache
# with zeros: compare the two to see that cost.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export SKARVO=${1:-$root/build/release/bin/skarvo}
[ -x "$SKARVO" ] || { echo "no skarvo binary at $SKARVO (run tools/build release skarvo)" >&2; exit 2; }
[ -z "${2:-}" ] || export BD_LARGE_DIR=$2
test=$root/tests/integration/test_burn_bd_large.sh
# A BD-R holds 23,866 MiB; a BD-R DL's first layer as much.
for run in "23500 BD-R" "26000 BD-R-DL"; do
  set -- $run
  echo "== $2, $1 MiB of sources (load $(cut -d' ' -f1 /proc/loadavg))"
  t0=$SECONDS
  bash "$test" "$1" "$2" | grep -E "^(time|burn max|medium file|used|FAIL|ok|all)"
  echo "total: $((SECONDS - t0)) s"
done
