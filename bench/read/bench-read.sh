#!/usr/bin/env bash
# Time and peak memory of reading a very wide folder and a hostile image:
#   bench/read/bench-read.sh SKARVO [ENTRIES]     default 1,000,000 entries
# "big": one folder of ENTRIES empty files, listed by `skarvo ls`, checked by
# `skarvo check`, and listed by isoinfo for comparison. "overlap": 20
# directories whose extents all cover one region of ENTRIES records.
set -euo pipefail
skarvo=${1:?usage: bench-read.sh SKARVO [ENTRIES]}
n=${2:-1000000}
here=$(cd "$(dirname "$0")" && pwd)
T=$(mktemp -d /tmp/skarvo-bench-read-XXXXXX)
trap 'rm -rf "$T"' EXIT
python3 "$here/make_wide_image.py" big "$n" "$T/big.iso"
python3 "$here/make_wide_image.py" overlap "$n" "$T/overlap.iso"
run() {
  local label=$1
  shift
  /usr/bin/time -f "$label: %e s, %M KB peak" "$@" >/dev/null 2>"$T/err" || true
  tail -1 "$T/err"
}
run "skarvo ls, $n entries" "$skarvo" ls --image "$T/big.iso"
run "skarvo check, $n entries" "$skarvo" check "$T/big.iso"
command -v isoinfo >/dev/null && run "isoinfo -l, $n entries" isoinfo -l -i "$T/big.iso"
run "skarvo ls, 20 overlapping directories of $n records" "$skarvo" ls --image "$T/overlap.iso"
run "skarvo check, 20 overlapping directories of $n records" "$skarvo" check "$T/overlap.iso"
