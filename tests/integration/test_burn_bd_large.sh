#!/usr/bin/env bash
# A large compilation on a Blu-ray disc, end to end:
#
#   test_burn_bd_large.sh [MiB [MEDIUM]]   (default 6000 MiB on a BD-R)
#
# Sparse files (the first one over 4 GiB, real data at known places in
# each) and a tree of ordinary files are burned with `--verify` onto a
# virtual disc; the drive's medium file stays sparse and the burn's memory
# bounded. The sparse export passes `skarvo check`, xorriso compares every
# file with its source, bsdtar's copies of the large files and `skarvo
# extract`'s of the small ones equal the sources byte for byte. With a BD-R
# DL and more than a layer's worth, the disc is filled past the layer break.
# Prints "time: STEP SECONDS" for each step (bench/bd runs it at 25 GB).
source "$(dirname "$0")/burn_common.sh"
source "$HERE/bd_common.sh"
for tool in xorriso bsdtar python3; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
[ -x /usr/bin/time ] || { echo "skipped: /usr/bin/time is not installed"; exit 77; }
mib=${1:-6000} medium=${2:-BD-R}
# The sources, the drive and the export go to $BD_LARGE_DIR when set, else
# to the scratch folder (in memory when there is room: a disk file system
# fills its page cache with the zeros of every hole read, and reads them
# slowly; a hole in memory costs nothing).
W=$T
if [ -n "${BD_LARGE_DIR:-}" ]; then
  W=$(mktemp -d "$BD_LARGE_DIR/skarvo-bd-XXXXXX")
  trap 'rm -rf "$W" "$T" "$T_DISK"' EXIT
fi
export SKARVO_VDRIVES=$W/vdrives
use_drive_for "$medium"
S=$W/src
mkdir -p "$S/big"
# step NAME COMMAND...: runs COMMAND and prints how long it took (on the
# script's own output, whatever COMMAND's is sent to).
exec 3>&1
step() {
  local name=$1 t0=$SECONDS rc=0
  shift
  "$@" || rc=$?
  echo "time: $name $((SECONDS - t0)) s" >&3
  return $rc
}

# The large files: the first one just over 4 GiB, the others share the rest
# at most 5000 MiB each.
sizes=(4100)
left=$((mib - 4100))
while [ "$left" -gt 0 ]; do
  n=$(((left + 4999) / 5000))
  sizes+=($((left / n)))
  left=$((left - left / n))
done
for i in "${!sizes[@]}"; do sparse_file "$S/big/part$i.bin" $((sizes[i] * 1048576)); done
python3 "$HERE/gen_tree.py" mixed "$S/small"
total=$(du -b --apparent-size -s "$S" | cut -f1)

load "$medium"
if ! step burn /usr/bin/time -f %M -o "$T/rss.txt" "$SKARVO" burn --drive "$DRIVE" --yes --verify --volume LARGE "$S" \
  >"$T/out.txt" 2>"$T/err.txt"; then
  fail "$medium: burn of $total bytes: $(tail -3 "$T/err.txt")"
  finish
fi
grep -q "^VERIFY: [0-9]* sectors equal$" "$T/out.txt" || fail "$medium: verify: $(grep VERIFY "$T/out.txt")"
rss_kb=$(tail -1 "$T/rss.txt")
echo "burn max RSS: $((rss_kb / 1024)) MiB"
[ "$rss_kb" -lt $((256 * 1024)) ] && pass "$medium: the burn of $total bytes stays under 256 MiB" ||
  fail "$medium: the burn took $((rss_kb / 1024)) MiB"

# The medium holds what was written, and only that is stored: the data
# windows and the small files, not the zeros between them.
stored_kb=$(du -k "$SKARVO_VDRIVES/$DRIVE/data.img" | cut -f1)
echo "medium file: $((stored_kb / 1024)) MiB stored of $(($(stat -c %s "$SKARVO_VDRIVES/$DRIVE/data.img") >> 20)) MiB"
[ "$stored_kb" -lt 300000 ] && pass "$medium: the medium's file stays sparse" ||
  fail "$medium: the medium's file takes $stored_kb KB"
end=$("$SKARVO" info --drive "$DRIVE" | sed -n 's/^Used Space  : \([0-9,.]*\) MB.*/\1/p' | tr -d ,)
echo "used: $end MB"
if [ "$medium" = BD-R-DL ] && [ "$mib" -gt 24000 ]; then
  # The last sector written lies beyond the first layer's 12,219,392.
  sectors=$(($(stat -c %s "$SKARVO_VDRIVES/$DRIVE/data.img") / 2048))
  [ "$sectors" -gt 12219392 ] && pass "BD-R DL: written up to sector $sectors, past the layer break" ||
    fail "BD-R DL: written only up to sector $sectors"
fi

step export "$SKARVO" vdrive export "$DRIVE" "$W/disc.iso" >/dev/null || fail "$medium: export"
[ "$(du -k "$W/disc.iso" | cut -f1)" -lt 300000 ] || fail "$medium: the export is not sparse: $(du -h "$W/disc.iso")"
[ "$(stat -c %s "$W/disc.iso")" -gt "$total" ] || fail "$medium: the export is shorter than the sources"
step check "$SKARVO" check "$W/disc.iso" >"$T/check.txt" 2>&1 && pass "$medium: skarvo check" ||
  fail "$medium: skarvo check: $(head -8 "$T/check.txt")"

# xorriso compares every file of the disc with its source, content included.
if step xorriso-compare xorriso -abort_on NEVER -return_with SORRY 32 -indev "stdio:$W/disc.iso" \
  -compare_r "$S" / >"$T/xo.txt" 2>&1; then
  pass "$medium: xorriso finds every file equal to its source"
else
  fail "$medium: xorriso -compare_r: $(grep -iE "differ|missing|FAILURE|SORRY" "$T/xo.txt" | head -8)"
fi
# bsdtar's copy of each large file, streamed, against the source.
compare_big() {
  local f
  for f in "$S"/big/*; do
    bsdtar -xOf "$W/disc.iso" "big/${f##*/}" | cmp -s - "$f" || { fail "$medium: bsdtar's big/${f##*/} differs"; return; }
  done
  pass "$medium: bsdtar reads the large files as their sources"
}
step bsdtar-compare compare_big
# skarvo's own extraction of the small files.
if step extract "$SKARVO" extract --image "$W/disc.iso" -C "$W/x" /small >/dev/null 2>"$T/err.txt"; then
  diff -r "$W/x/small" "$S/small" >/dev/null && pass "$medium: skarvo extract gives the small files back" ||
    fail "$medium: the extracted small files differ"
else
  fail "$medium: extract: $(tail -2 "$T/err.txt")"
fi
finish
