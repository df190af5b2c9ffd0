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

for c in list add remove insert eject append-session export fault set log; do
  "$skarvo" vdrive "$c" --help | grep -q "Usage: skarvo vdrive $c" || fail "--help of $c"
done
"$skarvo" vdrive --help | grep -q "export NAME FILE" || fail "vdrive --help"
# Each subcommand's usage line is in the recorder's README, and named in the summary of `skarvo --help`.
readme=$(dirname "$0")/../../vrecorder/README.md
for c in list add remove insert eject append-session export fault set log; do
  usage=$("$skarvo" vdrive "$c" --help | head -1 | sed 's/^Usage: //')
  grep -qF -- "$usage" "$readme" || fail "README lacks: $usage"
  "$skarvo" --help 2>&1 | grep "vdrive" | grep -qw "$c" || fail "skarvo --help summary lacks $c"
done

# Faults, settings.
"$skarvo" vdrive fault w busy --count 3 --op 2A || fail "fault"
"$skarvo" vdrive fault w | grep -qx "busy count=3 op=2A" || fail "fault list"
"$skarvo" vdrive fault w writeerror 2>/dev/null && fail "writeerror without lba accepted"
"$skarvo" vdrive fault w --clear || fail "fault clear"
[ -z "$("$skarvo" vdrive fault w)" ] || fail "faults not cleared"
"$skarvo" vdrive set w product CD-W512EB || fail "set"
"$skarvo" vdrive list | grep -q "SKARVO CD-W512EB 1.00" || fail "product not set"
"$skarvo" vdrive set w product ABCDEFGHIJKLMNOPQ 2>/dev/null && fail "over-long product accepted"

# A refused setting names the key or value, never a file of ours, and changes nothing.
cp "$SKARVO_VDRIVES/w/settings" "$work/settings.before"
refused() {  # KEY VALUE WORD...: the set is refused and the message holds each WORD
  local key=$1 value=$2
  shift 2
  "$skarvo" vdrive set w "$key" "$value" 2>"$work/err" && fail "set $key $value accepted"
  for word in "$@"; do
    grep -qF -- "$word" "$work/err" || fail "set $key $value: no \"$word\" in: $(cat "$work/err")"
  done
  if grep -qE 'settings|\.check|\.tmp|/' "$work/err"; then fail "set $key $value names a file: $(cat "$work/err")"; fi
  cmp -s "$SKARVO_VDRIVES/w/settings" "$work/settings.before" || fail "set $key $value changed the settings"
}
refused colour blue 'unknown setting "colour"'
refused write_speeds.FLOPPY 100 'unknown setting "write_speeds.FLOPPY"'
refused clock fast '"fast"' clock
refused clock -1 '"-1"' clock
refused underrun_protection yes '"yes"' underrun_protection
refused buffer_kb -1 '"-1"' buffer_kb
refused read_speed_cd 70000 '"70000"' read_speed_cd
refused model floppy '"floppy"' model
refused reads 'CD-R CD-X' '"CD-R CD-X"' reads
refused address 3:0:0 address
refused product ABCDEFGHIJKLMNOPQ '"ABCDEFGHIJKLMNOPQ"' product

# A drive's name begins with a letter: digits would read as an index.
for bad in 1 9x -a .a _a; do
  "$skarvo" vdrive add "$bad" --model dvd-writer 2>"$work/err" >/dev/null && fail "name $bad accepted"
  grep -q "begins with a letter" "$work/err" || fail "name $bad: $(cat "$work/err")"
  [ -e "$SKARVO_VDRIVES/$bad" ] && fail "folder $bad created"
done
# A folder left from before is shown as unused rather than taken for an index.
mkdir "$SKARVO_VDRIVES/7" && cp "$work/settings.before" "$SKARVO_VDRIVES/7/settings"
"$skarvo" vdrive list 2>"$work/err" | grep -q " 7 " && fail "folder 7 listed as a drive"
grep -q 'folder "7" is not used' "$work/err" || fail "folder 7 not reported: $(cat "$work/err")"
rm -r "$SKARVO_VDRIVES/7"

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
