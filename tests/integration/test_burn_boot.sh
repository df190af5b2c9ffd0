#!/usr/bin/env bash
# A disc burned with --boot boots in an emulated PC from the exported CD.
# Exit 77 (skipped) when nasm or QEMU is missing.
source "$(dirname "$0")/burn_common.sh"

boot_setup

for image in fd1440.img hdd.img; do
  load CD-R
  if ! "$SKARVO" burn --drive "$DRIVE" --verify --boot "$T/elt/$image" "$T/src" >/dev/null 2>"$T/err.txt"; then
    fail "burn --boot $image: $(tail -3 "$T/err.txt")"
    continue
  fi
  "$SKARVO" vdrive export "$DRIVE" "$T/disc.iso" || { fail "export"; continue; }
  boots "$T/disc.iso" "$image" "a CD-R burned with $image"
done
finish
