#!/usr/bin/env bash
# How `skarvo burn` is driven: test writes, the question before a rewritable
# disc with data is written, --speed, progress lines, Ctrl-C mid-burn, and a
# drive without a disc.
source "$(dirname "$0")/burn_common.sh"

mkdir -p "$T/src"
head -c 3000000 /dev/urandom >"$T/src/a.bin"
echo hello >"$T/src/b.txt"

# --- test writes
# A DVD+R cannot simulate: refused before any WRITE(10) reaches the drive.
load DVD+R
expect_fail "test write on DVD+R" "" -- "$SKARVO" burn --drive "$DRIVE" --test-write "$T/src"
[ "$(count_cmd 'WRITE(10)')" = 0 ] || fail "test write on DVD+R: $(count_cmd 'WRITE(10)') WRITE(10) sent"
grep -q " empty " <<<"$(medium_line)" || fail "test write on DVD+R: the disc is no longer blank: $(medium_line)"
[ "$(setting prevent)" = 0 ] || fail "test write on DVD+R: the tray stays locked"
# A CD-R simulates: the burn runs, and the disc stays blank.
load CD-R
if "$SKARVO" burn --drive "$DRIVE" --test-write "$T/src" >"$T/out.txt" 2>"$T/err.txt"; then
  grep -q "test write: nothing was recorded" "$T/out.txt" || fail "test write on CD-R: $(tail -2 "$T/out.txt")"
  [ "$(count_cmd 'WRITE(10)')" -gt 0 ] || fail "test write on CD-R: no block was sent"
  grep -q " empty " <<<"$(medium_line)" || fail "test write on CD-R: the disc is no longer blank: $(medium_line)"
  grep -q "Sessions : 0$" <<<"$("$SKARVO" info --drive "$DRIVE")" || fail "test write on CD-R: info shows a session"
  pass "test write on CD-R writes nothing"
else
  fail "test write on CD-R: $(tail -3 "$T/err.txt")"
fi
expect_fail "--verify with --test-write" "exclude each other" -- \
  "$SKARVO" burn --drive "$DRIVE" --verify --test-write "$T/src"

# --- the question before writing over data
load DVD+RW
"$SKARVO" burn --drive "$DRIVE" "$T/src" >/dev/null 2>&1 || fail "first burn to a blank DVD+RW asked or failed"
"$SKARVO" vdrive log "$DRIVE" --clear >/dev/null
# Without a terminal and without --yes: refused, nothing written.
expect_fail "DVD+RW with data, no terminal" "needs --yes" -- "$SKARVO" burn --drive "$DRIVE" "$T/src"
expect_fail "burn-image over data, no terminal" "needs --yes" -- \
  "$SKARVO" burn-image --drive "$DRIVE" "$T/src/a.bin"
[ "$(count_cmd 'WRITE(10)')" = 0 ] || fail "an unconfirmed burn wrote to the disc"
# On a terminal: the question, then "n" refuses and "y" writes.
ask() {   # ask ANSWER: runs the burn on a pseudo-terminal, answering ANSWER
  python3 - "$1" "$SKARVO" burn --drive "$DRIVE" "$T/src" <<'PY'
import os, pty, sys, time
answer, cmd = sys.argv[1], sys.argv[2:]
pid, fd = pty.fork()
if pid == 0:
    os.execv(cmd[0], cmd)
out = b""
asked = False
while True:
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    out += data
    if not asked and b"[y/N]" in out:
        os.write(fd, answer.encode() + b"\n")
        asked = True
_, status = os.waitpid(pid, 0)
sys.stdout.write(out.decode("utf-8", "replace"))
sys.exit(os.waitstatus_to_exitcode(status))
PY
}
rc=0
ask n >"$T/out.txt" 2>&1 || rc=$?
grep -q "holds data" "$T/out.txt" || fail "no question on a terminal: $(cat "$T/out.txt")"
[ "$rc" -ne 0 ] && grep -q "not confirmed" "$T/out.txt" || fail "answer n: status $rc: $(tail -2 "$T/out.txt")"
[ "$(count_cmd 'WRITE(10)')" = 0 ] || fail "answer n: the disc was written"
rc=0
ask y >"$T/out.txt" 2>&1 || rc=$?
[ "$rc" -eq 0 ] && grep -q "Burn process completed" "$T/out.txt" || fail "answer y: status $rc: $(tail -2 "$T/out.txt")"
# On a terminal the progress is a bar redrawn in place, with the disc figures.
grep -qE $'\r''Writing \[[#-]{30}\] +[0-9.]+ %  [0-9.]+ of [0-9.]+ MB  [0-9.]+ MB/s.* left' "$T/out.txt" ||
  fail "no progress bar on a terminal: $(tr '\r' '\n' <"$T/out.txt" | tail -4)"
"$SKARVO" vdrive log "$DRIVE" --clear >/dev/null
"$SKARVO" burn --drive "$DRIVE" --yes "$T/src" >/dev/null 2>"$T/err.txt" || fail "--yes: $(cat "$T/err.txt")"
[ "$(count_cmd 'WRITE(10)')" -gt 0 ] || fail "--yes: nothing written"
# A blank rewritable disc and a write-once one are written without a question.
load CD-RW
"$SKARVO" burn --drive "$DRIVE" "$T/src" >/dev/null 2>"$T/err.txt" || fail "blank CD-RW: $(cat "$T/err.txt")"
expect_fail "CD-RW with a session, no terminal" "needs --yes" -- "$SKARVO" burn --drive "$DRIVE" "$T/src"
load CD-R
"$SKARVO" burn --drive "$DRIVE" "$T/src" >/dev/null 2>"$T/err.txt" || fail "CD-R: $(cat "$T/err.txt")"
"$SKARVO" burn --drive "$DRIVE" "$T/src" >/dev/null 2>"$T/err.txt" || fail "CD-R, second session: $(cat "$T/err.txt")"
pass "the question before writing over data"

# --- speeds: the one asked for reaches the drive; others are refused with the list
load DVD+R
speed_cdb() { drive_log | grep "cmd=SET-CD-SPEED" | sed 's/.*cdb=BB00....\(....\).*/\1/'; }
"$SKARVO" burn --drive "$DRIVE" --speed 8x "$T/src" >/dev/null 2>"$T/err.txt" || fail "--speed 8x: $(cat "$T/err.txt")"
grep -qx 2B48 <<<"$(speed_cdb)" || fail "--speed 8x on DVD+R: no SET CD SPEED of 11,080 KB/s: $(speed_cdb | sort -u | tr '\n' ' ')"
load DVD+R
"$SKARVO" burn --drive "$DRIVE" --speed "16620 KB/s" "$T/src" >/dev/null 2>&1 || fail "--speed \"16620 KB/s\""
grep -qx 40EC <<<"$(speed_cdb)" || fail "--speed 16620 KB/s: no SET CD SPEED of 16,620 KB/s"
grep -q "^Write Speeds : max, 16.0x (22160 KB/s), 12.0x" <<<"$("$SKARVO" capabilities --drive "$DRIVE")" ||
  fail "capabilities: $("$SKARVO" capabilities --drive "$DRIVE" | grep Speeds)"
load CD-R
"$SKARVO" burn --drive "$DRIVE" --speed 24X "$T/src" >/dev/null 2>&1 || fail "--speed 24X on CD-R"
# 24 x 177 KB/s, which the drive rounds down to its 24x step.
grep -qx 1098 <<<"$(speed_cdb)" || fail "--speed 24X on CD-R: no SET CD SPEED of 4,248 KB/s"
load DVD+R
expect_fail "--speed 17x" "valid speeds: max, 16.0x (22160 KB/s), 12.0x (16620 KB/s)" -- \
  "$SKARVO" burn --drive "$DRIVE" --speed 17x "$T/src"
expect_fail "--speed fast" "valid speeds: max" -- "$SKARVO" burn --drive "$DRIVE" --speed fast "$T/src"
[ "$(count_cmd 'WRITE(10)')" = 0 ] || fail "a refused speed wrote to the disc"

# --- progress off a terminal: plain lines with the figures of a disc write
"$SKARVO" burn --drive "$DRIVE" --speed max "$T/src" >"$T/out.txt" 2>&1 || fail "--speed max"
grep -qE "^Writing [0-9.]+ % \([0-9.]+ of [0-9.]+ MB, [0-9.]+ MB/s(, buffer [0-9]+ %)?, ([0-9]+:[0-9]{2}|--:--) left\)$" \
  "$T/out.txt" || fail "no plain progress line: $(head -5 "$T/out.txt")"
grep -q $'\r' "$T/out.txt" && fail "a progress bar was drawn off a terminal"

# --- Ctrl-C mid-burn: aborted, no close command, tray unlocked, drive usable
load DVD+R
truncate -s 300M "$T/slow.bin"
"$SKARVO" vdrive set "$DRIVE" clock 1 >/dev/null
"$SKARVO" burn --drive "$DRIVE" --speed 4x "$T/slow.bin" >"$T/out.txt" 2>"$T/err.txt" &
pid=$!
for _ in $(seq 100); do
  [ "$(count_cmd 'WRITE(10)')" -gt 3 ] && break
  sleep 0.1
done
kill -INT "$pid"
rc=0
wait "$pid" || rc=$?
"$SKARVO" vdrive set "$DRIVE" clock 1000 >/dev/null
[ "$rc" = 130 ] || fail "Ctrl-C: status $rc, expected 130: $(tail -2 "$T/err.txt")"
grep -q "OPERATION ABORTED BY USER" "$T/err.txt" || fail "Ctrl-C: $(tail -2 "$T/err.txt")"
[ "$(count_cmd 'CLOSE-TRACK-SESSION')" = 0 ] || fail "Ctrl-C: a close command was sent"
[ "$(setting prevent)" = 0 ] || fail "Ctrl-C: the tray stays locked"
"$SKARVO" info --drive "$DRIVE" >/dev/null || fail "Ctrl-C: the drive does not answer afterwards"
"$SKARVO" eject --drive "$DRIVE" || fail "Ctrl-C: the tray does not open afterwards"
pass "Ctrl-C mid-burn"

# --- verify: a block the drive stores wrongly fails the burn with status 3,
# told apart from a write error
load DVD+R
"$SKARVO" vdrive fault "$DRIVE" corrupt --lba 40 >/dev/null
rc=0
"$SKARVO" burn --drive "$DRIVE" --verify "$T/src" >"$T/out.txt" 2>"$T/err.txt" || rc=$?
[ "$rc" = 3 ] && grep -q "^skarvo: VERIFY" "$T/err.txt" || fail "verify mismatch: status $rc: $(cat "$T/err.txt")"
grep -q "Burn process completed" "$T/out.txt" && fail "verify mismatch reported as completed"
"$SKARVO" vdrive fault "$DRIVE" --clear >/dev/null
load DVD+R
"$SKARVO" vdrive fault "$DRIVE" writeerror --lba 40 >/dev/null
rc=0
"$SKARVO" burn --drive "$DRIVE" --verify "$T/src" >/dev/null 2>"$T/err.txt" || rc=$?
[ "$rc" = 1 ] && grep -q "WRITER ERROR" "$T/err.txt" || fail "write error: status $rc: $(cat "$T/err.txt")"
"$SKARVO" vdrive fault "$DRIVE" --clear >/dev/null

# --- a compilation larger than the free space: refused with both sizes
load CD-R --capacity 1000
expect_fail "too large for the disc" "MB" -- "$SKARVO" burn --drive "$DRIVE" "$T/src"
[ "$(count_cmd 'WRITE(10)')" = 0 ] || fail "a compilation too large for the disc was written"

# --- an entry left out: the disc holds the rest, and the status is 1
mkdir -p "$T/one" "$T/two"
echo first >"$T/one/same.txt"
echo second >"$T/two/same.txt"
load DVD+R
rc=0
"$SKARVO" burn --drive "$DRIVE" "$T/one" "$T/two" >"$T/out.txt" 2>"$T/err.txt" || rc=$?
[ "$rc" = 1 ] && grep -q "the disc lacks 1 source entry" "$T/err.txt" && grep -q "Burn process completed" "$T/out.txt" ||
  fail "an entry left out: status $rc: $(cat "$T/err.txt")"

# --- archive bits: kept after a test write and after a failed burn, cleared
# after a burn that recorded everything (the bits live in extended attributes,
# so the tree stays on disk)
mkdir -p "$T_DISK/arch"
echo data >"$T_DISK/arch/f.txt"
load CD-R
"$SKARVO" burn --drive "$DRIVE" --archive-only --test-write "$T_DISK/arch" >/dev/null 2>"$T/err.txt" ||
  fail "--archive-only --test-write: $(cat "$T/err.txt")"
load DVD+R
"$SKARVO" vdrive fault "$DRIVE" writeerror --lba 0 >/dev/null
expect_fail "--archive-only, write error" "WRITER ERROR" -- "$SKARVO" burn --drive "$DRIVE" --archive-only "$T_DISK/arch"
"$SKARVO" vdrive fault "$DRIVE" --clear >/dev/null
load DVD+R
if "$SKARVO" burn --drive "$DRIVE" --archive-only "$T_DISK/arch" >/dev/null 2>"$T/err.txt"; then
  expect_fail "--archive-only after a burn" "nothing to write" -- \
    "$SKARVO" burn --drive "$DRIVE" --archive-only "$T_DISK/arch"
else
  fail "--archive-only after a test write and a failed burn: $(cat "$T/err.txt")"
fi

# --- every option is described
burn_help=$("$SKARVO" burn --help)
image_help=$("$SKARVO" burn-image --help)
for opt in --drive --speed --test-write --finalize --no-underrun-protection --opc --verify --eject --yes \
  --import-session --volume --no-joliet --boot --save-path --archive-only --replace --cache-size --log; do
  grep -qE -- "^  $opt( |$)" <<<"$burn_help" || fail "burn --help does not describe $opt"
done
for opt in --drive --speed --test-write --finalize --verify --eject --yes --cache-size --log; do
  grep -qE -- "^  $opt( |$)" <<<"$image_help" || fail "burn-image --help does not describe $opt"
done

# --- --eject opens the tray after a successful burn (and only then)
load DVD+R
"$SKARVO" vdrive fault "$DRIVE" writeerror --lba 0 >/dev/null
"$SKARVO" burn --drive "$DRIVE" --eject "$T/src" >/dev/null 2>&1 && fail "a burn with a write error succeeded"
[ "$(setting tray)" = closed ] || fail "--eject opened the tray after a failed burn"
"$SKARVO" vdrive fault "$DRIVE" --clear >/dev/null
load DVD+R
"$SKARVO" burn --drive "$DRIVE" --eject "$T/src" >/dev/null 2>"$T/err.txt" || fail "--eject: $(cat "$T/err.txt")"
[ "$(setting tray)" = open ] || fail "--eject: the tray is $(setting tray)"

# --- no disc (the tray is open)
expect_fail "no disc" "There is no disc in the drive $DRIVE." -- "$SKARVO" burn --drive "$DRIVE" "$T/src"
expect_fail "no source" "no SOURCE given" -- "$SKARVO" burn --drive "$DRIVE"
expect_fail "bad session number" "--import-session takes" -- \
  "$SKARVO" burn --drive "$DRIVE" --import-session 0 "$T/src"
finish
