#!/usr/bin/env bash
# Runs a static program inside a small Linux guest whose CD drive holds an ISO
# image, so that the program can talk to QEMU's CD drive emulation through
# the kernel's SCSI stack (SG_IO on /dev/sr0 and /dev/sg0).
#
#   linux-guest.sh [--bus ide|scsi] [--timeout SECONDS] [--cache DIR] ISO PROGRAM [ARG...]
#
#   --bus ide     an ATAPI drive on the PC's IDE controller (default)
#   --bus scsi    a scsi-cd drive on a virtio-scsi controller
#   --timeout     stop the guest after this long (default 120)
#   --cache       where the unpacked kernel is kept between runs
#                 (default $XDG_CACHE_HOME or ~/.cache, then skarvo-guest)
#
# The guest is the host's Debian kernel (package linux-image-amd64) with an
# initramfs made here: busybox-static, the drive's kernel modules, PROGRAM and
# an /init that loads the modules, waits for /dev/sr0, runs PROGRAM with ARGs
# and powers off. The serial console is copied to stdout as it comes.
# Environment: KERNEL (a /boot/vmlinuz-*, default the newest), QEMU (default
# qemu-system-x86_64), GUEST_MODULES (further modules to load, e.g. isofs).
#
# Exit status: PROGRAM's own, as the guest reported it, or
#   2    usage error
#   3    this machine cannot run the guest (a tool or the kernel is missing,
#        or QEMU would not start)
#   4    the guest did not reach its /init within the time
#   124  PROGRAM started but did not end within the time
#   125  the guest ended without reporting PROGRAM's status
set -uo pipefail

say() { echo "linux-guest.sh: $*" >&2; }
usage() { say "usage: linux-guest.sh [--bus ide|scsi] [--timeout SECONDS] [--cache DIR] ISO PROGRAM [ARG...]"; exit 2; }
unable() { say "$*"; exit 3; }

bus=ide limit=120 cache=${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/skarvo-guest
while [ $# -gt 0 ]; do
  case $1 in
    --bus) [ $# -ge 2 ] || usage; bus=$2; shift 2 ;;
    --timeout) [ $# -ge 2 ] || usage; limit=$2; shift 2 ;;
    --cache) [ $# -ge 2 ] || usage; cache=$2; shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ $# -ge 2 ] || usage
iso=$1 prog=$2
shift 2
case $bus in ide | scsi) ;; *) say "unknown bus $bus"; exit 2 ;; esac
case $limit in '' | *[!0-9]*) say "--timeout needs whole seconds"; exit 2 ;; esac
[ -r "$iso" ] || { say "cannot read $iso"; exit 2; }
[ -f "$prog" ] && [ -x "$prog" ] || { say "$prog is not an executable file"; exit 2; }
is_static() { ! LC_ALL=C readelf -l "$1" 2>/dev/null | grep -q 'program interpreter'; }
is_static "$prog" || { say "$prog is linked dynamically; the guest has no libraries"; exit 2; }

qemu=${QEMU:-qemu-system-x86_64}
command -v "$qemu" >/dev/null || unable "$qemu is not installed (qemu-system-x86)"
command -v cpio >/dev/null || unable "cpio is not installed"
busybox=$(command -v busybox) || unable "busybox is not installed (busybox-static)"
is_static "$busybox" || unable "$busybox is linked dynamically (install busybox-static)"
kernel=${KERNEL:-$(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1)}
[ -n "$kernel" ] && [ -r "$kernel" ] || unable "no readable kernel in /boot (linux-image-amd64)"
release=${kernel##*/vmlinuz-}
moddir=/lib/modules/$release
[ -r "$moddir/modules.dep" ] || unable "no $moddir/modules.dep for $kernel"

# Under software emulation a compressed kernel spends seconds unpacking
# itself. QEMU boots the plain ELF kernel through its PVH entry point, so
# unpack it once: the setup header gives the payload's offset and length.
unpacked_kernel() {
  local setup_sects payload_off payload_len magic decoder out tmp
  out=$cache/vmlinux-$release-$(stat -Lc %s-%Y "$kernel")
  if [ -s "$out" ]; then echo "$out"; return; fi
  mkdir -p "$cache" || return
  u8() { od -An -tu1 -j "$1" -N1 "$kernel" | tr -d ' '; }
  u32() { od -An -tu4 -j "$1" -N4 "$kernel" | tr -d ' '; }
  setup_sects=$(u8 $((0x1F1)))
  payload_off=$(( (setup_sects + 1) * 512 + $(u32 $((0x248))) ))
  payload_len=$(u32 $((0x24C)))
  magic=$(od -An -tx1 -j "$payload_off" -N4 "$kernel" | tr -d ' ')
  case $magic in
    fd377a58) decoder="xz -dc --single-stream" ;;
    1f8b*) decoder="gzip -dc" ;;
    28b52ffd) decoder="zstd -qdc" ;;
    *) return ;;
  esac
  tmp=$out.$$
  tail -c +$((payload_off + 1)) "$kernel" | head -c "$payload_len" | $decoder >"$tmp" 2>/dev/null
  # Keep it only when it is an ELF kernel with the PVH entry note.
  if LC_ALL=C readelf -n "$tmp" 2>/dev/null | grep -q 'Xen.*0x00000012'; then
    mv "$tmp" "$out" && echo "$out"
  else
    rm -f "$tmp"
  fi
}
boot_kernel=$(unpacked_kernel)
[ -n "$boot_kernel" ] || boot_kernel=$kernel

# Kernel modules: the controller's driver, the CD driver and the generic
# SCSI driver, with what they depend on, listed in a modules.dep of their own
# for the guest's modprobe.
case $bus in
  ide) wanted="ata_piix sr_mod sg" ;;
  scsi) wanted="virtio_pci virtio_scsi sr_mod sg" ;;
esac
wanted="$wanted ${GUEST_MODULES:-}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp} "$root$moddir"
declare -A have=()
add_module() {   # add_module PATH-IN-modules.dep
  local rel=$1 line
  [ -z "${have[$rel]:-}" ] || return 0
  have[$rel]=1
  line=$(grep -m1 "^$rel:" "$moddir/modules.dep") || { say "$rel missing from modules.dep"; return 1; }
  mkdir -p "$root$moddir/${rel%/*}"
  case $rel in
    *.ko) cp "$moddir/$rel" "$root$moddir/$rel" ;;
    *.ko.xz) xz -dc "$moddir/$rel" >"$root$moddir/${rel%.xz}" ;;
    *.ko.zst) zstd -qdc "$moddir/$rel" >"$root$moddir/${rel%.zst}" ;;
    *.ko.gz) gzip -dc "$moddir/$rel" >"$root$moddir/${rel%.gz}" ;;
    *) say "unknown module file $rel"; return 1 ;;
  esac || return 1
  # The guest sees uncompressed modules only.
  echo "$line" | sed -E 's/\.ko\.(xz|zst|gz)/.ko/g' >>"$root$moddir/modules.dep"
  for dep in ${line#*:}; do add_module "$dep" || return 1; done
}
for m in $wanted; do
  rel=$(grep -m1 -oE "^([^:]*/)?(${m}|${m//_/-})\.ko(\.(xz|zst|gz))?:" "$moddir/modules.dep" | tr -d :)
  if [ -n "$rel" ]; then
    add_module "$rel" || unable "cannot collect the modules of $m"
  elif ! grep -qE "/(${m}|${m//_/-})\.ko$" "$moddir/modules.builtin" 2>/dev/null; then
    unable "the kernel has no module $m"
  fi
done

cp "$busybox" "$root/bin/busybox"
cp "$prog" "$root/program"
printf '%s\n' "$@" >"$root/args"
cat >"$root/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
modprobe -a $wanted || echo "guest: modprobe failed"
n=0
while [ ! -e /dev/sr0 ] && [ \$n -lt 100 ]; do sleep 0.1; n=\$((n + 1)); done
[ -e /dev/sr0 ] || echo "guest: /dev/sr0 did not appear"
set --
while IFS= read -r a; do set -- "\$@" "\$a"; done </args
echo "@@ guest program start"
/program "\$@"
echo "@@ guest program exit \$?"
poweroff -f
INIT
chmod 755 "$root/init" "$root/program"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$work/initrd.gz" ||
  unable "cannot pack the initramfs"

case $bus in
  ide) drive=(-drive "file=${iso//,/,,},format=raw,media=cdrom,readonly=on,if=ide,index=2") ;;
  scsi) drive=(-device "virtio-scsi-pci,id=vscsi"
               -drive "file=${iso//,/,,},format=raw,media=cdrom,readonly=on,if=none,id=cd0"
               -device "scsi-cd,drive=cd0,bus=vscsi.0") ;;
esac
# The kernel skips its crypto self-tests and its read-only data pass
# (cryptomgr.notests, rodata=off): a second of emulated boot that this
# throw-away guest has no use for.
begin=$(date +%s%N)
timeout -k 5 "$limit" "$qemu" -accel tcg -M pc -m 256 -smp 1 -nodefaults -display none -monitor none \
  -no-reboot -serial stdio -kernel "$boot_kernel" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1 rdinit=/init cryptomgr.notests rodata=off" "${drive[@]}" \
  </dev/null 2>"$work/qemu.err" | tr -d '\r' | tee "$work/serial.log"
qrc=${PIPESTATUS[0]}
say "$bus guest ran $(( ($(date +%s%N) - begin) / 1000000 )) ms"
sed 's/^/qemu: /' "$work/qemu.err" >&2

status=$(sed -n 's/^@@ guest program exit \([0-9][0-9]*\)$/\1/p' "$work/serial.log" | tail -n 1)
[ -z "$status" ] || exit "$status"
if [ "$qrc" -eq 124 ] || [ "$qrc" -eq 137 ]; then
  if grep -q '^@@ guest program start' "$work/serial.log"; then
    say "the program did not end within ${limit}s"
    exit 124
  fi
  say "the guest did not reach its /init within ${limit}s"
  exit 4
fi
if [ "$qrc" -ne 0 ] && [ ! -s "$work/serial.log" ]; then
  unable "QEMU did not start (status $qrc)"
fi
say "the guest ended without the program's status (QEMU status $qrc)"
exit 125
