#!/usr/bin/env bash
# Builds the El Torito test boot images from the sources beside this script.
#   make-images.sh OUTDIR
# Writes into OUTDIR:
#   fd1200.img fd1440.img fd2880.img  floppy images: boot sector, zeros, tail sector
#   hdd.img                           hard disk: MBR with one partition, tail sector
#   expected.txt                      one line per image: NAME, then the exact line
#                                     its boot sector prints when the BIOS emulates
#                                     it as it should
# Each image's last 512 bytes begin with the tag the boot sector looks for.
# Exit 0 on success, 2 when a tool is missing or a step fails.
set -euo pipefail
out=${1:?usage: make-images.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
command -v nasm >/dev/null || { echo "make-images.sh: nasm is not installed" >&2; exit 2; }
trap 'echo "make-images.sh: failed" >&2; exit 2' ERR
mkdir -p "$out"

tag=SKARVO-LAST-SECTOR
# The hard disk: 6 cylinders x 4 heads x 32 sectors = 384 KiB, not a floppy size.
cyl=6 heads=4 spt=32

asm() {   # asm SOURCE OUTPUT [nasm options]
  local src=$1 bin=$2
  shift 2
  nasm -f bin -I "$here/" -DTAIL_TAG="'$tag'" "$@" -o "$bin" "$here/$src"
}
image() {   # image BOOTSECTOR FILE BYTES
  rm -f "$2"
  cp "$1" "$2"
  truncate -s "$3" "$2"
  printf '%s' "$tag" | dd of="$2" bs=512 seek=$(($3 / 512 - 1)) conv=notrunc status=none
}

asm floppy.asm "$out/floppy.bin"
asm mbr.asm "$out/mbr.bin" -DCYLINDERS=$cyl -DHEADS=$heads -DSECTORS=$spt
image "$out/floppy.bin" "$out/fd1200.img" 1228800
image "$out/floppy.bin" "$out/fd1440.img" 1474560
image "$out/floppy.bin" "$out/fd2880.img" 2949120
image "$out/mbr.bin" "$out/hdd.img" $((cyl * heads * spt * 512))

# Floppies show their standard geometry as drive 00h. The emulated hard disk
# is drive 80h, and the BIOS keeps its last cylinder back from the count it
# reports, as BIOSes do for hard disks.
cat >"$out/expected.txt" <<LINES
fd1200.img SKARVO-BOOT floppy drive=00 chs=80/2/15 tail=ok
fd1440.img SKARVO-BOOT floppy drive=00 chs=80/2/18 tail=ok
fd2880.img SKARVO-BOOT floppy drive=00 chs=80/2/36 tail=ok
hdd.img SKARVO-BOOT harddisk drive=80 chs=$((cyl - 1))/$heads/$spt tail=ok
LINES
