#!/usr/bin/env bash
# `skarvo burn-image` of images made by genisoimage and by xorriso: the
# exported disc holds the image byte for byte over its length. Images that
# cannot be burned are refused with a clear message and leave the disc blank;
# an image of odd size ends in a zero-filled sector.
source "$(dirname "$0")/burn_common.sh"

python3 "$HERE/gen_tree.py" mixed "$T/tree"
genisoimage -quiet -J -r -V GENISO -o "$T/geniso.iso" "$T/tree" 2>/dev/null || fail "genisoimage"
xorriso -as mkisofs -quiet -J -r -V XORRISO -o "$T/xorriso.img" "$T/tree" 2>/dev/null || fail "xorriso -as mkisofs"

# same_prefix DISC IMAGE: the disc starts with the whole image.
same_prefix() {
  local size
  size=$(stat -c %s "$2")
  [ "$(stat -c %s "$1")" -ge "$size" ] && cmp -s -n "$size" "$1" "$2"
}

for medium in CD-R DVD-R DVD+R DVD+RW "DVD+RW --formatted" DVD-RAM; do
  for image in geniso.iso xorriso.img; do
    load $medium
    if ! "$SKARVO" burn-image --drive "$DRIVE" --verify "$T/$image" >"$T/out.txt" 2>"$T/err.txt"; then
      fail "$medium, $image: burn-image failed: $(tail -3 "$T/err.txt")"
      continue
    fi
    want=$(($(stat -c %s "$T/$image") / 2048))
    grep -qx "VERIFY: $want sectors equal" "$T/out.txt" || fail "$medium, $image: $(grep VERIFY "$T/out.txt")"
    "$SKARVO" vdrive export "$DRIVE" "$T/disc.iso" || { fail "$medium, $image: export"; continue; }
    if same_prefix "$T/disc.iso" "$T/$image"; then
      pass "$medium, $image: the disc holds the image"
    else
      fail "$medium, $image: the exported disc differs from the image"
    fi
  done
done

# Refusals: nothing reaches the disc.
load DVD+R
expect_fail "missing image" "cannot read the image file $T/none.iso" -- \
  "$SKARVO" burn-image --drive "$DRIVE" "$T/none.iso"
expect_fail "a folder as image" "is not a file" -- "$SKARVO" burn-image --drive "$DRIVE" "$T/tree"
chmod 000 "$T/geniso.iso"
if [ -r "$T/geniso.iso" ]; then
  echo "skipped: unreadable image (running as root)"
else
  expect_fail "unreadable image" "geniso.iso" -- "$SKARVO" burn-image --drive "$DRIVE" "$T/geniso.iso"
fi
chmod 644 "$T/geniso.iso"
[ "$(count_cmd 'WRITE(10)')" = 0 ] || fail "a refused image wrote to the disc"
grep -q " empty " <<<"$(medium_line)" || fail "the disc is no longer blank: $(medium_line)"

# An image whose size is not a multiple of 2048 bytes: its last sector is
# completed with zeros, never with bytes left over in the write buffer.
head -c 1000001 /dev/urandom >"$T/odd.iso"
if "$SKARVO" burn-image --drive "$DRIVE" --verify "$T/odd.iso" >"$T/out.txt" 2>"$T/err.txt"; then
  "$SKARVO" vdrive export "$DRIVE" "$T/disc.iso"
  grep -qx "VERIFY: 489 sectors equal" "$T/out.txt" || fail "odd size: $(grep VERIFY "$T/out.txt")"
  same_prefix "$T/disc.iso" "$T/odd.iso" || fail "odd size: the disc does not start with the image"
  cmp -s -i 1000001:0 -n 1471 "$T/disc.iso" /dev/zero || fail "odd size: the last sector does not end in zeros"
  pass "an image of 1,000,001 bytes is burned as 489 sectors"
else
  fail "odd size: $(tail -2 "$T/err.txt")"
fi

# A read error inside the image ends the burn with the file's name; the
# drive is usable afterwards.
: "${SKARVO_IO_SHIM:?SKARVO_IO_SHIM must name the I/O fault library}"
load DVD+R
expect_fail "read error in the image" "CAN'T READ FILE \"$T/xorriso.img\"" -- \
  env LD_PRELOAD="$SKARVO_IO_SHIM" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
  SKARVO_SHIM_FILE=xorriso.img SKARVO_SHIM_READ_FAIL_AT=1000000 SKARVO_SHIM_READ_FAIL_LEN=4096 \
  "$SKARVO" burn-image --drive "$DRIVE" "$T/xorriso.img"
[ "$(setting prevent)" = 0 ] || fail "read error in the image: the tray stays locked"
"$SKARVO" info --drive "$DRIVE" >/dev/null || fail "read error in the image: the drive does not answer"

expect_fail "burn-image with two images" "one IMAGE" -- \
  "$SKARVO" burn-image --drive "$DRIVE" "$T/geniso.iso" "$T/xorriso.img"
expect_fail "burn-image without an image" "no IMAGE given" -- "$SKARVO" burn-image --drive "$DRIVE"
expect_fail "layout options are for burn" "unknown option --volume" -- \
  "$SKARVO" burn-image --drive "$DRIVE" --volume X "$T/geniso.iso"
finish
