#!/usr/bin/env bash
# `skarvo extract` against what is already in the folder: files that exist
# (refused by default, kept or overwritten on request), two records of one
# name on a hostile disc, a planted symbolic link where a folder of the disc
# goes, a folder that cannot be made; the exit status when anything failed;
# and names without an extension surviving a burn and extract round trip.
source "$(dirname "$0")/../integration/common.sh"
for tool in genisoimage python3; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

src=$T/src
mkdir -p "$src/D"
printf 'one\n' >"$src/a1.txt"
printf 'two\n' >"$src/a2.txt"
printf 'inner\n' >"$src/D/inner.txt"
printf 'no extension\n' >"$src/noext"
printf 'dots\n' >"$src/v1.2"
genisoimage -quiet -J -o "$T/g.iso" "$src"

# run NAME EXPECTED_STATUS command...: the status, and stderr in $T/err.txt.
run() {
  local name=$1 want=$2 rc=0
  shift 2
  "$@" >/dev/null 2>"$T/err.txt" || rc=$?
  [ "$rc" -eq "$want" ] || { fail "$name: exit $rc, expected $want: $(cat "$T/err.txt")"; return 1; }
}

# A file that exists: kept and named, exit 1; --keep-existing: kept, exit 0;
# --overwrite: replaced, exit 0.
mkdir -p "$T/o1"
printf 'mine\n' >"$T/o1/a1.txt"
if run "existing file" 1 "$SKARVO" extract --image "$T/g.iso" -C "$T/o1" /; then
  grep -q '/a1.txt' "$T/err.txt" && [ "$(cat "$T/o1/a1.txt")" = mine ] && cmp -s "$T/o1/a2.txt" "$src/a2.txt" &&
    pass "an existing file is not overwritten and is named" || fail "existing file: $(cat "$T/err.txt")"
fi
run "--keep-existing" 0 "$SKARVO" extract --image "$T/g.iso" -C "$T/o1" --keep-existing / &&
  [ "$(cat "$T/o1/a1.txt")" = mine ] && grep -q '/a1.txt' "$T/err.txt" && pass "--keep-existing keeps and names it"
run "--overwrite" 0 "$SKARVO" extract --image "$T/g.iso" -C "$T/o1" --overwrite / &&
  cmp -s "$T/o1/a1.txt" "$src/a1.txt" && pass "--overwrite replaces it"

# Two records named alike on a hostile disc: the first is copied, the second
# named, even with --overwrite.
cp "$T/g.iso" "$T/twice.iso"
python3 - "$T/twice.iso" <<'PY'
import sys
p = sys.argv[1]
d = open(p, 'rb').read()
d = d.replace('a2.txt'.encode('utf-16-be'), 'a1.txt'.encode('utf-16-be'))
open(p, 'wb').write(d)
PY
if run "two records of one name" 1 "$SKARVO" extract --image "$T/twice.iso" -C "$T/o2" --overwrite /; then
  cmp -s "$T/o2/a1.txt" "$src/a1.txt" && grep -q 'twice' "$T/err.txt" &&
    pass "two records of one name: the first is kept, the second named" ||
    fail "two records of one name: $(cat "$T/o2/a1.txt") $(cat "$T/err.txt")"
fi

# A symbolic link planted where the disc's folder D goes is never entered.
mkdir -p "$T/o3" "$T/outside"
ln -s "$T/outside" "$T/o3/D"
if run "planted link" 1 "$SKARVO" extract --image "$T/g.iso" -C "$T/o3" /; then
  [ -z "$(ls -A "$T/outside")" ] && grep -q '/D' "$T/err.txt" && pass "a planted link is not followed" ||
    fail "planted link: $(ls -A "$T/outside") $(cat "$T/err.txt")"
fi

# A folder that cannot be made (a file has its name): named, exit 1.
mkdir -p "$T/o4"
: >"$T/o4/D"
run "folder blocked by a file" 1 "$SKARVO" extract --image "$T/g.iso" -C "$T/o4" --overwrite / &&
  grep -q '/D' "$T/err.txt" && cmp -s "$T/o4/a1.txt" "$src/a1.txt" && pass "a failed folder gives exit 1"

# Names without an extension survive our own burn and extract.
"$SKARVO" build-iso -o "$T/own.iso" "$src" >/dev/null 2>&1 || fail "build-iso"
run "own image" 0 "$SKARVO" extract --image "$T/own.iso" -C "$T/o5" / &&
  diff -r "$src" "$T/o5" >"$T/diff.txt" && pass "burn and extract keep names without an extension" ||
  fail "round trip: $(cat "$T/diff.txt")"
finish
