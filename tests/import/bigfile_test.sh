#!/usr/bin/env bash
# A file of more than 4 GiB (sparse, with data at its start, across the
# first extent's end and at its end) written by `skarvo build-iso` in several
# extents: xorriso, bsdtar (Joliet and primary tree), 7z, our own check, ls
# and extract, and the Linux kernel in a QEMU guest read it whole.
source "$(dirname "$0")/../integration/common.sh"
for tool in xorriso bsdtar 7z python3; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
B=$T_DISK
mkdir -p "$B/src"
big=$B/src/big.bin
size=$((4 * 1024 * 1024 * 1024 + 3 * 1024 * 1024 + 123))
truncate -s $size "$big"
mark() { printf '%s' "$2" | dd of="$big" bs=1 seek="$1" conv=notrunc status=none; }
mark 0 "start of the file"
mark $((4294965248 - 9)) "across the first extent's end"
mark $((size - 11)) "end of file"
echo small >"$B/src/small.txt"
want=$(md5sum <"$big" | cut -d' ' -f1)

"$SKARVO" build-iso -o "$B/big.iso" "$B/src" >"$T/build.log" 2>&1 || { fail "build-iso: $(tail -3 "$T/build.log")"; finish; }
"$SKARVO" check "$B/big.iso" >"$T/check.txt" 2>&1 && pass "skarvo check" || fail "skarvo check: $(head -8 "$T/check.txt")"

# same NAME COMMAND...: the command writes the big file to stdout.
same() {
  local name=$1 got
  shift
  got=$("$@" 2>/dev/null | md5sum | cut -d' ' -f1)
  [ "$got" = "$want" ] && pass "$name reads the file whole" || fail "$name: md5 $got, expected $want"
}
xorriso -abort_on NEVER -indev "stdio:$B/big.iso" -osirrox on -extract /big.bin "$B/x.bin" >/dev/null 2>&1
same "xorriso" cat "$B/x.bin"
rm -f "$B/x.bin"
same "bsdtar (Joliet)" bsdtar --options 'iso9660:!rockridge' -xOf "$B/big.iso" big.bin
same "bsdtar (primary tree)" bsdtar --options 'iso9660:!rockridge,iso9660:!joliet' -xOf "$B/big.iso" BIG.BIN
same "7z" 7z x -so "$B/big.iso" big.bin
"$SKARVO" ls --image "$B/big.iso" >"$T/ls.txt" && grep -q " $size .* /big.bin  \[2 extents\]$" "$T/ls.txt" &&
  pass "skarvo ls shows the whole size" || fail "skarvo ls: $(cat "$T/ls.txt")"
"$SKARVO" extract --image "$B/big.iso" -C "$B/out" /big.bin >/dev/null && same "skarvo extract" cat "$B/out/big.bin"
rm -rf "$B/out"

# A session appended to a disc whose first session xorriso made with the
# file in several extents: the new session keeps it whole, at its old place.
export SKARVO_VDRIVES=$T/vdrives SKARVO_VDRIVE_CLOCK=0 SKARVO_TIME_SCALE=0.01
"$SKARVO" vdrive add w --model dvd-writer >/dev/null
"$SKARVO" vdrive insert w --media DVD+R >/dev/null
rm -rf "$B/x.iso"
xorriso -outdev "stdio:$B/x.iso" -joliet on -map "$big" /big.bin >/dev/null 2>&1 || fail "xorriso cannot write the file"
"$SKARVO" vdrive append-session w "$B/x.iso" >/dev/null || fail "append-session"
rm -f "$B/x.iso"
mkdir -p "$B/s2"
echo new >"$B/s2/new.txt"
"$SKARVO" burn --drive w --yes --import-session -1 "$B/s2/" >"$T/burn.log" 2>&1 || fail "burn: $(tail -3 "$T/burn.log")"
grep -qi "left out" "$T/burn.log" && fail "the burn left files out: $(grep -i 'left out' "$T/burn.log")"
"$SKARVO" ls --drive w --session 2 >"$T/ls2.txt" 2>&1
grep -q " $size .* /big.bin  \[2 extents\]$" "$T/ls2.txt" && grep -q ' /new.txt$' "$T/ls2.txt" &&
  pass "a peer's file in several extents is kept by an appended session" || fail "appended session: $(cat "$T/ls2.txt")"
"$SKARVO" extract --drive w --session 2 -C "$B/out" /big.bin >/dev/null && same "extract from the appended session" cat "$B/out/big.bin"
rm -rf "$B/out"
s2=$("$SKARVO" info --drive w | awk '$1 == 2 && NF >= 4 { print $2 }')
"$SKARVO" vdrive export w "$B/d.iso" >/dev/null
"$SKARVO" check --session-start "$s2" "$B/d.iso" >"$T/check.txt" 2>&1 && pass "skarvo check of the appended session" ||
  fail "skarvo check of the appended session: $(head -8 "$T/check.txt")"
rm -f "$B/d.iso"

# Three sessions made by xorriso, the file in several extents in the first
# and carried by the two after it, then a fourth session burned here: every
# file of the third session is in the fourth, the big one whole.
"$SKARVO" vdrive insert w --media DVD+R >/dev/null
mkdir -p "$B/p2" "$B/p3" "$B/s4"
echo "second session" >"$B/p2/two.txt"
echo "third session" >"$B/p3/three.txt"
mkdir -p "$B/p3/sub" && echo deep >"$B/p3/sub/deep.txt"
echo "fourth session" >"$B/s4/four.txt"
nwa() { "$SKARVO" info --drive w | sed -n 's/^Next Session: starts at sector \([0-9]*\).*/\1/p'; }
rm -f "$B/x.iso"
xorriso -as mkisofs -quiet -J -iso-level 3 -o "$B/x.iso" "$big" >/dev/null 2>&1 &&
  "$SKARVO" vdrive append-session w "$B/x.iso" >/dev/null || fail "xorriso session 1"
last=0
for k in 2 3; do
  at=$(nwa)
  # The next session is made against the disc so far (the sessions before
  # it, each at its place, in one sparse file), from its last session.
  xorriso -as mkisofs -quiet -J -iso-level 3 -C "$last,$at" -M "$B/x.iso" -o "$B/n.iso" "$B/p$k" >/dev/null 2>&1 &&
    "$SKARVO" vdrive append-session w "$B/n.iso" --at "$at" >/dev/null &&
    dd if="$B/n.iso" of="$B/x.iso" bs=2048 seek="$at" conv=notrunc,sparse status=none || fail "xorriso session $k"
  last=$at
done
rm -f "$B/x.iso" "$B/n.iso"
"$SKARVO" burn --drive w --yes --import-session -1 "$B/s4/" >"$T/burn.log" 2>&1 || fail "burn: $(tail -3 "$T/burn.log")"
grep -qi "left out" "$T/burn.log" && fail "the fourth session left files out: $(grep -i 'left out' "$T/burn.log")"
"$SKARVO" ls --drive w --session 4 -R >"$T/ls4.txt" 2>&1
kept=1
for f in two.txt three.txt sub/deep.txt four.txt; do grep -q " /$f\$" "$T/ls4.txt" || kept=0; done
[ $kept = 1 ] && grep -q " $size .* /big.bin  \[2 extents\]$" "$T/ls4.txt" &&
  pass "three sessions of xorriso with a file in several extents are kept by a fourth" ||
  fail "fourth session: $(cat "$T/ls4.txt")"
"$SKARVO" extract --drive w --session 4 -C "$B/out" / >/dev/null && same "extract from the fourth session" cat "$B/out/big.bin"
cmp -s "$B/out/two.txt" "$B/p2/two.txt" && cmp -s "$B/out/three.txt" "$B/p3/three.txt" &&
  cmp -s "$B/out/sub/deep.txt" "$B/p3/sub/deep.txt" && cmp -s "$B/out/four.txt" "$B/s4/four.txt" &&
  pass "the small files of every session come back" || fail "small files: $(ls -R "$B/out")"
rm -rf "$B/out"
s4=$("$SKARVO" info --drive w | awk '$1 == 4 && NF >= 4 { print $2 }')
"$SKARVO" vdrive export w "$B/d.iso" >/dev/null
"$SKARVO" check --session-start "$s4" "$B/d.iso" >"$T/check.txt" 2>&1 && pass "skarvo check of the fourth session" ||
  fail "skarvo check of the fourth session: $(head -8 "$T/check.txt")"
xorriso -abort_on NEVER -load sbsector "$s4" -indev "stdio:$B/d.iso" -osirrox on -extract /big.bin "$B/x.bin" \
  >/dev/null 2>&1
same "xorriso, fourth session," cat "$B/x.bin"
rm -f "$B/d.iso" "$B/x.bin"

# The Linux kernel's isofs in a QEMU guest: the size, and the bytes around
# each extent's end and at the end of the file.
guest=$(dirname "$0")/../assets/qemu/linux-guest.sh
if ! command -v qemu-system-x86_64 >/dev/null || ! command -v busybox >/dev/null; then
  echo "note: no QEMU guest here: the kernel's reading is not checked"
else
  # The guest runs one static program: a shell started by a small one.
  printf '#include <unistd.h>\nint main(int c, char **v) { v[0] = "sh"; return execv("/bin/sh", v); }\n' >"$T/sh.c"
  cc -static -o "$T/gsh" "$T/sh.c" 2>"$T/cc.log" || echo "note: no static C library: $(tail -1 "$T/cc.log")"
  pieces='for s in 0 4095 4096 4099; do dd if=$F bs=1M skip=$s count=1 2>/dev/null | md5sum; done'
  host=$(F=$big sh -c "$pieces")
  rc=3
  [ -x "$T/gsh" ] && rc=0 && GUEST_MODULES=isofs "$guest" --timeout 300 "$B/big.iso" "$T/gsh" -c \
    "mkdir -p /mnt && mount -t iso9660 -o ro /dev/sr0 /mnt && stat -c '%s %n' /mnt/big.bin && F=/mnt/big.bin && $pieces" \
    >"$T/guest.log" 2>&1 || rc=$?
  if [ "$rc" -eq 3 ]; then
    echo "note: this machine cannot run the guest: $(tail -1 "$T/guest.log")"
  elif grep -q "^$size /mnt/big.bin" "$T/guest.log" && [ "$(grep -E '^[0-9a-f]{32} ' "$T/guest.log")" = "$host" ]; then
    pass "the Linux kernel reads the file whole"
  else
    fail "the Linux kernel: exit $rc: $(grep -v '^\[' "$T/guest.log" | tail -8)"
  fi
fi
finish
