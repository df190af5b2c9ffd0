#!/usr/bin/env bash
# No fault at any phase of a burn, and no Ctrl-C, loses a session that was on
# the disc. One row per medium and phase: a disc holding session OLD gets a
# burn that meets the row's fault; then
#  - OLD still reads back byte-identical (skarvo extract; xorriso at its
#    sector; the recorder's export of session 1 on sequential media);
#  - the burn's exit status and message say what happened;
#  - the next plain burn succeeds after at most the one repair the message
#    names (skarvo close-track), and its verify passes.
source "$(dirname "$0")/burn_common.sh"

mkdir -p "$T/old/d" "$T/new" "$T/next"
for i in 1 2 3; do head -c $((i * 70001)) /dev/urandom >"$T/old/d/o$i.bin"; done
echo "old session" >"$T/old/old.txt"
head -c 1500000 /dev/urandom >"$T/new/n.bin"
head -c 200000 /dev/urandom >"$T/next/x.bin"
"$SKARVO" build-iso -o "$T/old.iso" "$T/old" >/dev/null

# Every recordable medium; overwritable ones take their sessions at sector 0
# (so the new sessions import the old files), sequential ones after it.
MEDIA="CD-R CD-RW DVD-R DVD-RW DVD-RW-RO DVD+R DVD+R-DL DVD+RW DVD-RAM BD-R BD-RE"
overwritable() { case $1 in DVD-RW-RO | DVD+RW | DVD-RAM | BD-RE) return 0 ;; *) return 1 ;; esac; }
# Media without tracks or sessions to close.
closeless() { case $1 in DVD-RAM | BD-RE) return 0 ;; *) return 1 ;; esac; }

# A disc of MEDIUM holding OLD as its first session. A sequential DVD-RW gets
# it from a peer's image (a burn would format the blank disc first).
old_disc() {
  local medium=$1
  use_drive_for "$medium"
  case $medium in
  DVD-RW-RO | DVD+RW | DVD-RAM | BD-RE) load "${medium%-RO}" --formatted ;;
  *) load "$medium" ;;
  esac
  if [ "$medium" = DVD-RW ]; then
    "$SKARVO" vdrive append-session "$DRIVE" "$T/old.iso" >/dev/null
  else
    "$SKARVO" burn --drive "$DRIVE" --yes "$T/old" >/dev/null 2>&1 || fail "$medium: burn of OLD"
  fi
  # (under /dev/shm an export writes in place: old files are removed first)
  rm -f "$T/s1.iso"
  "$SKARVO" vdrive export "$DRIVE" "$T/s1.iso" --session 1 >/dev/null
  "$SKARVO" vdrive log "$DRIVE" --clear >/dev/null
}

OLD_FILES="old.txt d/o1.bin d/o2.bin d/o3.bin"
# same_old WHAT DIR: DIR holds OLD's files as they were.
same_old() {
  local f
  for f in $OLD_FILES; do
    cmp -s "$T/old/$f" "$2/$f" || fail "$1: $f differs from OLD"
  done
}

# OLD's files read back from the disc as they were.
check_old() {
  local row=$1 medium=$2
  rm -rf "$T/x" "$T/xo"
  if "$SKARVO" extract --drive "$DRIVE" --session 1 -C "$T/x" / >/dev/null 2>"$T/ex.txt"; then
    same_old "$row: skarvo extract" "$T/x"
  else
    fail "$row: skarvo extract: $(tail -2 "$T/ex.txt")"
  fi
  rm -f "$T/disc.iso"
  "$SKARVO" vdrive export "$DRIVE" "$T/disc.iso" >/dev/null
  # Overwritable media: the volume at sector 16 holds OLD (imported).
  if timeout 120 xorriso -abort_on NEVER -return_with SORRY 32 -load sbsector 0 \
    -indev "stdio:$T/disc.iso" -osirrox on -extract / "$T/xo" >/dev/null 2>"$T/xorr.txt"; then
    same_old "$row: xorriso -load sbsector 0" "$T/xo"
  else
    fail "$row: xorriso -load sbsector 0: $(tail -2 "$T/xorr.txt")"
  fi
  if ! overwritable "$medium"; then
    rm -f "$T/s1-now.iso"
    "$SKARVO" vdrive export "$DRIVE" "$T/s1-now.iso" --session 1 >/dev/null
    cmp -s "$T/s1.iso" "$T/s1-now.iso" || fail "$row: session 1 is no longer byte-identical: $(cmp "$T/s1.iso" "$T/s1-now.iso" 2>&1 | head -1)"
  fi
}

# The next plain burn, after at most one close-track when the message asks.
next_burn() {
  local row=$1 medium=$2
  local import=()
  overwritable "$medium" && import=(--import-session -1)
  local rc=0
  "$SKARVO" burn --drive "$DRIVE" --yes --verify "${import[@]}" "$T/next" >"$T/nb.txt" 2>"$T/nb-err.txt" || rc=$?
  if [ "$rc" -ne 0 ] && grep -q "skarvo close-track" "$T/nb-err.txt"; then
    "$SKARVO" close-track --drive "$DRIVE" >/dev/null 2>&1 || fail "$row: close-track failed"
    rc=0
    "$SKARVO" burn --drive "$DRIVE" --yes --verify "${import[@]}" "$T/next" >"$T/nb.txt" 2>"$T/nb-err.txt" || rc=$?
  fi
  if [ "$rc" -ne 0 ]; then
    fail "$row: the next burn: exit $rc: $(tail -2 "$T/nb-err.txt")"
  elif ! grep -q "^VERIFY: .* sectors equal" "$T/nb.txt"; then
    fail "$row: the next burn did not verify: $(tail -2 "$T/nb.txt")"
  fi
  rm -rf "$T/y"
  "$SKARVO" extract --drive "$DRIVE" -C "$T/y" / >/dev/null 2>&1 || true
  cmp -s "$T/next/x.bin" "$T/y/x.bin" || fail "$row: the next session's file does not read back"
}

# row MEDIUM PHASE: PHASE is one of the fault phases or ctrl-c-writing.
row() {
  local medium=$1 phase=$2 row="$1 $2"
  local import=() verify=() fault=()
  overwritable "$medium" && import=(--import-session -1)
  case $phase in
  preparing) fault=(nomedium --op 52 --count -1) ;;
  write-start) fault=(nomedium --op 2A --count -1) ;;
  write-middle) fault=(nomedium --op 2A --count -1 --skip 12) ;;
  write-last) fault=(nomedium --op 2A --count -1 --skip $((LASTWRITE[$medium]))) ;;
  flushing) fault=(nomedium --op 35 --count -1) ;;
  closing) fault=(nomedium --op 5B --count -1) ;;
  verifying) fault=(nomedium --op 28 --count -1 --skip $((READS[$medium]))) verify=(--verify) ;;
  ctrl-c-writing) fault=(busy --op 2A --count -1 --skip 12) ;;
  esac
  old_disc "$medium"
  # A medium error part way, which damages a sequential disc's open track.
  if [ "$phase" = write-error ]; then
    local nwa
    nwa=$("$SKARVO" info --drive "$DRIVE" | sed -n 's/^Next Session: starts at sector \([0-9]*\)$/\1/p')
    fault=(writeerror --lba $((${nwa:-0} + 100)))
  fi
  "$SKARVO" vdrive fault "$DRIVE" "${fault[@]}" >/dev/null
  local rc=0
  if [ "$phase" = ctrl-c-writing ]; then
    "$SKARVO" burn --drive "$DRIVE" --yes "${import[@]}" "$T/new" >"$T/out.txt" 2>"$T/err.txt" &
    local pid=$! i
    for i in $(seq 1 600); do
      [ "$(count_writes)" -gt 14 ] && break
      sleep 0.05
    done
    kill -INT "$pid"
    wait "$pid" || rc=$?
    [ "$rc" = 130 ] || fail "$row: exit $rc after Ctrl-C"
    grep -q "OPERATION ABORTED BY USER" "$T/err.txt" || fail "$row: $(tail -2 "$T/err.txt")"
  else
    "$SKARVO" burn --drive "$DRIVE" --yes "${verify[@]}" "${import[@]}" "$T/new" >"$T/out.txt" 2>"$T/err.txt" || rc=$?
    # DVD-RAM and BD-RE have no close: their row writes the whole session.
    if [ "$phase" = closing ] && closeless "$medium"; then
      [ "$rc" = 0 ] || fail "$row: exit $rc: $(tail -2 "$T/err.txt")"
    elif [ "$rc" = 0 ]; then
      fail "$row: exit 0 although the fault hit: $(tail -2 "$T/out.txt")"
    elif [ "$phase" = verifying ] && [ "$rc" != 3 ]; then
      fail "$row: exit $rc for a failed verify: $(tail -2 "$T/err.txt")"
    elif ! grep -q "^skarvo: " "$T/err.txt"; then
      fail "$row: exit $rc without a message"
    elif grep -q "Burn process completed" "$T/out.txt"; then
      fail "$row: a failed burn says it completed"
    fi
    if [ "$phase" = closing ] && ! closeless "$medium" && ! grep -q "skarvo close-track" "$T/err.txt"; then
      fail "$row: a failed close does not name close-track: $(tail -2 "$T/err.txt")"
    fi
  fi
  "$SKARVO" vdrive fault "$DRIVE" --clear >/dev/null
  [ "$(setting prevent)" = 0 ] || fail "$row: the tray stays locked"
  check_old "$row" "$medium"
  next_burn "$row" "$medium"
  check_old "$row (after the next burn)" "$medium"
  pass "$row"
}

# How many writes (WRITE(10), or WRITE(12) on BD-RE) the burn of NEW sends after OLD, per medium: the
# write-last row fails the last of them (on overwritable media the block of
# sector 0, written last). And how many READ(10) it sends before a verify
# (the import's, the volume's): the verifying row fails the next one.
declare -A LASTWRITE READS
MEDIA=${MATRIX_MEDIA:-$MEDIA}
for medium in $MEDIA; do
  old_disc "$medium"
  import=()
  overwritable "$medium" && import=(--import-session -1)
  "$SKARVO" burn --drive "$DRIVE" --yes "${import[@]}" "$T/new" >/dev/null 2>&1 || fail "$medium: burn of NEW"
  LASTWRITE[$medium]=$(($(count_writes) - 1))
  READS[$medium]=$(count_cmd 'READ(10)')
done

for medium in $MEDIA; do
  for phase in preparing write-start write-middle write-last flushing closing verifying ctrl-c-writing; do
    row "$medium" "$phase"
  done
  overwritable "$medium" || row "$medium" write-error
done
finish
