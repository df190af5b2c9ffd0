#!/usr/bin/env bash
# What the user sees around a burn that goes wrong: entries an imported
# session cannot keep are named before anything is written, an unfinished
# session is refused with the command that repairs it, `close-track` with
# nothing open says so, `info` names blank, open-tray, overwritable and
# unfinished discs, and the burn's phases each get their lines.
source "$(dirname "$0")/burn_common.sh"

mkdir -p "$T/src"
head -c 1500000 /dev/urandom >"$T/src/a.bin"
python3 "$HERE/multi_extent_iso.py" "$T/me.iso"

# --- an entry the import leaves out (a new file whose name the disc's file
# keeps) is named before the write starts; the disc's multi-extent file is kept
load DVD+R
"$SKARVO" vdrive append-session "$DRIVE" "$T/me.iso" >/dev/null
mkdir -p "$T/clash"
head -c 1000 /dev/urandom >"$T/clash/BIG.BIN"
rc=0
"$SKARVO" burn --drive "$DRIVE" --yes --import-session 1 "$T/src" "$T/clash/BIG.BIN" >"$T/out.txt" 2>&1 || rc=$?
[ "$rc" = 1 ] || fail "import with a left-out file: exit $rc"
"$SKARVO" ls --drive "$DRIVE" >"$T/ls.txt" 2>&1
grep -q "/BIG.BIN  \[3 extents\]" "$T/ls.txt" || fail "the imported multi-extent file was not kept: $(cat "$T/ls.txt")"
left=$(grep -n "left out $T/clash/BIG.BIN" "$T/out.txt" | cut -d: -f1)
writing=$(grep -n "^Writing .* MB to the" "$T/out.txt" | cut -d: -f1)
if [ -n "$left" ] && [ -n "$writing" ] && [ "$left" -lt "$writing" ]; then
  pass "left-out import entry named before writing"
else
  fail "left-out import entry not named before writing: $(cat "$T/out.txt")"
fi

# --- off a terminal, the writing prints a line at each 10 %: a slow drive
# (10x CD, clock 1) takes a few seconds to write, and once the data is sent
# its clock is made fast for the flush and the close
load CD-R
mkdir -p "$T/slow"
head -c 9000000 /dev/urandom >"$T/slow/a.bin"
"$SKARVO" vdrive set "$DRIVE" clock 1 >/dev/null
SKARVO_TIME_SCALE=0.1 "$SKARVO" burn --drive "$DRIVE" --speed 10x "$T/slow" >"$T/out.txt" 2>"$T/err.txt" &
pid=$!
until grep -q "cmd=SYNCHRONIZE-CACHE" "$SKARVO_VDRIVES/$DRIVE/commands.log" 2>/dev/null; do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
"$SKARVO" vdrive set "$DRIVE" clock 1000 >/dev/null
wait "$pid" || fail "slow burn: $(tail -2 "$T/err.txt")"
# The tens reached, one per line; a loaded machine may miss a step now and
# then, but a run without the lines in between shows only 0 and 100.
tens=$(awk '/^Writing [0-9.]+ %/ { print int($2 / 10) }' "$T/out.txt")
distinct=$(sort -un <<<"$tens" | wc -l)
if [ "$distinct" -ge 8 ] && [ "$(sort -n <<<"$tens")" = "$tens" ] && [ "$(uniq -c <<<"$tens" | awk '$1 > 2' | wc -l)" = 0 ]; then
  pass "a line at each 10 % of the writing"
else
  fail "writing lines off a terminal: $(grep "^Writing" "$T/out.txt")"
fi
"$SKARVO" vdrive set "$DRIVE" clock 1000 >/dev/null

# --- phases without a terminal: writing, closing, verifying with its percent
load DVD-R
if "$SKARVO" burn --drive "$DRIVE" --verify "$T/src" >"$T/out.txt" 2>"$T/err.txt"; then
  grep -q "^Writing 100.0 %" "$T/out.txt" || fail "phases: no writing line: $(cat "$T/out.txt")"
  grep -q "^Closing session" "$T/out.txt" || fail "phases: no closing line: $(cat "$T/out.txt")"
  grep -q "^Verifying 100.0 %" "$T/out.txt" || fail "phases: no verifying line: $(cat "$T/out.txt")"
  line() { grep -n "$1" "$T/out.txt" | head -1 | cut -d: -f1; }
  [ "$(line "^Writing 100")" -lt "$(line "^Closing")" ] && [ "$(line "^Closing")" -lt "$(line "^Verifying 100")" ] &&
    [ "$(line "^Verifying 100")" -lt "$(line "^Burn process completed")" ] || fail "phases out of order: $(cat "$T/out.txt")"
  pass "burn phases"
else
  fail "phases: $(tail -2 "$T/err.txt")"
fi

# --- an unfinished session: refused naming close-track, which repairs it
"$SKARVO" vdrive fault "$DRIVE" nomedium --op 2A --count -1 --skip 5 >/dev/null
"$SKARVO" burn --drive "$DRIVE" "$T/src" >/dev/null 2>&1 && fail "the burn with a failing write succeeded"
"$SKARVO" vdrive fault "$DRIVE" --clear >/dev/null
grep -q "last session unfinished" <<<"$("$SKARVO" info --drive "$DRIVE")" || fail "info does not name the open session"
"$SKARVO" vdrive log "$DRIVE" --clear >/dev/null
expect_fail "burn after an unfinished one" "skarvo close-track" -- "$SKARVO" burn --drive "$DRIVE" "$T/src"
[ "$(count_cmd 'WRITE(10)')" = 0 ] || fail "the refused burn wrote"
"$SKARVO" close-track --drive "$DRIVE" >/dev/null || fail "close-track"
out=$("$SKARVO" close-track --drive "$DRIVE") || fail "close-track with nothing open: non-zero exit"
[ "$out" = "Nothing to close: the last session of the disc is already closed." ] || fail "close-track twice: $out"
"$SKARVO" burn --drive "$DRIVE" --verify "$T/src" >/dev/null 2>&1 || fail "burn after close-track"
grep -q "Sessions : 3" <<<"$("$SKARVO" info --drive "$DRIVE")" || fail "three sessions expected"
pass "unfinished session repaired by close-track"

# --- finalizing the disc leaves its size and used space as they were
figure() { sed -n "s/^$1 *: \([0-9.,]*\) MB.*/\1/p" <<<"$2"; }
before=$("$SKARVO" info --drive "$DRIVE")
"$SKARVO" close-track --drive "$DRIVE" --finalize >/dev/null || fail "close-track --finalize"
after=$("$SKARVO" info --drive "$DRIVE")
grep -q "Disc closed/finalized" <<<"$after" || fail "finalize: the disc is not closed: $after"
grep -q "Sessions : 3" <<<"$after" || fail "finalize: sessions lost: $after"
used=$(figure "Used Space" "$before")
[ -n "$used" ] && [ "$used" != 0.00 ] || fail "finalize: no used space before: $before"
[ "$(figure "Used Space" "$after")" = "$used" ] || fail "finalize changed the used space: $before // $after"
size=$(figure "Disc Size" "$after")
[ -n "$size" ] && [ "$size" != 0.00 ] && awk -v s="${size//,/}" -v u="${used//,/}" 'BEGIN { exit !(s >= u) }' ||
  fail "finalize: disc size $size against $used used: $after"
[ "$(figure "Free Space" "$after")" = 0.00 ] || fail "finalize: free space left: $after"
pass "finalizing keeps the used space"

# --- info texts
load CD-R
grep -q "Disc is blank" <<<"$("$SKARVO" info --drive "$DRIVE")" || fail "info on a blank disc"
load DVD+RW --formatted
"$SKARVO" burn --drive "$DRIVE" --yes "$T/src" >/dev/null 2>&1 || fail "burn to DVD+RW"
grep -q "Overwritable disc: sessions can be added" <<<"$("$SKARVO" info --drive "$DRIVE")" || fail "info on a DVD+RW"
"$SKARVO" vdrive eject "$DRIVE" >/dev/null
expect_fail "info with the tray open" "The tray is open." -- "$SKARVO" info --drive "$DRIVE"
finish
