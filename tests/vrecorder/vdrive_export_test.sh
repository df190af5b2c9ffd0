#!/usr/bin/env bash
# `skarvo vdrive export` to files, pipes and devices: the data arrives whole,
# and a failure never removes or damages a target the command did not create.
set -u
skarvo=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SKARVO_VDRIVES=$work/drives
fail() { echo "FAIL: $*"; exit 1; }

# 1 MiB recorded, with a hole in the middle that a sparse copy leaves out.
{ head -c 409600 /dev/urandom; head -c 204800 /dev/zero; head -c 434176 /dev/urandom; } >"$work/src.img"
"$skarvo" vdrive add w --model dvd-writer || fail "add"
"$skarvo" vdrive insert w --media DVD+RW --formatted --image "$work/src.img" || fail "insert"
want=$(sha256sum <"$work/src.img" | cut -d' ' -f1)

# A new file, then over an existing one (replaced whole, its mode kept).
mkdir "$work/out"
"$skarvo" vdrive export w "$work/out/a.img" || fail "export to a new file"
cmp "$work/src.img" "$work/out/a.img" || fail "new file differs"
head -c 3000000 /dev/urandom >"$work/out/b.img" && chmod 640 "$work/out/b.img"
"$skarvo" vdrive export w "$work/out/b.img" || fail "export over a file"
cmp "$work/src.img" "$work/out/b.img" || fail "replaced file differs (longer old content left?)"
[ "$(stat -c %a "$work/out/b.img")" = 640 ] || fail "mode of the replaced file not kept"
ln -s b.img "$work/out/link" && "$skarvo" vdrive export w "$work/out/link" || fail "export through a link"
[ -L "$work/out/link" ] || fail "the link was replaced by a file"

# Pipes are written sequentially, without seeking.
got=$("$skarvo" vdrive export w /dev/fd/1 | sha256sum | cut -d' ' -f1)
[ "$got" = "$want" ] || fail "export to /dev/fd/1 through a pipe"
got=$("$skarvo" vdrive export w /dev/stdout | sha256sum | cut -d' ' -f1)
[ "$got" = "$want" ] || fail "export to /dev/stdout through a pipe"
mkfifo "$work/fifo"
cat "$work/fifo" >"$work/from-fifo" &
"$skarvo" vdrive export w "$work/fifo" || fail "export to a FIFO"
wait
cmp "$work/src.img" "$work/from-fifo" || fail "FIFO data differs"
"$skarvo" vdrive export w /dev/null || fail "export to /dev/null"
[ -c /dev/null ] || fail "/dev/null is gone"

# Failures leave every target as it was.
# A FIFO whose reader stops early.
head -c 1000 "$work/fifo" >/dev/null &
"$skarvo" vdrive export w "$work/fifo" 2>/dev/null && fail "export to a closed FIFO succeeded"
wait
[ -p "$work/fifo" ] || fail "the FIFO was removed after a failed export"
# A device that refuses every byte: a private copy of /dev/full (needs root).
if mknod "$work/full" c 1 7 2>/dev/null; then
  "$skarvo" vdrive export w "$work/full" 2>"$work/err" && fail "export to a full device succeeded"
  grep -q "No space left" "$work/err" || fail "full device message: $(cat "$work/err")"
  [ -c "$work/full" ] || fail "the device node was removed after a failed export"
else
  echo "SKIP: device-node case needs root (mknod)"
fi
# A file that cannot grow past 200 KiB: the previous image stays intact and no
# partial file is left beside it.
cp "$work/out/b.img" "$work/out/keep.img"
( trap '' XFSZ; ulimit -f 200; exec "$skarvo" vdrive export w "$work/out/b.img" ) 2>"$work/err" \
  && fail "export past the file-size limit succeeded"
grep -q "cannot write" "$work/err" || fail "size-limit message: $(cat "$work/err")"
cmp "$work/out/keep.img" "$work/out/b.img" || fail "the previous file was damaged by a failed export"
[ "$(ls -A "$work/out" | sort | tr '\n' ' ')" = "a.img b.img keep.img link " ] || fail "left over: $(ls -A "$work/out")"
# A folder is not a file to write.
mkdir "$work/dir"
"$skarvo" vdrive export w "$work/dir" 2>/dev/null && fail "export onto a folder succeeded"
[ -d "$work/dir" ] || fail "the folder was removed"
# The drive's own medium is never its target.
"$skarvo" vdrive export w "$SKARVO_VDRIVES/w/data.img" 2>"$work/err" && fail "export onto the medium succeeded"
cmp -n 1048576 "$work/src.img" "$SKARVO_VDRIVES/w/data.img" || fail "the medium was damaged"
echo PASS
