#!/usr/bin/env bash
# Blu-ray discs as the Linux kernel reads them: a BD-R with two sessions, a
# BD-R DL and a BD-RE with a second session over the first, burned with
# `--verify --keep-permissions --symlinks` (Rock Ridge and Joliet) from a tree
# of odd names, modes, links and a sparse file over 4 GiB, exported with
# `vdrive export` and mounted in one QEMU guest. The kernel's isofs shows
# every name, mode, size, link target and content as the sources have them,
# through Rock Ridge and, mounted with norock, through Joliet; the BD-R's
# second session is mounted with sbsector.
source "$(dirname "$0")/burn_common.sh"
source "$HERE/bd_common.sh"
for tool in busybox python3 base64; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
use_drive_for BD-R

# The first session's tree: names the two trees carry differently, modes
# kept as they are, a link, an empty file and sizes around a sector.
S=$T/s S2=$T/s2
long=$(printf 'n%.0s' $(seq 1 90))
mkdir -p "$S/Ünïcødé dïr/日本語" "$S/with space" "$S/private" "$S/deep/a/b/c/d/e/f"
echo readme >"$S/README"
printf 'x%.0s' $(seq 1 2048) >"$S/with space/one sector.txt"
head -c 2049 /dev/urandom >"$S/Ünïcødé dïr/日本語/ファイル.bin"
head -c 70000 /dev/urandom >"$S/deep/a/b/c/d/e/f/leaf.dat"
head -c 5000 /dev/urandom >"$S/$long.txt"
: >"$S/empty"
echo secret >"$S/private/key" && chmod 600 "$S/private/key" && chmod 700 "$S/private"
printf '#!/bin/sh\necho hi\n' >"$S/run.sh" && chmod 755 "$S/run.sh"
echo ro >"$S/read-only.txt" && chmod 444 "$S/read-only.txt"
ln -s "with space/one sector.txt" "$S/link"
# The second session adds a folder and replaces nothing.
mkdir -p "$S2/added"
head -c 100001 /dev/urandom >"$S2/added/more.bin"
echo "second" >"$S2/Ελληνικά.txt" && chmod 640 "$S2/Ελληνικά.txt"
# The large file goes on the BD-R and the BD-R DL (4 GiB + 4 MiB).
sparse_file "$T/big.bin" $(((4096 + 4) * 1048576))

# What each disc holds: a folder of hard links, listed as the guest lists.
# union NAME SOURCE...
union() {
  mkdir -p "$T/want/$1" && local n=$1 && shift
  local s
  for s in "$@"; do cp -al "$s" "$T/want/$n/"; done
}
union r "$S/." "$T/big.bin" "$S2/."
union dl "$S/." "$T/big.bin"
union re "$S/." "$S2/."

# burn_disc MEDIUM SOURCE... [-- burn options]: one --verify burn that must
# read back equal.
burn_disc() {
  local medium=$1
  shift
  if "$SKARVO" burn --drive "$DRIVE" --yes --verify --keep-permissions --symlinks "$@" >"$T/out.txt" 2>"$T/err.txt" &&
    grep -q "^VERIFY: [0-9]* sectors equal$" "$T/out.txt"; then
    return 0
  fi
  fail "$medium: burn $*: $(tail -3 "$T/err.txt") $(grep VERIFY "$T/out.txt")"
  return 1
}
next_session() { "$SKARVO" info --drive "$DRIVE" | sed -n 's/^Next Session: starts at sector \([0-9]*\)$/\1/p'; }

load BD-R
burn_disc BD-R --volume FIRST "$S" "$T/big.bin"
s2=$(next_session)
burn_disc BD-R --volume SECOND --import-session -1 "$S2"
[ -n "$s2" ] && [ "$s2" -gt 2000000 ] || fail "BD-R: second session at \"$s2\", not after the large file"
"$SKARVO" vdrive export "$DRIVE" "$T/r.iso" >/dev/null || fail "BD-R: export"

load BD-R-DL
burn_disc BD-R-DL --speed 6x "$S" "$T/big.bin"
"$SKARVO" vdrive export "$DRIVE" "$T/dl.iso" >/dev/null || fail "BD-R DL: export"

load BD-RE
burn_disc BD-RE "$S"
burn_disc BD-RE --import-session -1 "$S2"
"$SKARVO" vdrive export "$DRIVE" "$T/re.iso" >/dev/null || fail "BD-RE: export"
[ "$fails" = 0 ] || finish

# The exports stay sparse: each holds about what was written.
for d in r dl re; do
  kb=$(du -k "$T/$d.iso" | cut -f1)
  [ "$kb" -lt 100000 ] || fail "$d.iso takes $kb KB on disk"
done

# One drive carries the three discs, the BD-R at its start, where the
# kernel reads it as a CD drive; the others through loop devices.
mapfile -t offsets < <(pack_discs "$T/discs.img" "$T/r.iso" "$T/dl.iso" "$T/re.iso")
off_dl=${offsets[1]} off_re=${offsets[2]}

# Each mount on its own device: the kernel shares one superblock between two
# mounts of one device, whatever their options.
want=$T/want.txt
{
  host_list "$T/want/r" R2
  host_list "$T/want/r" R2J nomode | grep -v "symbolic link"
  host_list "$T/want/dl" DL
  host_list "$T/want/re" RE
  host_list "$T/want/re" REJ nomode | grep -v "symbolic link"
} >"$want"
rc=0
bd_guest "$T/discs.img" "
mkdir -p /m/R2 && mount -t iso9660 -o ro,sbsector=$s2 /dev/sr0 /m/R2 && R=/m/R2 TAG=R2 lst
m() { mkdir -p /m/\$1 && losetup -r -o \$3 \$2 /dev/sr0 && mount -t iso9660 -o ro\$4 \$2 /m/\$1 && R=/m/\$1 TAG=\$1 NOMODE=\$5 lst; }
m R2J /dev/loop0 0 ,sbsector=$s2,norock,utf8 1
m DL /dev/loop1 $off_dl '' ''
m RE /dev/loop2 $off_re '' ''
m REJ /dev/loop3 $off_re ,norock,utf8 1
" "$T/got.txt" || rc=$?
[ "$rc" = 0 ] || fail "the guest ended with status $rc: $(grep -v '^L: ' "$T/got.txt.log" | grep -v '^\[' | tail -8)
$(grep -m1 -A12 -E 'Kernel panic|cut here|Oops' "$T/got.txt.log")"
for tag in R2 R2J DL RE REJ; do
  if diff <(grep "^L: $tag " "$want") <(grep "^L: $tag " "$T/got.txt") >"$T/diff.txt"; then
    pass "$tag: the kernel's tree is the source's"
  else
    fail "$tag: the kernel's tree differs: $(head -20 "$T/diff.txt")"
  fi
done
finish
