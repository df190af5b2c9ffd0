#!/usr/bin/env bash
# `skarvo burn --verify` of a tree of a few hundred files on every recordable
# medium: the burn reads back what it sent, and the exported disc is a sound
# ISO 9660 / Joliet file system whose files every independent reader finds
# identical to the sources.
source "$(dirname "$0")/burn_common.sh"

python3 "$HERE/gen_tree.py" mixed "$T/tree"
cp -r "$T/tree/many" "$T/tree/many again"
files=$(find "$T/tree" -type f | wc -l)
[ "$files" -ge 300 ] || fail "the tree holds only $files files"

for medium in CD-R CD-RW DVD-R DVD-RW DVD-RW-RO DVD+R DVD+R-DL DVD+RW DVD-RAM; do
  load "$medium"
  label="Burn $medium"
  if ! "$SKARVO" burn --drive "$DRIVE" --verify --volume "$label" "$T/tree" >"$T/out.txt" 2>"$T/err.txt"; then
    fail "$medium: burn failed: $(tail -3 "$T/err.txt")"
    continue
  fi
  grep -q "^Burn process completed\.$" "$T/out.txt" || fail "$medium: no completion line: $(tail -3 "$T/out.txt")"
  # Every sector of the session was read back: at least the data of the files.
  sectors=$(sed -n 's/^VERIFY: \([0-9]*\) sectors equal$/\1/p' "$T/out.txt")
  data=$(find "$T/tree" -type f -printf '%s\n' | awk '{ s += int(($1 + 2047) / 2048) } END { print s }')
  if [ -z "$sectors" ] || [ "$sectors" -lt "$data" ]; then
    fail "$medium: verify line \"$(grep VERIFY "$T/out.txt")\", expected at least $data sectors"
  fi
  [ "$(count_cmd 'WRITE(10)')" -gt 0 ] || fail "$medium: no WRITE(10) in the drive's log"
  [ "$(setting prevent)" = 0 ] || fail "$medium: the tray stays locked after the burn"
  "$SKARVO" vdrive export "$DRIVE" "$T/disc.iso" || { fail "$medium: export"; continue; }
  verify "$T/disc.iso" --tree "$T/tree" --volume "$label" --min-files "$files"
  "$SKARVO" info --drive "$DRIVE" >"$T/info.txt" || fail "$medium: info after the burn"
  case $medium in
    DVD-RW-RO | DVD+RW | DVD-RAM) ;;
    *) grep -q "Sessions : 1$" "$T/info.txt" || fail "$medium: info: $(grep Sessions "$T/info.txt")" ;;
  esac
  pass "$medium: burned, verified and read back"
done
finish
