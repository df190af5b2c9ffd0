#!/usr/bin/env bash
# Other processes see a drive's state while a burn writes to it and after it
# ends: the recorded end grows as they look, the tray the burn locked refuses
# an eject, and afterwards the session is there for every command.
set -u
skarvo=$1
work=$(mktemp -d)
burn=""
cleanup() {
  [ -n "$burn" ] && kill "$burn" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export SKARVO_VDRIVES=$work/drives
unset SKARVO_VDRIVE_CLOCK SKARVO_TIME_SCALE
fail() { echo "FAIL: $*"; exit 1; }

"$skarvo" vdrive add bd --model bd-writer >/dev/null || fail "add"
"$skarvo" vdrive insert bd --media BD-R >/dev/null || fail "insert"
"$skarvo" vdrive set bd clock 1 >/dev/null || fail "clock"
# 32,768 blocks: at 2x (8,990 kB/s) the write phase lasts about 7.5 s.
head -c $((64 << 20)) /dev/urandom >"$work/img.iso"
"$skarvo" burn-image --drive bd --speed 2x "$work/img.iso" >"$work/out" 2>&1 &
burn=$!

# The drive's line of `vdrive list`: RECORDED is the next to last column.
recorded() {
  "$skarvo" vdrive list >"$work/list" 2>&1
  awk '$2 == "bd" { print $(NF - 1) }' "$work/list"
}
first=0
later=0
for _ in $(seq 1200); do
  kill -0 "$burn" 2>/dev/null || break
  r=$(recorded)
  r=${r:-0}
  if [ "$first" -eq 0 ] && [ "$r" -gt 0 ]; then
    first=$r
    # While the burn runs its lock holds for everyone.
    "$skarvo" vdrive eject bd 2>"$work/err" && fail "eject accepted while the burn runs"
    grep -q "prevented" "$work/err" || fail "eject refused for another reason: $(cat "$work/err")"
  elif [ "$first" -gt 0 ] && [ "$r" -gt "$first" ]; then
    later=$r
    break
  fi
  sleep 0.02
done
[ "$first" -gt 0 ] && [ "$later" -gt "$first" ] ||
  fail "the recorded end did not grow while the burn ran (first $first, later $later): $(cat "$work/list")"

wait "$burn" || fail "burn: $(tail -3 "$work/out")"
burn=""
r=$(recorded)
[ "$r" = 32768 ] || fail "recorded end after the burn: $r, not 32768: $(cat "$work/list")"
grep -Eq ' bd .* appendable .* 1$' "$work/list" || fail "one appendable session not listed: $(cat "$work/list")"
"$skarvo" vdrive eject bd >/dev/null || fail "the burn left the tray locked"
echo "PASS"
