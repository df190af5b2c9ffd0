#!/usr/bin/env bash
# `skarvo check` from the command line: exit status 0 on sound images (ours
# and those of peer tools), 1 on a damaged one, 2 on usage errors and files
# that cannot be read.
set -uo pipefail
: "${SKARVO:?SKARVO must name the skarvo binary}"
T=$(mktemp -d /tmp/skarvo-checkcli-XXXXXX)
trap 'rm -rf "$T"' EXIT
fails=0
fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }
pass() { echo "ok: $*"; }
# expect RC NAME -- command...
expect() {
  local want=$1 name=$2
  shift 3
  local rc=0
  "$@" >"$T/out" 2>"$T/err" || rc=$?
  if [ "$rc" -eq "$want" ]; then pass "$name"; else fail "$name: exit $rc, expected $want: $(cat "$T/out" "$T/err" | tail -5)"; fi
}

mkdir -p "$T/src/Docs/Sub" "$T/src/deep/a/b/c/d/e/f/g/h"
echo readme >"$T/src/readme.txt"
head -c 70000 /dev/urandom >"$T/src/Docs/data.bin"
echo x >"$T/src/Docs/Sub/Long name with spaces.text"
echo y >"$T/src/deep/a/b/c/d/e/f/g/h/z.txt"

"$SKARVO" build-iso -o "$T/ours.iso" --volume CHECKCLI "$T/src" >/dev/null 2>&1 || fail "build-iso"
expect 0 "our image is sound" -- "$SKARVO" check "$T/ours.iso"
grep -q "^check: 0 errors, .*volume CHECKCLI" "$T/out" || fail "summary line: $(tail -1 "$T/out")"

# One byte of the primary descriptor's big-endian volume space size.
cp "$T/ours.iso" "$T/bad.iso"
printf '\x7f' | dd of="$T/bad.iso" bs=1 seek=$((16 * 2048 + 87)) conv=notrunc 2>/dev/null
expect 1 "a damaged image is an error" -- "$SKARVO" check "$T/bad.iso"
grep -q "^ERROR primary volume descriptor (sector 16): both-endian volume space size" "$T/out" ||
  fail "error line: $(head -3 "$T/out")"

# Errors are listed before warnings; --quiet leaves the warnings out.
expect 1 "errors and warnings" -- "$SKARVO" check "$T/bad.iso"
if grep -q "^WARNING" "$T/out"; then
  first_warning=$(grep -n "^WARNING" "$T/out" | head -1 | cut -d: -f1)
  last_error=$(grep -n "^ERROR" "$T/out" | tail -1 | cut -d: -f1)
  [ "$last_error" -lt "$first_warning" ] || fail "a warning is listed before an error"
fi
expect 1 "--quiet" -- "$SKARVO" check --quiet "$T/bad.iso"
grep -q "^WARNING" "$T/out" && fail "--quiet printed warnings"

expect 2 "missing file" -- "$SKARVO" check "$T/none.iso"
expect 2 "a folder" -- "$SKARVO" check "$T/src"
expect 2 "no image" -- "$SKARVO" check
expect 2 "unknown option" -- "$SKARVO" check --bogus "$T/ours.iso"
expect 2 "bad session start" -- "$SKARVO" check --session-start x "$T/ours.iso"
expect 0 "--help" -- "$SKARVO" check --help
expect 2 "bad level" -- "$SKARVO" check --level 5 "$T/ours.iso"
expect 0 "our image holds level 1 names" -- "$SKARVO" check --level 1 "$T/ours.iso"

# A volume space size of 0: check names it, ls reads the tree anyway.
cp "$T/ours.iso" "$T/zero.iso"
printf '\0\0\0\0\0\0\0\0' | dd of="$T/zero.iso" bs=1 seek=$((16 * 2048 + 80)) conv=notrunc 2>/dev/null
expect 1 "zero volume space size" -- "$SKARVO" check "$T/zero.iso"
grep -q "volume space size is 0" "$T/out" || fail "zero size not named: $(head -3 "$T/out")"
expect 0 "ls of an image with a zero volume space size" -- "$SKARVO" ls --image "$T/zero.iso"
grep -q "readme.txt" "$T/out" || fail "ls shows no readme.txt: $(head -5 "$T/out")"
grep -q "volume space size of 0" "$T/err" || fail "ls does not name the zero size: $(cat "$T/err")"
head -c 40000 /dev/zero >"$T/zeros.iso"
expect 1 "not an ISO image" -- "$SKARVO" check "$T/zeros.iso"

# Peer tools: their images pass (warnings allowed).
if command -v genisoimage >/dev/null; then
  genisoimage -quiet -J -r -o "$T/g.iso" "$T/src" 2>/dev/null
  expect 0 "genisoimage -J -r image" -- "$SKARVO" check "$T/g.iso"
  n=$(($(stat -c %s "$T/g.iso") / 2048))
  genisoimage -quiet -J -r -C "0,$n" -M "$T/g.iso" -o "$T/g2.part" "$T/src/Docs" 2>/dev/null
  cat "$T/g.iso" "$T/g2.part" >"$T/gms.iso"
  expect 0 "genisoimage second session" -- "$SKARVO" check --session-start "$n" "$T/gms.iso"
else
  echo "skipped: genisoimage not installed"
fi
if command -v xorriso >/dev/null; then
  head -c 1474560 /dev/zero >"$T/src/boot.img"
  xorriso -as mkisofs -quiet -J -r -b boot.img -c boot.cat -o "$T/x.iso" "$T/src" 2>/dev/null
  expect 0 "xorriso -as mkisofs image with El Torito" -- "$SKARVO" check "$T/x.iso"
  grep -q "El Torito (1.44M floppy" "$T/out" || fail "xorriso boot image not seen: $(tail -1 "$T/out")"
else
  echo "skipped: xorriso not installed"
fi

if [ "$fails" -ne 0 ]; then
  echo "$fails failure(s)" >&2
  exit 1
fi
echo "all passed"
