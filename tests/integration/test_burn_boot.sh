#!/usr/bin/env bash
# A disc burned with --boot boots in an emulated PC from the exported CD.
# Exit 77 (skipped) when nasm or QEMU is missing.
source "$(dirname "$0")/burn_common.sh"

assets=$HERE/../assets/eltorito
for tool in nasm qemu-system-x86_64; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done
bash "$assets/make-images.sh" "$T/elt" >/dev/null
mkdir -p "$T/src"
echo "El Torito test disc" >"$T/src/readme.txt"

for image in fd1440.img hdd.img; do
  load CD-R
  line=$(sed -n "s/^$image //p" "$T/elt/expected.txt")
  if ! "$SKARVO" burn --drive "$DRIVE" --verify --boot "$T/elt/$image" "$T/src" >/dev/null 2>"$T/err.txt"; then
    fail "burn --boot $image: $(tail -3 "$T/err.txt")"
    continue
  fi
  "$SKARVO" vdrive export "$DRIVE" "$T/disc.iso" || { fail "export"; continue; }
  if bash "$assets/boot-cd.sh" "$T/disc.iso" "$line" 30 >"$T/boot.txt" 2>&1; then
    pass "a CD-R burned with $image boots: $line"
  else
    fail "a CD-R burned with $image does not boot as \"$line\": $(tail -5 "$T/boot.txt")"
  fi
done
finish
