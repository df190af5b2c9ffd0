#!/usr/bin/env bash
# El Torito: floppy and hard-disk boot images made bootable with --boot boot
# in QEMU and print their marker; an image without --boot does not boot.
source "$(dirname "$0")/common.sh"

elt="$SKARVO_SHARED_DIR/testdata/eltorito"
bash "$elt/build.sh" "$T/elt" >/dev/null
mkdir -p "$T/src"
echo "El Torito test disc" >"$T/src/readme.txt"

check() {   # check IMAGE MEDIA MARKER [build options]
  local image=$1 media=$2 marker=$3
  shift 3
  local iso="$T/$(basename "$image" .img)$*.iso"
  iso=${iso// /}
  if ! "$SKARVO" build-iso -o "$iso" --boot "$T/elt/$image" "$@" "$T/src" >/dev/null 2>"$T/err.txt"; then
    fail "build-iso --boot $image $*: $(cat "$T/err.txt")"
    return
  fi
  local vopts=(--tree "$T/src")
  case " $* " in *" --no-joliet "*) vopts=(--no-joliet) ;; esac
  verify "$iso" "${vopts[@]}" --boot-media "$media"
  if bash "$elt/check-boot.sh" "$iso" "$marker" 30 >"$T/boot.txt" 2>&1; then
    pass "$image $* boots"
  else
    fail "$image $* does not boot: $(tail -5 "$T/boot.txt")"
  fi
}
check fd1440.img fd1.4 "ELTORITO-BOOT-OK DRIVE=00 CHS=80/2/18"
check fd1440.img fd1.4 "ELTORITO-BOOT-OK DRIVE=00 CHS=80/2/18" --quick --no-joliet
check hdd.img hd "ELTORITO-HDD-OK DRIVE=80 CHS=4/4/32"
check fd1200.img fd1.2 "ELTORITO-BOOT-OK DRIVE=00 CHS=80/2/15"
check fd2880.img fd2.8 "ELTORITO-BOOT-OK DRIVE=00 CHS=80/2/36"

# Negative control: the same tree without --boot must not reach the marker.
cp "$T/elt/fd1440.img" "$T/src/fd1440.img"
"$SKARVO" build-iso -o "$T/plain.iso" "$T/src" >/dev/null
if bash "$elt/check-boot.sh" "$T/plain.iso" "ELTORITO-BOOT-OK" 4 >/dev/null 2>&1; then
  fail "an image without --boot booted"
else
  pass "an image without --boot does not boot"
fi
finish
