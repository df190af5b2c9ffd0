#!/usr/bin/env bash
# Runs the static SG_IO test program inside a Linux guest under QEMU, with an
# ISO in the guest's CD drive: once on the IDE bus, once on virtio-scsi.
#   run_sgio_guest.sh PROGRAM [CACHE_DIR]
# CACHE_DIR keeps the unpacked guest kernel between runs.
# Exit 0 when the program passed on both buses and failed when told a wrong
# disc size, 77 (skipped) when this machine cannot run the guest, 1 otherwise.
set -uo pipefail
prog=${1:?usage: run_sgio_guest.sh PROGRAM [CACHE_DIR]}
cache=${2:-}
guest=$(cd "$(dirname "$0")/../assets/qemu" && pwd)/linux-guest.sh
skip() { echo "SKIPPED: $*"; exit 77; }
command -v genisoimage >/dev/null || skip "genisoimage is not installed"
[ -x "$prog" ] || { echo "missing $prog"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/docs"
head -c 300000 /dev/urandom >"$work/src/docs/data.bin"
echo "sg_io test disc" >"$work/src/README.TXT"
genisoimage -quiet -J -V SGIOTEST -o "$work/disc.iso" "$work/src" || { echo "genisoimage failed"; exit 1; }
sectors=$(($(stat -c %s "$work/disc.iso") / 2048))
echo "ISO of $sectors sectors"

opts=(--timeout 120)
[ -z "$cache" ] || opts+=(--cache "$cache")
rc=0
for bus in ide scsi; do
  echo "=== $bus"
  bash "$guest" --bus "$bus" "${opts[@]}" "$work/disc.iso" "$prog" "$sectors" >"$work/out.txt" 2>&1
  st=$?
  cat "$work/out.txt"
  case $st in
    3 | 4) skip "the QEMU guest cannot run here (status $st, see above)" ;;
    0) ;;
    *) echo "FAILED: $bus guest, status $st"; rc=1 ;;
  esac
  # The program's own verdict, line by line, besides its exit status.
  if grep -q '^FAIL ' "$work/out.txt" || ! grep -q '^PASS ' "$work/out.txt"; then
    echo "FAILED: $bus guest: failing or missing checks"
    rc=1
  fi
done

# Negative control: told a wrong disc size, the program must report the
# mismatch and the guest must carry its failure out.
echo "=== ide, wrong size"
bash "$guest" --bus ide "${opts[@]}" "$work/disc.iso" "$prog" $((sectors + 1)) >"$work/out.txt" 2>&1
st=$?
if [ $st -eq 1 ] && grep -q '^FAIL .*capacity' "$work/out.txt"; then
  echo "a wrong size is reported"
else
  cat "$work/out.txt"
  echo "FAILED: a wrong size gave status $st"
  rc=1
fi
exit $rc
