#!/usr/bin/env bash
# Awkward names: backslashes, names that differ only by case, 105 and 200
# characters, characters outside the BMP, colliding aliases, names made equal
# by cleaning. Every reader must accept the image, every file keeps its data,
# and every name changed or entry left out is named. Also volume labels and
# the UTC offsets of dates.
source "$(dirname "$0")/common.sh"

# hashes DIR [SKIP-PREFIX]: sorted SHA-1 of every file's contents.
hashes() {
  python3 - "$@" <<'PY'
import hashlib, os, sys
skip = sys.argv[2] if len(sys.argv) > 2 else None
out = []
for d, _, fs in os.walk(sys.argv[1]):
    for f in fs:
        if skip and f.startswith(skip):
            continue
        out.append(hashlib.sha1(open(os.path.join(d, f), "rb").read()).hexdigest())
print("\n".join(sorted(out)))
PY
}

python3 "$HERE/gen_tree.py" names "$T/src"
# The Joliet name rules, as readers without Rock Ridge see them.
for mode in threaded quick; do
  args=(--no-rock-ridge)
  [ "$mode" = quick ] && args+=(--quick)
  if ! "$SKARVO" build-iso -o "$T/$mode.iso" "${args[@]}" "$T/src" >/dev/null 2>"$T/err.txt"; then
    fail "build-iso $mode: $(cat "$T/err.txt")"
    continue
  fi
  # The 200-character names are shortened, not left out, and named.
  grep -qE "xxxxxxxxxx.*stored as \"x{104}\.txt\"" "$T/err.txt" || fail "$mode: the shortened long name was not named"
  grep -qF "stored as \"semi_colon_star_.txt\"" "$T/err.txt" || fail "$mode: the cleaned name was not named"
  verify "$T/$mode.iso" --min-files 50
  # Contents: every source file is in the image exactly once.
  rm -rf "$T/x" && mkdir "$T/x"
  bsdtar -xf "$T/$mode.iso" -C "$T/x"
  got=$(hashes "$T/x")
  want=$(hashes "$T/src")
  [ "$got" = "$want" ] || fail "$mode: extracted contents differ from the sources"
  # Names: backslashes became "_", both case variants are kept.
  [ -f "$T/x/back_slash.txt" ] || fail "$mode: back\\slash.txt not stored as back_slash.txt"
  [ -f "$T/x/dir_with_backslashes/inside.txt" ] || fail "$mode: folder with backslashes"
  [ "$(ls "$T/x" | grep -ci '^readme.*txt$')" = 3 ] || fail "$mode: case variants of readme.txt lost: $(ls "$T/x")"
  # Joliet names are whole up to 108 characters (110 for a folder), longer
  # ones cut to that with their extension. (bsdtar cuts Joliet names at 103
  # characters when it reads them, so ask the others.)
  listing=$(isoinfo -J -l -i "$T/$mode.iso")
  sevenz=$(7z l "$T/$mode.iso")
  for want in "x{104}\.txt" "y{104}\.txt" "z{100}\.txt"; do
    grep -qE " $want;1 ?$" <<<"$listing" || fail "$mode: isoinfo lacks the long name $want"
    grep -qE " $want$" <<<"$sevenz" || fail "$mode: 7z lacks the long name $want"
  done
  grep -qE "^Directory listing of /d{110}/$" <<<"$listing" || fail "$mode: the long folder name is not 110 characters"
done

# Names equal only through our cleaning, from different source folders: both
# kept and named. A different file whose name is taken is left out, named,
# and the exit status says the image is incomplete; the same source twice
# says nothing.
mkdir -p "$T/a" "$T/b"
echo colon >"$T/a/x:1.txt"
echo question >"$T/b/x?1.txt"
echo first >"$T/a/same.txt"
echo second >"$T/b/same.txt"
rc=0
"$SKARVO" build-iso --no-rock-ridge -o "$T/two.iso" "$T/a" "$T/b" "$T/a" >/dev/null 2>"$T/err.txt" || rc=$?
[ "$rc" -eq 1 ] || fail "a left-out file must make the exit status 1, not $rc"
grep -qF "left out $T/b/same.txt" "$T/err.txt" || fail "the left-out file is not named: $(cat "$T/err.txt")"
[ "$(grep -c "same.txt" "$T/err.txt")" = 1 ] || fail "the same source given twice was reported: $(cat "$T/err.txt")"
grep -qF "$T/b/x?1.txt stored as \"x_1 (2).txt\"" "$T/err.txt" || fail "the cleaned twin is not named: $(cat "$T/err.txt")"
if [ -f "$T/two.iso" ]; then
  verify "$T/two.iso"
  rm -rf "$T/y" && mkdir "$T/y" && bsdtar -xf "$T/two.iso" -C "$T/y"
  [ "$(cat "$T/y/x_1.txt" "$T/y/x_1 (2).txt" 2>/dev/null | tr '\n' ' ')" = "colon question " ] ||
    fail "names made equal by cleaning: $(ls "$T/y")"
  [ "$(cat "$T/y/same.txt")" = first ] || fail "the first same.txt was not kept"
else
  fail "no image written when an entry was left out"
fi

# Volume labels: d-characters in the primary descriptor, whole in Joliet;
# without --volume, the first source's folder name.
jvolume() { python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); print(d[17*2048+40:17*2048+72].decode("utf-16-be").rstrip())' "$1"; }
"$SKARVO" build-iso -o "$T/vol.iso" --volume "Été 2024" "$T/a" >/dev/null 2>&1 || fail "build-iso --volume"
grep -qx "Volume id: _T__2024" <(isoinfo -d -i "$T/vol.iso") || fail "primary label: $(isoinfo -d -i "$T/vol.iso" | grep Volume)"
[ "$(jvolume "$T/vol.iso")" = "Été 2024" ] || fail "Joliet label: $(jvolume "$T/vol.iso")"
"$SKARVO" build-iso -o "$T/vol2.iso" --volume "A label longer than sixteen" "$T/a" >/dev/null 2>"$T/err.txt" || fail "long label"
grep -qF "cut to 16 characters" "$T/err.txt" || fail "a label cut without a warning"
mkdir -p "$T/My Photos" && echo p >"$T/My Photos/p.jpg"
"$SKARVO" build-iso -o "$T/vol3.iso" "$T/My Photos" >/dev/null 2>&1 || fail "build-iso without --volume"
grep -qx "Volume id: MY_PHOTOS" <(isoinfo -d -i "$T/vol3.iso") || fail "default label: $(isoinfo -d -i "$T/vol3.iso" | grep Volume)"
[ "$(jvolume "$T/vol3.iso")" = "My Photos" ] || fail "default Joliet label: $(jvolume "$T/vol3.iso")"

# Dates carry the offset in effect at their own moment: readers that honour
# it show the same instant for a winter and a summer file.
mkdir -p "$T/dates"
echo s >"$T/dates/summer.txt"
echo w >"$T/dates/winter.txt"
touch -d "2024-07-15 10:00:00 UTC" "$T/dates/summer.txt"
touch -d "2024-01-15 10:00:00 UTC" "$T/dates/winter.txt"
TZ=Europe/Berlin "$SKARVO" build-iso -o "$T/dates.iso" "$T/dates" >/dev/null 2>&1 || fail "build-iso in Europe/Berlin"
for f in summer winter; do
  TZ=UTC 7z l "$T/dates.iso" | grep -qE " 10:00:00 .* $f\.txt$" || fail "7z shows the $f file at another time"
  TZ=UTC iso-info -l -i "$T/dates.iso" | grep -qE " 10:00:00 +$f\.txt" || fail "iso-info shows the $f file at another time"
done
finish
