#!/usr/bin/env bash
# `skarvo ls` and `skarvo extract` on images made by genisoimage and xorriso,
# read as image files and from virtual drives (CD-ROM, DVD-ROM): the
# extracted trees equal their sources byte for byte, with dates kept; a
# peer-made second session; names that try to leave the folder; Ctrl-C.
source "$(dirname "$0")/../integration/common.sh"
for tool in genisoimage xorriso python3; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
export SKARVO_VDRIVES=$T/vdrives

src=$T/src
mkdir -p "$src/D" "$src/deep/er/est" "$src/My Folder"
printf 'read me\n' >"$src/README"
printf 'inner\n' >"$src/D/inner.txt"
: >"$src/empty"
printf 'backup\n' >"$src/My Folder/My Documents Backup.txt"
printf 'grüße\n' >"$src/deep/er/est/grüße.txt"
head -c 3000000 /dev/urandom >"$src/deep/big.bin"
i=0
find "$src" -mindepth 1 | sort -r | while read -r p; do
  i=$((i + 1))
  touch -h -d "2019-0$((i % 9 + 1))-1$((i % 9)) 1$((i % 10)):2$((i % 10)):3$((i % 10))" "$p"
done

# stamps DIR: every entry's relative path and modification time.
stamps() { (cd "$1" && find . -mindepth 1 -printf '%P %T@\n' | sort); }

# same NAME OUT: the extracted tree equals the sources, dates included.
same() {
  if ! diff -r "$src" "$2" >"$T/diff.txt" 2>&1; then
    fail "$1: contents differ: $(head -5 "$T/diff.txt")"
  elif [ "$(stamps "$src")" != "$(stamps "$2")" ]; then
    diff <(stamps "$src") <(stamps "$2") | head -5 >&2
    fail "$1: dates differ"
  else
    pass "$1: identical, dates kept"
  fi
}

genisoimage -quiet -J -o "$T/gj.iso" "$src"
genisoimage -quiet -o "$T/gi.iso" "$src"
xorriso -outdev "stdio:$T/xj.iso" -joliet on -map "$src" / >"$T/x.log" 2>&1 || { cat "$T/x.log"; fail "xorriso"; }

for img in gj xj; do
  "$SKARVO" ls --image "$T/$img.iso" -R >"$T/ls.txt" || fail "$img: ls exit $?"
  grep -q ' /deep/er/est/grüße.txt$' "$T/ls.txt" && grep -q '^-      3000000 ' "$T/ls.txt" &&
    grep -q ' /My Folder/My Documents Backup.txt$' "$T/ls.txt" && pass "$img: ls lists long names and sizes" ||
    fail "$img: ls output: $(cat "$T/ls.txt")"
  "$SKARVO" extract --image "$T/$img.iso" -C "$T/out-$img" / >/dev/null || fail "$img: extract exit $?"
  same "$img image" "$T/out-$img"
done

# The primary tree of an ISO-only session: 8.3 names as recorded.
"$SKARVO" ls --image "$T/gi.iso" >"$T/ls.txt"
grep -q ' /README\.$' "$T/ls.txt" && grep -q ' /D/$' "$T/ls.txt" && pass "ISO-only names (README., one-letter folder)" ||
  fail "ISO-only listing: $(cat "$T/ls.txt")"
"$SKARVO" extract --image "$T/gi.iso" -C "$T/out-gi" /README. /D >/dev/null
cmp -s "$src/README" "$T/out-gi/README." && cmp -s "$src/D/inner.txt" "$T/out-gi/D/INNER.TXT" &&
  pass "ISO-only extract of a file and a folder" || fail "ISO-only extract: $(find "$T/out-gi")"

# The same images from virtual drives.
"$SKARVO" vdrive add rd --model dvd-reader >/dev/null
"$SKARVO" vdrive insert rd --media CD-ROM --image "$T/gj.iso" >/dev/null
sectors=$(($(stat -c %s "$T/gj.iso") / 2048))
"$SKARVO" info --drive rd >"$T/info.txt" || true
grep -Eq "^1 +0 +$sectors " "$T/info.txt" && pass "info lists the session's start and size" ||
  fail "info: $(cat "$T/info.txt")"
"$SKARVO" extract --drive rd -C "$T/out-cd" / >/dev/null || fail "CD-ROM: extract exit $?"
same "CD-ROM" "$T/out-cd"
"$SKARVO" vdrive insert rd --media DVD-ROM --image "$T/xj.iso" >/dev/null
"$SKARVO" ls --drive rd /deep >"$T/ls.txt" && grep -q ' /deep/big.bin$' "$T/ls.txt" && pass "DVD-ROM: ls of a folder" ||
  fail "DVD-ROM ls: $(cat "$T/ls.txt")"
"$SKARVO" extract --drive rd -C "$T/out-dvd" / >/dev/null || fail "DVD-ROM: extract exit $?"
same "DVD-ROM" "$T/out-dvd"

# A second session made by genisoimage on the first: both readable.
mkdir -p "$T/more"
printf 'second\n' >"$T/more/second.txt"
genisoimage -quiet -J -r -o "$T/r1.iso" "$src"
n1=$(($(stat -c %s "$T/r1.iso") / 2048))
genisoimage -quiet -J -r -C 0,$n1 -M "$T/r1.iso" -o "$T/s2.part" "$T/more"
cat "$T/r1.iso" "$T/s2.part" >"$T/ms.iso"
"$SKARVO" ls --image "$T/ms.iso" --session 2 >"$T/ls2.txt"
"$SKARVO" ls --image "$T/ms.iso" --session 1 >"$T/ls1.txt"
if grep -q "^Session 2 of 2, start $n1" "$T/ls2.txt" && grep -q ' /second.txt$' "$T/ls2.txt" &&
  grep -q ' /README$' "$T/ls2.txt" && ! grep -q 'second' "$T/ls1.txt"; then
  pass "peer-made second session listed as old plus new; the first as it was"
else
  fail "multisession listing: $(cat "$T/ls2.txt" "$T/ls1.txt")"
fi
"$SKARVO" extract --image "$T/ms.iso" -C "$T/out-ms" /README /second.txt >/dev/null &&
  cmp -s "$T/out-ms/README" "$src/README" && cmp -s "$T/out-ms/second.txt" "$T/more/second.txt" &&
  pass "extract from the second session" || fail "extract from the second session"

# Names that try to leave the folder: "/" becomes "_", ".." is refused.
mkdir -p "$T/bad/yy"
printf 'evil\n' >"$T/bad/xx_evil"
printf 'in\n' >"$T/bad/yy/f"
genisoimage -quiet -J -o "$T/bad.iso" "$T/bad"
python3 - "$T/bad.iso" <<'PY'
import sys
p = sys.argv[1]
d = open(p, 'rb').read()
d = d.replace('xx_evil'.encode('utf-16-be'), '../evil'.encode('utf-16-be'))
d = d.replace('yy'.encode('utf-16-be'), '..'.encode('utf-16-be'))
open(p, 'wb').write(d)
PY
mkdir -p "$T/jail/in"
rc=0
"$SKARVO" extract --image "$T/bad.iso" -C "$T/jail/in" / >/dev/null 2>"$T/err.txt" || rc=$?
if [ "$rc" -ne 1 ]; then
  fail "hostile names: exit $rc (expected 1)"
elif [ "$(cd "$T/jail" && find . -type f | sort)" != "./in/.._evil" ]; then
  fail "hostile names: files $(cd "$T/jail" && find . -type f)"
elif ! grep -q 'cannot be used' "$T/err.txt"; then
  fail "hostile names: no message: $(cat "$T/err.txt")"
else
  pass "hostile names stay inside the folder, with a message"
fi

# Ctrl-C while a large file is copied leaves no partial file behind.
"$SKARVO" vdrive insert rd --media DVD-ROM --image "$T/xj.iso" >/dev/null
head -c 200000000 /dev/zero >"$T/huge.bin"
xorriso -outdev "stdio:$T/huge.iso" -joliet on -map "$T/huge.bin" /huge.bin >/dev/null 2>&1
rm -f "$T/huge.bin"
mkdir -p "$T/int"
"$SKARVO" extract --image "$T/huge.iso" -C "$T/int" /huge.bin >"$T/int.log" 2>&1 &
pid=$!
for _ in $(seq 100); do
  [ -n "$(ls -A "$T/int")" ] && break
  sleep 0.01
done
kill -INT $pid 2>/dev/null || true
rc=0
wait $pid || rc=$?
if [ "$rc" -eq 0 ]; then
  echo "note: the copy ended before the interrupt; nothing to check"
elif [ "$rc" -ne 130 ]; then
  fail "interrupt: exit $rc: $(cat "$T/int.log")"
elif [ -n "$(ls -A "$T/int")" ] && [ "$(ls -A "$T/int")" != huge.bin ]; then
  fail "interrupt left $(ls -A "$T/int")"
elif [ -e "$T/int/huge.bin" ] && [ "$(stat -c %s "$T/int/huge.bin")" != 200000000 ]; then
  # A file gets its name only once complete: an interrupt that comes after
  # that may leave it, whole, but never a part of it.
  fail "interrupt left a partial huge.bin ($(stat -c %s "$T/int/huge.bin") bytes)"
else
  pass "Ctrl-C leaves no partial file"
fi
finish
