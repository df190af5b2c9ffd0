#!/usr/bin/env bash
# Boots the QEMU guest of the shared test data with an ISO in its CD drive
# and runs the static SG_IO test program inside, on each drive bus.
#   run_sgio_guest.sh SHARED_DIR PROGRAM
# Exit 77 (skipped) when QEMU or the guest's parts are missing here.
set -u
shared=$1 prog=$2
guest=$shared/testdata/qemu-sgio/run-guest.sh
skip() { echo "SKIPPED: $*"; exit 77; }
[ -x "$guest" ] || [ -f "$guest" ] || skip "no $guest"
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed"
command -v genisoimage >/dev/null || skip "genisoimage is not installed"
command -v cpio >/dev/null || skip "cpio is not installed"
command -v busybox >/dev/null || skip "busybox-static is not installed"
ls /boot/vmlinuz-* >/dev/null 2>&1 || skip "no kernel in /boot (linux-image-amd64)"
[ -x "$prog" ] || { echo "missing $prog"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/docs"
head -c 300000 /dev/urandom > "$work/src/docs/data.bin"
echo "sg_io test disc" > "$work/src/README.TXT"
genisoimage -quiet -J -V SGIOTEST -o "$work/disc.iso" "$work/src" || { echo "genisoimage failed"; exit 1; }
sectors=$(( $(stat -c %s "$work/disc.iso") / 2048 ))
echo "ISO of $sectors sectors"

rc=0
for bus in --ide --scsi; do
  echo "=== bus $bus"
  bash "$guest" "$bus" --timeout 120 "$work/disc.iso" "$prog" "$sectors" > "$work/out.txt" 2>&1
  st=$?
  cat "$work/out.txt"
  if [ $st -ne 0 ]; then
    # The guest could not be started at all (no QEMU acceleration, no
    # memory...): a setup error of run-guest.sh is not a failure of ours.
    if [ $st -eq 2 ] && ! grep -q 'PROGRAM START' "$work/out.txt"; then
      skip "the QEMU guest could not be set up"
    fi
    echo "bus $bus: exit status $st"
    rc=1
  fi
  grep -q '^PASS ' "$work/out.txt" || rc=1
done
exit $rc
