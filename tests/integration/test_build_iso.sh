#!/usr/bin/env bash
# Images of a mixed tree, threaded and quick, with and without Joliet, each
# read back by every reader and extracted identical to the sources.
source "$(dirname "$0")/common.sh"

python3 "$HERE/gen_tree.py" mixed "$T/src"
mkdir -p "$T/src/empty/also empty"   # empty folders are left out

# The extraction must equal the sources, so compare against a copy without
# the empty folders.
cp -a "$T/src" "$T/want"
rm -rf "$T/want/empty"

for mode in threaded quick; do
  img="$T/$mode.iso"
  args=()
  [ "$mode" = quick ] && args=(--quick)
  if "$SKARVO" build-iso -o "$img" --volume MyDisc "${args[@]}" "$T/src" >"$T/out.txt" 2>"$T/err.txt"; then
    pass "build-iso $mode"
    grep -qE "100(\.0)? %" "$T/out.txt" || fail "$mode: no progress printed: $(cat "$T/out.txt")"
    [ -s "$T/err.txt" ] && fail "$mode: unexpected stderr: $(cat "$T/err.txt")"
    verify "$img" --tree "$T/want" --volume MyDisc
  else
    fail "build-iso $mode: $(cat "$T/err.txt")"
  fi
done
# Both paths lay out the same image: the file data from sector 150 on is equal.
cmp -s <(tail -c +$((150 * 2048 + 1)) "$T/threaded.iso") <(tail -c +$((150 * 2048 + 1)) "$T/quick.iso") ||
  fail "threaded and quick images differ in the file data"
[ "$(stat -c %s "$T/threaded.iso")" = "$(stat -c %s "$T/quick.iso")" ] || fail "threaded and quick sizes differ"

# Primary names only.
if "$SKARVO" build-iso -o "$T/nj.iso" --no-joliet --cache-size 2 "$T/src" >/dev/null 2>"$T/err.txt"; then
  verify "$T/nj.iso" --no-joliet --tree "$T/want"
else
  fail "--no-joliet: $(cat "$T/err.txt")"
fi

# A session under 300 sectors is padded to 300 on the threaded path only.
mkdir -p "$T/small"
echo "tiny" >"$T/small/tiny.txt"
"$SKARVO" build-iso -o "$T/small.iso" "$T/small" >/dev/null
"$SKARVO" build-iso -o "$T/small-q.iso" --quick "$T/small" >/dev/null
[ "$(stat -c %s "$T/small.iso")" = 614400 ] || fail "small threaded image is $(stat -c %s "$T/small.iso") bytes, not 614400"
[ "$(stat -c %s "$T/small-q.iso")" = $((151 * 2048)) ] || fail "small quick image is $(stat -c %s "$T/small-q.iso") bytes"
verify "$T/small.iso" --tree "$T/small"

# Save path: none puts the contents in the root, full rebuilds the source
# path, last keeps the last folder only.
"$SKARVO" build-iso -o "$T/full.iso" --save-path full "$T/small" >/dev/null
"$SKARVO" build-iso -o "$T/last.iso" --save-path last "$T/small" >/dev/null
grep -q "Directory listing of $T/small/" <<<"$(isoinfo -J -l -i "$T/full.iso")" || fail "--save-path full: $T/small not rebuilt"
grep -q "Directory listing of /small/" <<<"$(isoinfo -J -l -i "$T/last.iso")" || fail "--save-path last: no /small/"
verify "$T/full.iso"
verify "$T/last.iso"

# Several sources: a folder and single files; --replace lets the later of two
# equal names win.
mkdir -p "$T/one" "$T/two"
echo first >"$T/one/same.txt"
echo second >"$T/two/same.txt"
# Without --replace the second same.txt is left out: named, exit status 1.
rc=0
"$SKARVO" build-iso -o "$T/keep.iso" "$T/one/same.txt" "$T/two/same.txt" "$T/small" >/dev/null 2>"$T/err.txt" || rc=$?
[ "$rc" -eq 1 ] && grep -qF "left out $T/two/same.txt" "$T/err.txt" || fail "the left-out same.txt: exit $rc, $(cat "$T/err.txt")"
"$SKARVO" build-iso -o "$T/repl.iso" --replace "$T/one/same.txt" "$T/two/same.txt" >/dev/null
[ "$(isoinfo -J -i "$T/keep.iso" -x "/same.txt;1")" = first ] || fail "without --replace the first same.txt must stay"
[ "$(isoinfo -J -i "$T/repl.iso" -x "/same.txt;1")" = second ] || fail "with --replace the second same.txt must win"
grep -q "tiny.txt" <<<"$(isoinfo -J -l -i "$T/keep.iso")" || fail "folder source missing next to file sources"

# Archive only: a second run finds nothing left to archive.
# The archive attribute lives in an extended attribute: keep this tree on disk.
mkdir -p "$T_DISK/arch"
echo a >"$T_DISK/arch/a.txt"
if "$SKARVO" build-iso -o "$T/arch1.iso" --archive-only "$T_DISK/arch" >/dev/null 2>"$T/err.txt"; then
  verify "$T/arch1.iso" --tree "$T_DISK/arch"
  expect_fail "--archive-only twice" "nothing to write" -- "$SKARVO" build-iso -o "$T/arch2.iso" --archive-only "$T_DISK/arch"
  echo changed >>"$T_DISK/arch/a.txt"
  "$SKARVO" build-iso -o "$T/arch3.iso" --archive-only "$T_DISK/arch" >/dev/null || fail "--archive-only after a change"
else
  fail "--archive-only: $(cat "$T/err.txt")"
fi

grep -q -- "--cache-size MB" <<<"$("$SKARVO" build-iso --help)" || fail "--help does not describe --cache-size"
finish
