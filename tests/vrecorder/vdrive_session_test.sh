#!/usr/bin/env bash
# `skarvo vdrive` for burn and import tests: a second session made by a peer
# loaded with append-session, the locked tray, a refused insert that keeps the
# disc, and the corrupt fault.
set -u
skarvo=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SKARVO_VDRIVES=$work/drives
fail() { echo "FAIL: $*"; exit 1; }

"$skarvo" vdrive add w --model dvd-writer || fail "add"
mkdir -p "$work/a" "$work/b"
echo first >"$work/a/one.txt"
echo second >"$work/b/two.txt"
genisoimage -quiet -J -r -o "$work/s1.iso" "$work/a" 2>/dev/null || fail "genisoimage s1"
"$skarvo" vdrive insert w --media CD-R --image "$work/s1.iso" || fail "insert s1"
n1=$(( $(stat -c %s "$work/s1.iso") / 2048 ))
# The next session starts after the first track (its two run-out blocks, 300 blocks at
# least), the lead-out, lead-in and pre-gap.
track=$(( n1 + 2 > 300 ? n1 + 2 : 300 ))
next=$(( track + 11400 ))
genisoimage -quiet -J -r -C 0,$next -M "$work/s1.iso" -o "$work/s2.part" "$work/b" 2>/dev/null || fail "genisoimage s2"
"$skarvo" vdrive append-session w "$work/s2.part" --at $((next - 1)) 2>"$work/err" && fail "session before the NWA accepted"
grep -q "next writable address $next" "$work/err" || fail "no NWA in: $(cat "$work/err")"
"$skarvo" vdrive append-session w "$work/s2.part" --at $next || fail "append-session"
"$skarvo" vdrive list | grep -Eq '^0:1:0 +w .* CD-R +appendable .* 2$' || fail "two sessions not listed: $("$skarvo" vdrive list)"
"$skarvo" vdrive export w "$work/disc.img" || fail "export"
if command -v isoinfo >/dev/null; then
  isoinfo -T $next -J -l -i "$work/disc.img" >"$work/ls" 2>&1 || fail "isoinfo: $(cat "$work/ls")"
  grep -q "one.txt" "$work/ls" && grep -q "two.txt" "$work/ls" || fail "second session not read: $(cat "$work/ls")"
else
  echo "isoinfo not installed: the exported session is not read back"
fi

# A refused insert leaves the loaded disc and its data as they were.
cp "$work/disc.img" "$work/before.img"
head -c 4096000 /dev/urandom >"$work/big.img"
"$skarvo" vdrive insert w --media CD-R --capacity 100 --image "$work/big.img" 2>/dev/null && fail "too large image accepted"
"$skarvo" vdrive export w "$work/after.img" || fail "export after a refused insert"
cmp -s "$work/before.img" "$work/after.img" || fail "a refused insert changed the disc"

# A locked tray: eject refused unless --force.
"$skarvo" vdrive set w prevent 1 || fail "lock"
"$skarvo" vdrive eject w 2>"$work/err" && fail "eject of a locked tray succeeded"
grep -q "locked" "$work/err" || fail "eject message: $(cat "$work/err")"
"$skarvo" vdrive list | grep -q " CD-R " || fail "the disc left a locked tray"
"$skarvo" vdrive eject w --force || fail "forced eject"
"$skarvo" vdrive list | grep -Eq '^0:1:0 +w .* none +tray open' || fail "forced eject not shown"
"$skarvo" vdrive append-session w "$work/s2.part" 2>"$work/err" && fail "append-session without a disc accepted"

# The corrupt fault needs an address and is listed like the others.
"$skarvo" vdrive fault w corrupt 2>/dev/null && fail "corrupt without --lba accepted"
"$skarvo" vdrive fault w corrupt --lba 40 --count 2 || fail "corrupt fault"
"$skarvo" vdrive fault w | grep -qx "corrupt count=2 lba=40" || fail "corrupt fault list: $("$skarvo" vdrive fault w)"
"$skarvo" vdrive set w clock 0 || fail "clock 0 (as fast as the host) refused"
echo PASS
