#!/usr/bin/env bash
# Boots an ISO image from the CD drive of an emulated PC and waits for a line
# on its first serial port.
#   boot-cd.sh ISO LINE [SECONDS]
# LINE must match a whole serial line (after the carriage return is dropped).
# Exit: 0 the line came; 1 it did not (another line instead of it, the BIOS
# found nothing to boot, QEMU stopped, or SECONDS passed, default 20);
# 2 usage or setup error (no QEMU, or QEMU ended before its BIOS printed). The serial lines are echoed with a
# "serial: " prefix, the BIOS's own messages with "bios: ".
#
# Software emulation only (-accel tcg): it works everywhere, and a boot sector
# is done within a fraction of a second. SeaBIOS writes its messages to the
# debug port 0x402; they share one stream with the serial port, so "No
# bootable device" ends a failed boot at once instead of after SECONDS.
set -uo pipefail
[ $# -ge 2 ] && [ $# -le 3 ] || { echo "usage: boot-cd.sh ISO LINE [SECONDS]" >&2; exit 2; }
iso=$1 want=$2 secs=${3:-20}
case $secs in '' | *[!0-9]*) echo "boot-cd.sh: SECONDS must be a whole number" >&2; exit 2 ;; esac
[ -r "$iso" ] || { echo "boot-cd.sh: cannot read $iso" >&2; exit 2; }
qemu=${QEMU:-qemu-system-x86_64}
command -v "$qemu" >/dev/null || { echo "boot-cd.sh: $qemu is not installed" >&2; exit 2; }

work=$(mktemp -d)
qpid=
stop() {
  [ -n "$qpid" ] && kill "$qpid" 2>/dev/null && wait "$qpid" 2>/dev/null
  qpid=
}
trap 'stop; rm -rf "$work"' EXIT
mkfifo "$work/console"

# The serial port and the BIOS debug port go, through one multiplexed
# character device, into the FIFO this script reads line by line.
"$qemu" -accel tcg -M pc -m 16 -nodefaults -display none -monitor none -no-reboot \
  -chardev "file,id=con,path=${work//,/,,}/console,mux=on" \
  -serial chardev:con -device isa-debugcon,iobase=0x402,chardev=con \
  -drive "file=${iso//,/,,},format=raw,media=cdrom,readonly=on,if=ide,index=2" -boot order=d \
  </dev/null 2>"$work/qemu.err" &
qpid=$!
# Read-write, so that opening never blocks should QEMU fail before it opens
# its end.
exec 3<>"$work/console"

deadline=$((SECONDS + secs))
status=1 seen=0 partial='' booting=0 lines=0
while :; do
  if IFS= read -r -t 0.2 -u 3 part; then
    line=$partial$part partial=
  else
    partial+=$part        # a timed-out read keeps what it got
    if ! kill -0 "$qpid" 2>/dev/null; then
      echo "boot-cd.sh: QEMU stopped" >&2
      [ "$lines" -gt 0 ] || status=2   # it never ran the BIOS: a setup error
      break
    fi
    [ "$SECONDS" -lt "$deadline" ] || { echo "boot-cd.sh: no such line after ${secs}s" >&2; break; }
    continue
  fi
  line=${line%$'\r'}
  lines=$((lines + 1))
  # The BIOS's lines have no prefix of their own; ours begin with SKARVO-.
  # Of the BIOS's, only those from the boot itself on are of interest.
  case $line in
    SKARVO-* | "$want") echo "serial: $line"; seen=1 ;;
    *handle_19*) booting=1 ;;
    *) [ "$booting" = 0 ] || echo "bios: $line" ;;
  esac
  if [ "$line" = "$want" ]; then status=0; break; fi
  [ "$seen" = 0 ] || { echo "boot-cd.sh: the boot sector printed another line" >&2; break; }
  case $line in *"No bootable device"* | *"Boot failed"*) echo "boot-cd.sh: the BIOS booted nothing" >&2; break ;; esac
done
stop
exec 3<&-
# QEMU's own errors; the note that this script stopped it says nothing.
grep -v 'terminating on signal' "$work/qemu.err" | sed 's/^/qemu: /' >&2
exit "$status"
