#!/usr/bin/env bash
# Linux peers' Rock Ridge discs (genisoimage -R, xorriso -as mkisofs -R) on a
# CD-R of the virtual recorder, each with a session appended by `skarvo burn
# --import-session -1`: the new session shows every old file with its whole
# name, mode, link count, time and link target, a folder deeper than eight
# levels where it was, and the new files. Read by xorriso and bsdtar; with
# "qemu" as argument, mounted by the Linux kernel's isofs in a QEMU guest.
source "$(dirname "$0")/common.sh"
for tool in genisoimage xorriso bsdtar python3 busybox; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
qemu=false
[ "${1:-}" = qemu ] && qemu=true
export SKARVO_VDRIVES=$T/vdrives SKARVO_VDRIVE_CLOCK=0 SKARVO_TIME_SCALE=0.01
"$SKARVO" vdrive add w --model dvd-writer >/dev/null

# The old session's tree, and what the new session adds (with the modes the
# default rational modes give, so that the union is what a reader shows).
O=$T/old N=$T/new
long=$(printf 'L%.0s' $(seq 1 200))
deep=a/b/c/d/e/f/g/h/i/j
mkdir -p "$O/$deep" "$N/added"
echo deep >"$O/$deep/deep.txt"
echo long >"$O/$long.txt"
echo secret >"$O/secret" && chmod 600 "$O/secret"
printf '#!/bin/sh\n' >"$O/run.sh" && chmod 755 "$O/run.sh"
echo hard >"$O/hard1" && ln "$O/hard1" "$O/hard2"
ln -s run.sh "$O/rel"
ln -s /etc/passwd "$O/abs"
ln -s a/b "$O/dirlink"
echo new >"$N/new.txt" && echo added >"$N/added/more.txt"
chmod 444 "$N/new.txt" "$N/added/more.txt" && chmod 555 "$N/added"
touch -d '2020-01-02 03:04:05 UTC' "$O/secret" "$O/$deep/deep.txt" "$N/new.txt"
W=$T/want
mkdir -p "$W" && cp -a "$O/." "$W/" && cp -a "$N/." "$W/"

# One line per entry below $R, sorted: mode, link count (not of folders:
# relocation and readers count them differently), modify time of files,
# type, content digest, name and link target. Busybox on both sides.
list='cd "$R" && find . ! -name . | sort | while IFS= read -r f; do if [ -L "$f" ] || [ -d "$f" ]; then s=-; t=-; else s=$(md5sum <"$f" | cut -c1-32); t=$(stat -c "%h %Y" "$f"); fi; echo "L: $(stat -c "%a %F" "$f") $t $s $(stat -c %N "$f")"; done'
# genisoimage moves the deep folder into an "rr_moved" folder, which the
# Linux kernel shows (empty) on the peer's disc; the new session keeps it.
cp -a "$W" "$T/want-genisoimage" && mkdir -m 555 "$T/want-genisoimage/rr_moved"
mv "$W" "$T/want-xorriso"
# The listings without link counts, for extracted copies (xorriso does not
# make hard links again by default).
flat() { sed 's/^\(L: [0-7]* [a-z ]*\) [0-9]* \([0-9]*\)/\1 \2/' "$1"; }
for peer in genisoimage xorriso; do
  R=$T/want-$peer busybox sh -c "$list" >"$T/want-$peer.txt"
  flat "$T/want-$peer.txt" >"$T/want-$peer-flat.txt"
done

start_of() { "$SKARVO" info --drive w | awk -v n="$1" '$1 == n && NF >= 4 { print $2 }'; }

genisoimage -quiet -R -o "$T/genisoimage.iso" "$O" 2>"$T/peer.log" || fail "genisoimage: $(tail -3 "$T/peer.log")"
xorriso -as mkisofs -quiet -R --hardlinks -o "$T/xorriso.iso" "$O" 2>"$T/peer.log" ||
  fail "xorriso -as mkisofs: $(tail -3 "$T/peer.log")"
# bsdtar reads an image in one forward sweep and gives up on the whole image
# at a continuation area that lies after the file's data, which an old
# file's long name in a later session always has: it reads a disc without
# such a name.
xorriso -as mkisofs -quiet -R --hardlinks -m "$long.txt" -o "$T/short.iso" "$O" 2>"$T/peer.log" ||
  fail "xorriso -as mkisofs -m: $(tail -3 "$T/peer.log")"
grep -v "$long" "$T/want-xorriso.txt" >"$T/want-short.txt"

peers="genisoimage xorriso"
$qemu || peers="$peers short"
for peer in $peers; do
  [ -s "$T/$peer.iso" ] || continue
  "$SKARVO" vdrive insert w --media CD-R --image "$T/$peer.iso" >/dev/null
  if ! "$SKARVO" burn --drive w --yes --import-session -1 "$N/" >"$T/burn.log" 2>&1; then
    fail "$peer: burn --import-session -1: $(tail -5 "$T/burn.log")"
    continue
  fi
  "$SKARVO" vdrive export w "$T/disc.iso" >/dev/null
  want=$T/want-$peer.txt
  s2=$(start_of 2)
  [ -n "$s2" ] && [ "$s2" -gt 0 ] || { fail "$peer: no second session: $("$SKARVO" info --drive w)"; continue; }

  if $qemu; then
    guest_compare "$T/disc.iso" ",sbsector=$s2" "$list" "$want" "$T/got.txt" \
      "$peer: the Linux kernel mounts the appended session as the old tree and the new files"
    continue
  fi

  rm -rf "$T/x" "$T/b"
  if [ $peer = short ]; then
    at16 "$T/disc.iso" "$s2" "$T/b.iso"
    mkdir -p "$T/b"
    if bsdtar -xpf "$T/b.iso" -C "$T/b" 2>"$T/b.log"; then
      R=$T/b busybox sh -c "$list" >"$T/got.txt"
      diff "$want" "$T/got.txt" >"$T/diff.txt" && pass "bsdtar reads the appended session, hard links too" ||
        fail "bsdtar's tree differs: $(head -20 "$T/diff.txt")"
    else
      fail "bsdtar: $(head -3 "$T/b.log")"
    fi
    continue
  fi
  if timeout 120 xorriso -abort_on NEVER -return_with SORRY 32 -load sbsector "$s2" -indev "stdio:$T/disc.iso" \
    -osirrox on -extract / "$T/x" >"$T/x.log" 2>&1; then
    R=$T/x busybox sh -c "$list" >"$T/got.txt"
    flat "$T/got.txt" >"$T/got-flat.txt"
    diff "$T/want-$peer-flat.txt" "$T/got-flat.txt" >"$T/diff.txt" && pass "$peer: xorriso reads the appended session" ||
      fail "$peer: xorriso's tree differs: $(head -20 "$T/diff.txt")"
  else
    fail "$peer: xorriso extract: $(tail -3 "$T/x.log")"
  fi
  "$SKARVO" check --session-start "$s2" "$T/disc.iso" >"$T/check.txt" 2>&1 && pass "$peer: skarvo check" ||
    fail "$peer: skarvo check: $(head -8 "$T/check.txt")"
done
finish
