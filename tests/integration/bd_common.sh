# Shared by the Blu-ray end-to-end scripts (sourced after burn_common.sh):
# sparse source files with real data at known places, a listing that the
# host and a guest make alike, and several discs read in one QEMU guest.

# The 1 MiB windows where a large file holds real data: the start, the two
# MiB around 4 GiB (where an ISO 9660 extent of a multi-extent file ends),
# and the last MiB (bd_list digests the same ones). Offsets in MiB, for a
# file of SIZE bytes.
data_windows() { printf '%s\n' 0 4095 4096 $(($1 / 1048576 - 1)) | awk -v n=$(($1 / 1048576)) '$1 < n' | sort -nu; }

# sparse_file PATH SIZE: a file of SIZE bytes (a multiple of 1 MiB) that is
# a hole but for random data in each of its data_windows.
sparse_file() {
  local k
  truncate -s "$2" "$1"
  for k in $(data_windows "$2"); do
    head -c 1048576 /dev/urandom | dd of="$1" bs=1048576 seek="$k" conv=notrunc status=none
  done
}

# The listing below $R, one line per entry, sorted, each starting "L: $TAG":
# mode and type (without them when NOMODE is set, for a Joliet tree), then
# for a file its size and content digest (for files over 64 MiB the digest of
# each data window), for a link its target, and the path. Busybox runs it on
# both sides, so that the host's and the guest's lines compare as text.
# shellcheck disable=SC2016
bd_list='lst() { (cd "$R" && find . ! -name . | LC_ALL=C sort | while IFS= read -r f; do
  m=$(stat -c "%a %F" "$f"); [ -n "$NOMODE" ] && m=$(stat -c %F "$f")
  if [ -L "$f" ]; then d="-> $(readlink "$f")"; elif [ -d "$f" ]; then d=-; else
    s=$(stat -c %s "$f"); d=$s
    if [ "$s" -gt 67108864 ]; then for k in 0 4095 4096 $((s / 1048576 - 1)); do
      [ "$k" -lt $((s / 1048576)) ] && d="$d $k:$(dd if="$f" bs=1048576 skip="$k" count=1 2>/dev/null | sha256sum | cut -c1-16)"
    done; else d="$d $(sha256sum <"$f" | cut -c1-16)"; fi
  fi; echo "L: $TAG $m $d $f"; done) }'

# host_list DIR TAG [nomode]: the listing of DIR on this machine.
host_list() {
  R=$1 TAG=$2 NOMODE=${3:-} busybox sh -c "$bd_list; lst"
}

# pack_discs OUT IMG...: one sparse file holding every IMG (the first at
# offset 0, each next one on a MiB boundary), so that one guest drive
# carries them all; prints each IMG's byte offset, one a line. Only the
# data of each image is copied: holes stay holes.
pack_discs() {
  python3 - "$@" <<'PY'
import os, sys
out, imgs = sys.argv[1], sys.argv[2:]
at = 0
with open(out, "wb") as o:
    for img in imgs:
        print(at)
        with open(img, "rb") as i:
            size = os.fstat(i.fileno()).st_size
            pos = 0
            while pos < size:
                try:
                    pos = os.lseek(i.fileno(), pos, os.SEEK_DATA)
                except OSError:
                    break  # nothing but a hole to the end
                end = os.lseek(i.fileno(), pos, os.SEEK_HOLE)
                while pos < end:
                    n = os.copy_file_range(i.fileno(), o.fileno(), end - pos, pos, at + pos)
                    if n <= 0:
                        sys.exit("cannot copy %s" % img)
                    pos += n
        at = (at + size + (1 << 20) - 1) >> 20 << 20
    o.truncate(at)
PY
}

# bd_guest CONTAINER SCRIPT OUT: boots one QEMU guest whose CD drive holds
# CONTAINER, with the modules for ISO 9660 and loop devices, and runs the
# busybox shell SCRIPT there, where bd_list's lst is defined.
# Writes the lines it prints that start with "L: " to OUT, and all it
# printed to OUT.log. Exits 77 (skipped) where the guest cannot run;
# returns the guest's exit status.
bd_guest() {
  local rc=0 code
  command -v qemu-system-x86_64 >/dev/null && command -v busybox >/dev/null || { echo "skipped: no QEMU guest"; exit 77; }
  # The guest runs a static program: this one starts its busybox shell.
  printf '#include <unistd.h>\nint main(int c, char **v) { v[0] = "sh"; return execv("/bin/sh", v); }\n' >"$T/bdsh.c"
  cc -static -o "$T/bdsh" "$T/bdsh.c" 2>"$T/cc.log" || { echo "skipped: no static C library"; exit 77; }
  # The guest takes its arguments one a line: the script travels encoded.
  code=$(printf '%s\n%s\n' "$bd_list" "$2" | base64 -w0)
  local try
  for try in 1 2; do
    rc=0
    GUEST_MODULES="isofs loop" "$HERE/../assets/qemu/linux-guest.sh" --timeout 600 "$1" "$T/bdsh" -c \
      "eval \"\$(echo $code | base64 -d)\"" >"$3.log" 2>&1 || rc=$?
    # A guest whose kernel died before the script started is booted once more
    # (seen on a loaded machine: a panic in early boot); the script's own
    # failures are not retried.
    grep -q '^@@ guest program start' "$3.log" || [ "$rc" = 3 ] || continue
    break
  done
  [ "$rc" -eq 3 ] && { echo "skipped: this machine cannot run the guest: $(tail -1 "$3.log")"; exit 77; }
  { grep '^L: ' "$3.log" || true; } | tr -d '\r' >"$3"
  return $rc
}
