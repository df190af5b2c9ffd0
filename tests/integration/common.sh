# Shared by the integration scripts: the skarvo binary, a scratch folder
# removed on exit, tree generation and the image checks.
set -euo pipefail
: "${SKARVO:?SKARVO must name the skarvo binary}"
: "${SKARVO_SHARED_DIR:=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)/shared}"
export SKARVO_SHARED_DIR
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Scratch space in memory when there is room: the trees hold tens of
# thousands of names, which a disk file system creates and removes slowly.
# T_DISK is for what needs a disk (extended attributes).
scratch=/tmp
if [ -d /dev/shm ] && [ -w /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR == 2 { print $4 }')" -gt 2000000 ]; then
  scratch=/dev/shm
fi
T=$(mktemp -d "$scratch/skarvo-it-XXXXXX")
T_DISK=$(mktemp -d /tmp/skarvo-it-XXXXXX)
chmod 755 "$T" "$T_DISK"
export TMPDIR=$T
trap 'chmod -R u+rwx "$T" "$T_DISK" 2>/dev/null; rm -rf "$T" "$T_DISK"' EXIT

fails=0
fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }
pass() { echo "ok: $*"; }
finish() {
  if [ "$fails" -ne 0 ]; then
    echo "$fails failure(s)" >&2
    exit 1
  fi
  echo "all passed"
}

# verify IMG [verify_image.py options]
verify() {
  if python3 "$HERE/verify_image.py" "$@"; then pass "readers agree on $(basename "$1")"; else fail "readers on $1"; fi
}

# expect_fail NAME PATTERN -- command...: the command must exit non-zero and
# print PATTERN (fixed string) on stderr.
expect_fail() {
  local name=$1 pattern=$2
  shift 3
  local rc=0
  "$@" >"$T/out.txt" 2>"$T/err.txt" || rc=$?
  if [ "$rc" -eq 0 ]; then
    fail "$name: exit 0"
  elif ! grep -qF -- "$pattern" "$T/err.txt"; then
    fail "$name: stderr lacks \"$pattern\": $(cat "$T/err.txt")"
  else
    pass "$name"
  fi
}

# El Torito boot tests: exits 77 (skipped) without nasm or QEMU; otherwise
# builds our boot images into $T/elt and a small source tree in $T/src.
boot_setup() {
  assets=$HERE/../assets/eltorito
  local tool
  for tool in nasm qemu-system-x86_64; do
    command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
  done
  bash "$assets/make-images.sh" "$T/elt" >/dev/null
  mkdir -p "$T/src"
  echo "El Torito test disc" >"$T/src/readme.txt"
}

# The line the boot sector of IMAGE prints when booted as it should be.
expected() { sed -n "s/^$1 //p" "$T/elt/expected.txt"; }

# boots ISO IMAGE WHAT: ISO boots in QEMU and prints IMAGE's expected line.
boots() {
  local line
  line=$(expected "$2")
  [ -n "$line" ] || { fail "no expected line for $2"; return; }
  if bash "$assets/boot-cd.sh" "$1" "$line" 30 >"$T/boot.txt" 2>&1; then
    pass "$3 boots: $line"
  else
    fail "$3 does not boot as \"$line\": $(tail -5 "$T/boot.txt")"
  fi
}

# A copy of IMG whose sector 16 on holds the descriptors of the session at
# START (as an overwritable disc keeps them), for readers that look there only.
at16() {
  python3 - "$1" "$2" "$3" <<'PY'
import sys
img, start, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
d = bytearray(open(img, 'rb').read())
k = 0
while True:
    s = d[(start + 16 + k) * 2048:(start + 17 + k) * 2048]
    d[(16 + k) * 2048:(17 + k) * 2048] = s
    k += 1
    if s[0] == 255 or s[1:6] != b'CD001' or k > 32:
        break
open(out, 'wb').write(d)
PY
}

# guest_list ISO MOUNT_OPTIONS LIST OUT: mounts ISO read-only in a QEMU guest
# (the Linux kernel's isofs; MOUNT_OPTIONS are added after "ro"), runs the
# shell command LIST there with R set to the mount point, and writes the
# lines it prints that start with "L: " to OUT (everything the guest printed
# goes to OUT.log). Exits 77 (skipped) where the guest cannot run; returns
# the guest's exit status.
guest_list() {
  local iso=$1 opts=$2 list=$3 out=$4 rc=0
  if [ ! -x "$T/gsh" ]; then
    command -v qemu-system-x86_64 >/dev/null && command -v busybox >/dev/null || { echo "skipped: no QEMU guest"; exit 77; }
    printf '#include <unistd.h>\nint main(int c, char **v) { v[0] = "sh"; return execv("/bin/sh", v); }\n' >"$T/sh.c"
    cc -static -o "$T/gsh" "$T/sh.c" 2>"$T/cc.log" || { echo "skipped: no static C library"; exit 77; }
  fi
  # (One line: the guest takes the command through its kernel's command line.)
  GUEST_MODULES=isofs "$HERE/../assets/qemu/linux-guest.sh" --timeout 300 "$iso" "$T/gsh" -c \
    "mkdir -p /mnt && mount -t iso9660 -o ro$opts /dev/sr0 /mnt && R=/mnt && $list" >"$out.log" 2>&1 || rc=$?
  [ "$rc" -eq 3 ] && { echo "skipped: this machine cannot run the guest: $(tail -1 "$out.log")"; exit 77; }
  { grep '^L: ' "$out.log" || true; } | tr -d '\r' >"$out"
  return $rc
}

# guest_compare ISO MOUNT_OPTIONS LIST WANT GOT WHAT: runs LIST on ISO
# mounted in the guest (see guest_list), writing its lines to GOT, and passes
# when they equal the file WANT; else fails naming WHAT with the difference
# and the end of the guest's other output.
guest_compare() {
  local iso=$1 opts=$2 list=$3 want=$4 got=$5 what=$6 rc=0
  guest_list "$iso" "$opts" "$list" "$got" || rc=$?
  if [ -s "$got" ] && diff "$want" "$got" >"$T/diff.txt"; then
    pass "$what"
  else
    fail "the trees differ, not so: $what (exit $rc): $(head -20 "$T/diff.txt") $(grep -v '^L: ' "$got.log" | tail -5)"
  fi
}
