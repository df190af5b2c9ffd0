#!/usr/bin/env bash
# Blu-ray on a BD writer:
#  - `capabilities` and `info` name the BD media and their sizes;
#  - `burn --verify` on BD-R, BD-R DL and a blank BD-RE (formatted at the
#    first write) reads back, and the exported disc reads the same in
#    `skarvo check` and every independent reader;
#  - a second session on BD-R imports the first, and a peer reads both
#    sessions' files at the second one;
#  - `erase` quick-formats a BD-RE, `--complete` certifies it with the
#    drive's progress shown, and the disc takes a burn again.
source "$(dirname "$0")/burn_common.sh"
use_drive_for BD-R

python3 "$HERE/gen_tree.py" mixed "$T/tree"
files=$(find "$T/tree" -type f | wc -l)
mkdir -p "$T/second/more"
for i in 1 2 3; do head -c $((i * 50001)) /dev/urandom >"$T/second/more/s$i.bin"; done

load BD-R
"$SKARVO" capabilities --drive "$DRIVE" >"$T/caps.txt" || fail "capabilities"
for c in "Read BD" "Write BD-R" "Write BD-RE"; do
  grep -qF "[x] $c" "$T/caps.txt" || fail "capabilities: no \"[x] $c\""
done
grep -qF "12.0x (53940 KB/s)" "$T/caps.txt" && grep -qF "2.0x (8990 KB/s)" "$T/caps.txt" ||
  fail "capabilities: BD-R speeds: $(grep Speeds "$T/caps.txt")"

# info MEDIUM NAME SIZE: the blank disc's name and size.
info_blank() {
  load "$1"
  "$SKARVO" info --drive "$DRIVE" >"$T/info.txt" || { fail "$1: info"; return; }
  grep -qx "Medium      : $2" "$T/info.txt" || fail "$1: info: $(grep Medium "$T/info.txt")"
  grep -qx "Disc Size   : $3 MB" "$T/info.txt" || fail "$1: info: $(grep Size "$T/info.txt")"
  pass "$1: info names $2 of $3 MB"
}
info_blank BD-R "BD-R" "23,866.00"
info_blank BD-R-DL "BD-R DL" "47,732.00"
info_blank BD-RE "BD-RE" "23,866.00"
info_blank BD-RE-DL "BD-RE DL" "47,732.00"

for medium in BD-R BD-R-DL BD-RE; do
  load "$medium"
  label="Burn $medium"
  # A speed factor counts in BD's 1x of 4,495 KB/s.
  speed=()
  [ "$medium" = BD-R-DL ] && speed=(--speed 6x)
  if ! "$SKARVO" burn --drive "$DRIVE" --yes --verify "${speed[@]}" --volume "$label" "$T/tree" >"$T/out.txt" 2>"$T/err.txt"; then
    fail "$medium: burn failed: $(tail -3 "$T/err.txt")"
    continue
  fi
  grep -q "^Burn process completed\.$" "$T/out.txt" || fail "$medium: no completion line: $(tail -3 "$T/out.txt")"
  grep -q "^VERIFY: [0-9]* sectors equal$" "$T/out.txt" || fail "$medium: verify: $(grep VERIFY "$T/out.txt")"
  [ "$(setting prevent)" = 0 ] || fail "$medium: the tray stays locked after the burn"
  [ "$medium" != BD-R-DL ] || [ "$(setting recorded_speed)" = 26970 ] ||
    fail "$medium: --speed 6x recorded at $(setting recorded_speed) KB/s"
  rm -f "$T/disc.iso"
  "$SKARVO" vdrive export "$DRIVE" "$T/disc.iso" || { fail "$medium: export"; continue; }
  verify "$T/disc.iso" --tree "$T/tree" --volume "$label" --min-files "$files"
  pass "$medium: burned, verified and read back"
done

# The BD-RE above was blank: the burn formatted it, and it is a sparse file
# holding about what was written, not 25 GB.
used_kb=$(du -k "$SKARVO_VDRIVES/$DRIVE/data.img" | cut -f1)
[ "$used_kb" -lt 200000 ] || fail "BD-RE: the medium's file takes $used_kb KB"

# A second session on BD-R, importing the first.
load BD-R
"$SKARVO" burn --drive "$DRIVE" --yes --volume FIRST "$T/tree" >/dev/null 2>"$T/err.txt" || fail "BD-R: first session: $(tail -2 "$T/err.txt")"
start=$("$SKARVO" info --drive "$DRIVE" | sed -n 's/^Next Session: starts at sector \([0-9]*\)$/\1/p')
[ -n "$start" ] && [ $((start % 32)) = 0 ] || fail "BD-R: next session at \"$start\", not on a whole cluster"
if "$SKARVO" burn --drive "$DRIVE" --yes --verify --import-session -1 --volume SECOND "$T/second" >"$T/out.txt" 2>"$T/err.txt"; then
  grep -q "^VERIFY: [0-9]* sectors equal$" "$T/out.txt" || fail "BD-R second session: verify: $(grep VERIFY "$T/out.txt")"
  "$SKARVO" info --drive "$DRIVE" | grep -q "Sessions : 2$" || fail "BD-R: info does not show two sessions"
  rm -f "$T/disc.iso"
  "$SKARVO" vdrive export "$DRIVE" "$T/disc.iso"
  rm -rf "$T/x" "$T/both"
  mkdir -p "$T/both"
  cp -r "$T/tree/." "$T/second/." "$T/both/"
  if timeout 120 xorriso -abort_on NEVER -return_with SORRY 32 -load sbsector "$start" \
    -indev "stdio:$T/disc.iso" -osirrox on -extract / "$T/x" >/dev/null 2>"$T/xo.txt"; then
    diff -r "$T/x" "$T/both" >/dev/null || fail "BD-R: xorriso's extraction of session 2 differs from both trees"
  else
    fail "BD-R: xorriso -load sbsector $start: $(tail -3 "$T/xo.txt")"
  fi
  rm -rf "$T/y"
  "$SKARVO" extract --drive "$DRIVE" -C "$T/y" / >/dev/null 2>"$T/err.txt" || fail "BD-R: extract: $(tail -2 "$T/err.txt")"
  diff -r "$T/y" "$T/both" >/dev/null || fail "BD-R: skarvo extract of session 2 differs from both trees"
  pass "BD-R: a second session imports the first"
else
  fail "BD-R: second session: $(tail -3 "$T/err.txt")"
fi

# close-track --finalize closes the BD-R for good (close function 110b); a
# BD-RE has nothing to close.
if "$SKARVO" close-track --drive "$DRIVE" --finalize >"$T/out.txt" 2>"$T/err.txt"; then
  "$SKARVO" info --drive "$DRIVE" | grep -q "Disc closed/finalized" || fail "BD-R: not finalized by close-track"
  # The whole log first: grep -q ending early would break the pipe.
  drive_log >"$T/log.txt"
  grep -q "cmd=CLOSE-TRACK-SESSION .*cdb=5B0006" "$T/log.txt" || fail "BD-R: finalized without close function 110b"
else
  fail "BD-R: close-track --finalize: $(tail -2 "$T/err.txt")"
fi
load BD-RE --formatted
"$SKARVO" close-track --drive "$DRIVE" | grep -q "^Nothing to close" || fail "BD-RE: close-track"

# Erase: a quick format leaves no volume; a complete one certifies the disc
# while the drive reports its progress.
load BD-RE --formatted
"$SKARVO" burn --drive "$DRIVE" --yes "$T/second" >/dev/null 2>&1 || fail "BD-RE: burn before the erase"
if "$SKARVO" erase --drive "$DRIVE" --yes >"$T/out.txt" 2>"$T/err.txt"; then
  grep -q "^Erase process completed\.$" "$T/out.txt" || fail "BD-RE quick erase: $(tail -2 "$T/out.txt")"
  "$SKARVO" info --drive "$DRIVE" | grep -q "^Used Space  : 0.00 MB" || fail "BD-RE: used space after the quick erase"
  [ "$(setting no_spares)" = 1 ] || fail "BD-RE: the quick erase did not format without spare areas"
else
  fail "BD-RE quick erase: $(tail -2 "$T/err.txt")"
fi
"$SKARVO" vdrive set "$DRIVE" clock 300 >/dev/null
if "$SKARVO" erase --drive "$DRIVE" --yes --complete >"$T/out.txt" 2>"$T/err.txt"; then
  grep -q "^Erase process completed\.$" "$T/out.txt" || fail "BD-RE complete erase: $(tail -2 "$T/out.txt")"
  # Steps between the start and the end: the drive's own figures.
  steps=$(sed -n 's/^Erasing \([0-9]*\)\.[0-9] %$/\1/p' "$T/out.txt" | sort -un | grep -cvxE "0|100" || true)
  [ "$steps" -ge 3 ] || fail "BD-RE complete erase: $steps progress steps shown: $(tail -5 "$T/out.txt")"
  [ "$(setting no_spares)" = 0 ] || fail "BD-RE: the complete erase did not format with spare areas"
else
  fail "BD-RE complete erase: $(tail -2 "$T/err.txt")"
fi
"$SKARVO" vdrive set "$DRIVE" clock 1000 >/dev/null
"$SKARVO" burn --drive "$DRIVE" --yes --verify "$T/second" >"$T/out.txt" 2>"$T/err.txt" &&
  grep -q "^VERIFY: [0-9]* sectors equal$" "$T/out.txt" && pass "BD-RE: erased and formatted, and burned again" ||
  fail "BD-RE: burn after the erase: $(tail -2 "$T/err.txt")"
finish
