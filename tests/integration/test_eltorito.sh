#!/usr/bin/env bash
# El Torito: floppy and hard-disk boot images given to `build-iso --boot`
# boot in an emulated PC, which sees the emulation and the whole image they
# ask for; an image without --boot boots nothing.
# Exit 77 (skipped) when nasm or QEMU is missing.
source "$(dirname "$0")/common.sh"

boot_setup

check() {   # check IMAGE MEDIA [build options]
  local image=$1 media=$2
  shift 2
  local iso="$T/${image%.img}$*.iso"
  iso=${iso// /}
  if ! "$SKARVO" build-iso -o "$iso" --boot "$T/elt/$image" "$@" "$T/src" >/dev/null 2>"$T/err.txt"; then
    fail "build-iso --boot $image $*: $(cat "$T/err.txt")"
    return
  fi
  local vopts=(--tree "$T/src")
  case " $* " in *" --no-joliet "*) vopts=(--no-joliet) ;; esac
  verify "$iso" "${vopts[@]}" --boot-media "$media"
  boots "$iso" "$image" "$image $*"
}
# The threaded writer and the quick path each copy the boot image.
check fd1440.img fd1.4
check fd1440.img fd1.4 --quick --no-joliet
check fd1200.img fd1.2
check fd2880.img fd2.8
check hdd.img hd
check hdd.img hd --quick

# Negative control: the same tree without --boot boots nothing. Status 1 is
# a boot that failed; anything else is a fault of the check itself.
cp "$T/elt/fd1440.img" "$T/src/fd1440.img"
"$SKARVO" build-iso -o "$T/plain.iso" "$T/src" >/dev/null
rc=0
bash "$assets/boot-cd.sh" "$T/plain.iso" "$(expected fd1440.img)" 30 >"$T/boot.txt" 2>&1 || rc=$?
if [ "$rc" -eq 1 ] && grep -q "booted nothing" "$T/boot.txt"; then
  pass "an image without --boot does not boot"
else
  fail "an image without --boot: boot-cd.sh status $rc: $(tail -5 "$T/boot.txt")"
fi
finish
