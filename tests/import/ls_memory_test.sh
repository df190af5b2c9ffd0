#!/usr/bin/env bash
# `skarvo ls` of one folder of 300,000 files, recursive and not, and `skarvo
# check` of it, in a process limited to 40 MB of address space: both read a
# folder at a time, so their memory does not grow with the folder. Every file is listed once, and a path below the
# root is found. (Holding the whole tree takes about 90 MB here.)
source "$(dirname "$0")/../integration/common.sh"
command -v python3 >/dev/null || { echo "skipped: python3 is not installed"; exit 77; }
n=300000
python3 "$(dirname "$0")/../../bench/read/make_wide_image.py" big $n "$T/wide.iso"
for opt in "" -R; do
  rc=0
  (ulimit -v 40000 && exec "$SKARVO" ls --image "$T/wide.iso" $opt) >"$T/ls.txt" 2>"$T/err.txt" || rc=$?
  lines=$(grep -c '^- .* /F[0-9]*\.$' "$T/ls.txt" || true)
  if [ "$rc" -eq 0 ] && [ "$lines" -eq $n ] && [ "$(sort -u "$T/ls.txt" | wc -l)" -eq $((n + 1)) ]; then
    pass "ls $opt: $n files in 40 MB"
  else
    fail "ls $opt: exit $rc, $lines files listed: $(head -3 "$T/err.txt")"
  fi
done
# check walks the folder the same way: the same findings as without a limit.
"$SKARVO" check "$T/wide.iso" >"$T/check-free.txt" 2>&1 && free=0 || free=$?
rc=0
(ulimit -v 40000 && exec "$SKARVO" check "$T/wide.iso") >"$T/check.txt" 2>&1 || rc=$?
if [ "$rc" -eq "$free" ] && grep -q "$n files" "$T/check.txt" && cmp -s "$T/check.txt" "$T/check-free.txt"; then
  pass "check: $n files in 40 MB"
else
  fail "check: exit $rc (without a limit $free): $(tail -3 "$T/check.txt")"
fi
"$SKARVO" ls --image "$T/wide.iso" /f0299999. >"$T/one.txt" 2>&1 && grep -q ' /F0299999\.$' "$T/one.txt" &&
  [ "$(wc -l <"$T/one.txt")" -eq 2 ] && pass "a path found ignoring case" || fail "ls PATH: $(cat "$T/one.txt")"
finish
