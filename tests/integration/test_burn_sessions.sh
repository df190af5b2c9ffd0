#!/usr/bin/env bash
# Two sessions on CD-R, DVD-R and DVD+R, the second burned without importing
# the first: it starts at the sector `skarvo info` named, `info` then shows
# two sessions, independent readers read the second session at that sector,
# and the first session still reads as it was burned.
source "$(dirname "$0")/burn_common.sh"

python3 "$HERE/gen_tree.py" mixed "$T/first"
mkdir -p "$T/second/docs"
for i in $(seq 1 40); do head -c $((i * 3001)) /dev/urandom >"$T/second/docs/part$i.bin"; done
echo "second session" >"$T/second/notes.txt"
isocheck=$SKARVO_SHARED_DIR/tools/isocheck.py

for medium in CD-R DVD-R DVD+R; do
  load "$medium"
  if ! "$SKARVO" burn --drive "$DRIVE" --verify --volume FIRST "$T/first" >/dev/null 2>"$T/err.txt"; then
    fail "$medium: first burn: $(tail -2 "$T/err.txt")"
    continue
  fi
  start=$("$SKARVO" info --drive "$DRIVE" | sed -n 's/^Next Session: starts at sector \([0-9]*\)$/\1/p')
  [ -n "$start" ] && [ "$start" -gt 0 ] || { fail "$medium: info names no next session"; continue; }
  "$SKARVO" vdrive log "$DRIVE" --clear >/dev/null
  if ! "$SKARVO" burn --drive "$DRIVE" --verify --volume SECOND "$T/second" >/dev/null 2>"$T/err.txt"; then
    fail "$medium: second burn: $(tail -2 "$T/err.txt")"
    continue
  fi
  # The first block of the second burn goes to the sector info named.
  drive_log >"$T/log.txt"
  first_lba=$(grep -m1 "cmd=WRITE(10) " "$T/log.txt" | sed 's/.*cdb=2A..\(........\).*/\1/')
  [ -n "$first_lba" ] && [ $((16#$first_lba)) = "$start" ] ||
    fail "$medium: the second session starts at ${first_lba:+$((16#$first_lba))}, info said $start"
  "$SKARVO" info --drive "$DRIVE" >"$T/info.txt"
  grep -q "Sessions : 2$" "$T/info.txt" || fail "$medium: info: $(grep Sessions "$T/info.txt")"
  grep -qE "^2 +$start " "$T/info.txt" || fail "$medium: info has no session 2 at $start: $(tail -3 "$T/info.txt")"

  # The first session alone, read by every reader.
  "$SKARVO" vdrive export "$DRIVE" "$T/s1.iso" --session 1 || fail "$medium: export of session 1"
  verify "$T/s1.iso" --tree "$T/first" --volume FIRST
  # The whole disc, read at the second session by the peers that can be told
  # where it starts.
  "$SKARVO" vdrive export "$DRIVE" "$T/disc.iso" || { fail "$medium: export"; continue; }
  listing=$(isoinfo -T "$start" -J -l -i "$T/disc.iso" 2>&1) || fail "$medium: isoinfo -T $start"
  [ "$(grep -c "part[0-9]*\.bin" <<<"$listing")" = 40 ] || fail "$medium: isoinfo -T $start: $(head -5 <<<"$listing")"
  grep -q "^Volume id: SECOND" <<<"$(isoinfo -T "$start" -d -i "$T/disc.iso")" || fail "$medium: isoinfo -T: volume id"
  isoinfo -T "$start" -i "$T/disc.iso" -x "/DOCS/PART17.BIN;1" >"$T/part17.bin" 2>/dev/null
  cmp -s "$T/part17.bin" "$T/second/docs/part17.bin" || fail "$medium: isoinfo -T -x reads other data"
  rm -rf "$T/x"
  if timeout 120 xorriso -abort_on NEVER -return_with SORRY 32 -load sbsector "$start" \
    -indev "stdio:$T/disc.iso" -osirrox on -extract / "$T/x" >/dev/null 2>"$T/xo.txt"; then
    diff -r "$T/x" "$T/second" >/dev/null || fail "$medium: xorriso's extraction of session 2 differs"
  else
    fail "$medium: xorriso -load sbsector $start: $(tail -3 "$T/xo.txt")"
  fi
  if [ -f "$isocheck" ]; then
    python3 "$isocheck" "$T/disc.iso" --session-start "$start" >"$T/ic.txt" 2>&1 ||
      fail "$medium: isocheck.py --session-start $start: $(tail -3 "$T/ic.txt")"
  else
    echo "skipped: isocheck.py not found"
  fi
  pass "$medium: two sessions"
done
finish
