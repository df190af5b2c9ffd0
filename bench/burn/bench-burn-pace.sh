#!/usr/bin/env bash
# How close a burn comes to the drive's own speed: `skarvo burn-image` to a
# virtual CD-R, DVD-R, DVD+R and BD-R whose clock runs in real time (clock 1, the
# drive buffer filling and draining as a real one does), with the library's
# waits unscaled. Prints, per medium, the write phase's rate against the
# write speed the drive was set to (min / median / max of the runs). Not part
# of the test suite.
#
#   bench/burn/bench-burn-pace.sh [SKARVO] [MiB] [RUNS]
#
# BD-R (12x, 54 MB/s) burns an image four times as large, so that its write
# phase lasts about as long as the others'. PACE_MEDIA names other media.
#
# The write phase runs from the first WRITE(10) to the last, as the drive's
# command log times them. At the last write the drive still holds up to a
# buffer's worth it has not recorded, so the bytes recorded in the phase are
# counted as the bytes sent less the whole buffer: the rate is a lower bound.
# Once the log shows the flush, the drive's clock is made fast so that the
# close (40 s of drive time) does not hold up the next run; the figure is
# taken before that.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
SKARVO=${1:-$root/build/release/bin/skarvo}
mib=${2:-48}
runs=${3:-3}
[ -x "$SKARVO" ] || { echo "no skarvo binary at $SKARVO (run tools/build release skarvo)" >&2; exit 2; }
W=$(mktemp -d /tmp/skarvo-bench-pace-XXXXXX)
watcher=""
cleanup() {
  [ -n "$watcher" ] && kill "$watcher" 2>/dev/null || true
  rm -rf "$W"
}
trap cleanup EXIT
export SKARVO_VDRIVES=$W/vdrives
unset SKARVO_TIME_SCALE SKARVO_VDRIVE_CLOCK
"$SKARVO" vdrive add pace --model bd-writer >/dev/null
head -c $((mib << 20)) /dev/urandom >"$W/image.iso"
for _ in 1 2 3 4; do cat "$W/image.iso"; done >"$W/image-bd.iso"
buffer_kb=$("$SKARVO" vdrive list 2>/dev/null >/dev/null; awk -F' = ' '$1 == "buffer_kb" { print $2 }' "$W/vdrives/pace/settings")

# One run on MEDIUM: prints "ratio speed_kbs seconds underruns underrun_seconds".
run() {
  local medium=$1 settings=$W/vdrives/pace/settings log=$W/vdrives/pace/commands.log
  rm -f "$W/settings.at-flush"
  "$SKARVO" vdrive insert pace --media "$medium" >/dev/null
  "$SKARVO" vdrive set pace clock 1 >/dev/null
  "$SKARVO" vdrive log pace --clear >/dev/null
  local image=$W/image.iso
  case $medium in BD*) image=$W/image-bd.iso ;; esac
  "$SKARVO" burn-image --drive pace "$image" >"$W/out.txt" 2>&1 &
  local burn=$!
  # Waits for the flush in the log, then speeds the drive up for the close.
  (
    while ! grep -q "cmd=SYNCHRONIZE-CACHE" "$log" 2>/dev/null; do
      kill -0 "$burn" 2>/dev/null || exit 0
      sleep 0.02
    done
    # The speed the burn set, before the drive is restored.
    cp "$settings" "$W/settings.at-flush"
    "$SKARVO" vdrive set pace clock 100000 >/dev/null
  ) &
  watcher=$!
  wait "$burn" || { echo "burn on $medium failed: $(tail -3 "$W/out.txt")" >&2; exit 1; }
  wait "$watcher" || true
  watcher=""
  # The speed the drive recorded the burn's writes at.
  local speed underruns stood
  speed=$(awk -F' = ' '$1 == "recorded_speed" { print $2 }' "$W/settings.at-flush")
  # Times the drive's buffer ran dry, and for how long: where the rate went.
  underruns=$(awk -F' = ' '$1 == "underruns" { print $2 }' "$W/settings.at-flush")
  stood=$(awk -F' = ' '$1 == "underrun_seconds" { print $2 }' "$W/settings.at-flush")
  awk -v speed="${speed:-0}" -v buf="$buffer_kb" -v under="${underruns:-0}" -v stood="${stood:-0}" '
    function ts(s,   t, h, m, sec) {  # 2026-12-08T07:47:17.123Z -> seconds of the day
      t = substr(s, 12, 12); h = substr(t, 1, 2); m = substr(t, 4, 2); sec = substr(t, 7, 6)
      return h * 3600 + m * 60 + sec
    }
    / cmd=WRITE\(10\) / && / status=GOOD / {
      if (first == "") first = ts($1)
      last = ts($1)
      match($0, / len=[0-9]+/); bytes += substr($0, RSTART + 5, RLENGTH - 5)
    }
    END {
      secs = last - first
      if (secs <= 0 || speed == 0) { print "0 " speed " 0 " under " " stood; exit }
      printf "%.3f %d %.3f %d %.3f\n", (bytes - buf * 1024) / secs / (speed * 1000), speed, secs, under, stood
    }' "$log"
}

printf "image: %d MiB of random data, drive buffer %s KB, recorder clock 1, library waits unscaled\n" "$mib" "$buffer_kb"
for medium in ${PACE_MEDIA:-CD-R DVD-R DVD+R BD-R}; do
  ratios=()
  for _ in $(seq "$runs"); do
    read -r ratio speed secs under stood <<<"$(run "$medium")"
    echo "$medium: write phase ${secs} s, ratio ${ratio} against ${speed} KB/s, buffer ran dry ${under} times (${stood} s)" >&2
    ratios+=("$ratio")
  done
  printf "%s\n" "${ratios[@]}" | sort -n | awk -v m="$medium" -v sp="$speed" '
    { v[NR] = $1 } END {
      med = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%-6s at %5d KB/s: write rate / set speed  min %.3f  median %.3f  max %.3f  (goal >= 0.95)\n", m, sp, v[1], med, v[NR]
    }'
done
