#!/usr/bin/env bash
# `skarvo vdrive` end to end: add, insert, list, fault, set, export, log, errors.
set -u
skarvo=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SKARVO_VDRIVES=$work/drives
fail() { echo "FAIL: $*"; exit 1; }

"$skarvo" vdrive add w --model dvd-writer || fail "add"
"$skarvo" vdrive insert w --media CD-R || fail "insert"
out=$("$skarvo" vdrive list) || fail "list"
echo "$out" | grep -Eq '^0:1:0 +w +dvd-writer .* CD-R +empty +359847 +0 +0$' || fail "list shows no blank CD-R: $out"
echo "$out" | grep -Eq '^0:0:0 +vd0 +dvd-writer .* CD-RW +empty' || fail "no default drive: $out"

"$skarvo" vdrive log w | grep -q "no commands" || fail "empty log"

# Errors go to stderr with a non-zero exit code.
"$skarvo" vdrive add w --model dvd-writer 2>"$work/err" && fail "duplicate add succeeded"
grep -q "already exists" "$work/err" || fail "duplicate add message"
"$skarvo" vdrive insert w --media CD-X 2>"$work/err" >/dev/null && fail "bad medium accepted"
grep -q 'unknown medium "CD-X"' "$work/err" || fail "bad medium message"
"$skarvo" vdrive insert nosuch --media CD-R 2>/dev/null && fail "unknown drive accepted"
"$skarvo" vdrive insert w --media CD-R --capacity -5 2>/dev/null && fail "bad capacity accepted"
"$skarvo" vdrive frobnicate 2>/dev/null && fail "unknown subcommand accepted"
"$skarvo" vdrive export w "$work/x.img" 2>"$work/err" && fail "export of a blank disc succeeded"
grep -q "nothing recorded" "$work/err" || fail "export message"
"$skarvo" vdrive insert w --media CD-ROM 2>"$work/err" && fail "CD-ROM without image accepted"

for c in list add remove insert eject export fault set log; do
  "$skarvo" vdrive "$c" --help | grep -q "Usage: skarvo vdrive $c" || fail "--help of $c"
done
"$skarvo" vdrive --help | grep -q "export NAME FILE" || fail "vdrive --help"

# Faults, settings.
"$skarvo" vdrive fault w busy --count 3 --op 2A || fail "fault"
"$skarvo" vdrive fault w | grep -qx "busy count=3 op=2A" || fail "fault list"
"$skarvo" vdrive fault w writeerror 2>/dev/null && fail "writeerror without lba accepted"
"$skarvo" vdrive fault w --clear || fail "fault clear"
[ -z "$("$skarvo" vdrive fault w)" ] || fail "faults not cleared"
"$skarvo" vdrive set w product CD-W512EB || fail "set"
"$skarvo" vdrive list | grep -q "SKARVO CD-W512EB 1.00" || fail "product not set"
"$skarvo" vdrive set w product ABCDEFGHIJKLMNOPQ 2>/dev/null && fail "over-long product accepted"

# An image on a recordable medium becomes its first session; export gives it back.
head -c 409600 /dev/urandom >"$work/src.img"
"$skarvo" vdrive insert w --media DVD+R --image "$work/src.img" || fail "insert image"
"$skarvo" vdrive export w "$work/out.img" --session 1 || fail "export"
cmp -n 409600 "$work/src.img" "$work/out.img" || fail "export differs"
"$skarvo" vdrive eject w || fail "eject"
"$skarvo" vdrive list | grep -Eq '^0:1:0 +w .* none +tray open' || fail "eject not shown"
"$skarvo" vdrive remove w || fail "remove"
"$skarvo" vdrive list | grep -q "^0:1:0 " && fail "removed drive listed"
echo PASS
