#!/usr/bin/env bash
# Writing an image never loses a byte: read errors, a failed close, a file
# size limit and interrupts end the build with an error and leave the older
# image as it was; two builds of one image, and an image that is one of its
# own sources, are refused before anything is written.
source "$(dirname "$0")/common.sh"
: "${SKARVO_IO_SHIM:?SKARVO_IO_SHIM must name the I/O fault library}"
# The fault library goes in front of the sanitizer runtime of a sanitizer build.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"

# shim VAR=VALUE... -- command...: runs the command with the fault library.
shim() {
  local vars=()
  while [ "$1" != -- ]; do vars+=("$1"); shift; done
  shift
  env LD_PRELOAD="$SKARVO_IO_SHIM" "${vars[@]}" "$@"
}
sum() { sha256sum "$1" | cut -d' ' -f1; }
# no_leftovers NAME FOLDER: no temporary file of a build remains there.
no_leftovers() {
  if compgen -G "$2/.*.part" >/dev/null; then fail "$1: temporary file left: $(ls -a "$2")"; fi
}

mkdir -p "$T/src" "$T/out"
head -c 3000000 /dev/urandom >"$T/src/a.bin"
echo hello >"$T/src/b.txt"
"$SKARVO" build-iso -o "$T/out/old.iso" "$T/src" >/dev/null
old=$(sum "$T/out/old.iso")
modes=(threaded quick)
mode_args() { [ "$1" = quick ] && echo --quick || true; }

# A read error in the middle of a source, lasting or passing (a retry
# would then succeed): no image with a hole of zeros or shifted data.
for mode in "${modes[@]}"; do
  for kind in SKARVO_SHIM_READ_FAIL_LEN=4096 SKARVO_SHIM_READ_FAIL_ONCE=1; do
    expect_fail "read error at 1.5 MB, $mode, $kind" "CAN'T READ FILE \"$T/src/a.bin\"" -- \
      shim SKARVO_SHIM_FILE=src/a.bin SKARVO_SHIM_READ_FAIL_AT=1500000 "$kind" -- \
      "$SKARVO" build-iso $(mode_args "$mode") -o "$T/out/old.iso" "$T/src"
    [ "$(sum "$T/out/old.iso")" = "$old" ] || fail "read error, $mode, $kind: the older image changed"
  done
  expect_fail "read error, new image, $mode" "CAN'T READ FILE" -- \
    shim SKARVO_SHIM_FILE=src/a.bin SKARVO_SHIM_READ_FAIL_AT=1500000 SKARVO_SHIM_READ_FAIL_LEN=4096 -- \
    "$SKARVO" build-iso $(mode_args "$mode") -o "$T/out/new.iso" "$T/src"
  [ -e "$T/out/new.iso" ] && fail "read error, $mode: an image was left"
  no_leftovers "read error, $mode" "$T/out"
done

# The file system reports a failed write when the image is closed.
for mode in "${modes[@]}"; do
  expect_fail "failed close, $mode" "CAN'T WRITE FILE \"$T/out/old.iso\" [Input/output error]" -- \
    shim SKARVO_SHIM_FILE=.part SKARVO_SHIM_CLOSE_FAIL=1 -- \
    "$SKARVO" build-iso $(mode_args "$mode") -o "$T/out/old.iso" "$T/src"
  [ "$(sum "$T/out/old.iso")" = "$old" ] || fail "failed close, $mode: the older image changed"
  no_leftovers "failed close, $mode" "$T/out"
done

# A write that stops part way (a file size limit a little below the image).
limit_kb=$(($(stat -c %s "$T/out/old.iso") / 1024 - 100))
for mode in "${modes[@]}"; do
  expect_fail "file size limit, $mode" "File too large" -- \
    bash -c 'trap "" XFSZ; ulimit -f "$1"; shift; exec "$@"' _ "$limit_kb" \
    "$SKARVO" build-iso $(mode_args "$mode") -o "$T/out/old.iso" "$T/src"
  [ "$(sum "$T/out/old.iso")" = "$old" ] || fail "file size limit, $mode: the older image changed"
  no_leftovers "file size limit, $mode" "$T/out"
done

# Interrupts: a slow source keeps the build busy; each signal must end it
# within a second with 128 + the signal, the older image untouched, and an
# image that did not exist before not created.
mkdir -p "$T/slow"
# Real data: the holes of a sparse file are not read, so they would not be slow.
head -c 160M /dev/zero >"$T/slow/big.bin"
echo x >"$T/slow/small.txt"
for mode in "${modes[@]}"; do
  for sig in INT TERM HUP PIPE; do
    for target in old.iso fresh.iso; do
      # Started directly (no shell between), so the signal reaches the build.
      env LD_PRELOAD="$SKARVO_IO_SHIM" SKARVO_SHIM_FILE=slow/big.bin SKARVO_SHIM_READ_DELAY_MS=20 \
        "$SKARVO" build-iso $(mode_args "$mode") -o "$T/out/$target" "$T/slow" >/dev/null 2>"$T/sig.txt" &
      pid=$!
      sleep 1
      start=$(date +%s%N)
      kill -s "$sig" "$pid"
      rc=0
      wait "$pid" || rc=$?
      ms=$((($(date +%s%N) - start) / 1000000))
      want=$((128 + $(kill -l "$sig")))
      name="SIG$sig during a $mode build of $target"
      [ "$rc" -eq "$want" ] || fail "$name: exit $rc, expected $want: $(cat "$T/sig.txt")"
      [ "$ms" -le 1000 ] || fail "$name: took $ms ms to end"
      if [ "$target" = old.iso ]; then
        [ "$(sum "$T/out/old.iso")" = "$old" ] || fail "$name: the older image changed"
      else
        [ -e "$T/out/fresh.iso" ] && fail "$name: an image was left"
      fi
      no_leftovers "$name" "$T/out"
      [ "$rc" -eq "$want" ] && [ "$ms" -le 1000 ] && pass "$name ($ms ms)"
    done
  done
done

# An interrupt while the read-ahead cache is still filling (reads so slow
# that filling it takes seconds) ends the build as quickly.
env LD_PRELOAD="$SKARVO_IO_SHIM" SKARVO_SHIM_FILE=slow/big.bin SKARVO_SHIM_READ_DELAY_MS=400 \
  "$SKARVO" build-iso -o "$T/out/fresh.iso" "$T/slow" >/dev/null 2>"$T/sig.txt" &
pid=$!
sleep 1
start=$(date +%s%N)
kill -s INT "$pid"
rc=0
wait "$pid" || rc=$?
ms=$((($(date +%s%N) - start) / 1000000))
if [ "$rc" -eq 130 ] && [ "$ms" -le 1000 ] && [ ! -e "$T/out/fresh.iso" ]; then
  pass "SIGINT while the cache fills ($ms ms)"
else
  fail "SIGINT while the cache fills: exit $rc after $ms ms: $(cat "$T/sig.txt")"
fi
no_leftovers "SIGINT while the cache fills" "$T/out"

# Two builds of one image: the second is refused and removes nothing.
truncate -s 40M "$T/slow/big.bin"
env LD_PRELOAD="$SKARVO_IO_SHIM" SKARVO_SHIM_FILE=slow/big.bin SKARVO_SHIM_READ_DELAY_MS=40 \
  "$SKARVO" build-iso -o "$T/out/race.iso" "$T/slow" >/dev/null 2>"$T/first.txt" &
first=$!
for _ in $(seq 100); do [ -e "$T/out/race.iso" ] && break; sleep 0.05; done
expect_fail "second build of one image" "another build is writing $T/out/race.iso" -- \
  "$SKARVO" build-iso -o "$T/out/race.iso" "$T/src"
rc=0
wait "$first" || rc=$?
[ "$rc" -eq 0 ] || fail "the first build failed beside the second: $(cat "$T/first.txt")"
verify "$T/out/race.iso" --tree "$T/slow"

# The image may not replace one of its sources, even by another name.
a_sum=$(sum "$T/src/a.bin")
ln "$T/src/a.bin" "$T/out/hardlink.bin"
expect_fail "output is a source" "is also given as $T/src/a.bin" -- \
  "$SKARVO" build-iso -o "$T/src/a.bin" "$T/src/a.bin" "$T/src/b.txt"
expect_fail "output is a source by another name" "writing it would destroy that file" -- \
  "$SKARVO" build-iso --quick -o "$T/out/hardlink.bin" "$T/src/b.txt" "$T/src/a.bin"
[ "$(sum "$T/src/a.bin")" = "$a_sum" ] || fail "a source named as the output changed"
no_leftovers "output is a source" "$T/src"

# An image inside its own source folder: neither the older image nor the
# stand-in of a new one goes into the image.
cp -r "$T/src" "$T/self"
for name in self.iso self.iso; do   # the second run finds the first image there
  "$SKARVO" build-iso -o "$T/self/$name" "$T/self" >/dev/null 2>"$T/err.txt" || fail "image in its source folder: $(cat "$T/err.txt")"
  if isoinfo -J -l -i "$T/self/$name" | grep -q "self.iso"; then fail "the image holds itself"; fi
done
rm "$T/self/self.iso"
"$SKARVO" build-iso -o "$T/out/selfcheck.iso" "$T/self" >/dev/null
verify "$T/out/selfcheck.iso" --tree "$T/self"

# Where the image cannot be made, the reason comes before any source is read
# (the missing source would otherwise be reported first).
expect_fail "missing folder" "CAN'T CREATE FILE \"$T/no/such/x.iso\" [the folder $T/no/such does not exist]" -- \
  "$SKARVO" build-iso -o "$T/no/such/x.iso" "$T/missing-source"
expect_fail "existing folder" "[$T/out is an existing folder]" -- \
  "$SKARVO" build-iso -o "$T/out" "$T/missing-source"
mkdir -p "$T/ro"
chmod 555 "$T/ro"
run_as=()
[ "$(id -u)" -eq 0 ] && run_as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
expect_fail "folder without write permission" "[no permission to write in the folder $T/ro]" -- \
  "${run_as[@]}" "$SKARVO" build-iso -o "$T/ro/x.iso" "$T/missing-source"

# --quick reports the size of the image it wrote (no padding to 300 sectors).
mkdir -p "$T/tiny"
echo tiny >"$T/tiny/t.txt"
for mode in "${modes[@]}"; do
  out=$("$SKARVO" build-iso $(mode_args "$mode") -o "$T/out/tiny-$mode.iso" "$T/tiny" 2>/dev/null | tail -1)
  sectors=$(($(stat -c %s "$T/out/tiny-$mode.iso") / 2048))
  [[ "$out" == *": $sectors sectors "* ]] && pass "$mode size line" || fail "$mode: \"$out\" for $sectors sectors"
done

# Boot images: an empty one is named as empty; a size that is no floppy and
# no partitioned disk draws a warning that names the emulation assumed; a
# disk with a partition table does not.
: >"$T/empty.img"
head -c 5000 /dev/urandom >"$T/odd.img"
python3 - "$T/disk.img" <<'EOF'
import struct, sys
mbr = bytearray(512)
mbr[446] = 0x80                          # active
mbr[446 + 4] = 0x0c                      # FAT32 LBA
struct.pack_into("<II", mbr, 446 + 8, 1, 2047)   # first sector, sectors
mbr[510:512] = b"\x55\xaa"
open(sys.argv[1], "wb").write(bytes(mbr) + bytes(2047 * 512))
EOF
"$SKARVO" build-iso -o "$T/out/e.iso" --boot "$T/empty.img" "$T/tiny" >/dev/null 2>"$T/err.txt" || fail "empty boot image: $(cat "$T/err.txt")"
grep -q "empty" "$T/err.txt" && ! grep -q "not found" "$T/err.txt" && pass "empty boot image" || fail "empty boot image: $(cat "$T/err.txt")"
"$SKARVO" build-iso -o "$T/out/o.iso" --boot "$T/odd.img" "$T/tiny" >/dev/null 2>"$T/err.txt" || fail "odd boot image: $(cat "$T/err.txt")"
grep -q "hard-disk emulation" "$T/err.txt" && pass "odd boot image warned" || fail "odd boot image: no warning"
verify "$T/out/o.iso" --tree "$T/tiny" --boot-media hd
"$SKARVO" build-iso -o "$T/out/d.iso" --boot "$T/disk.img" "$T/tiny" >/dev/null 2>"$T/err.txt" || fail "disk boot image: $(cat "$T/err.txt")"
[ -s "$T/err.txt" ] && fail "disk boot image warned: $(cat "$T/err.txt")" || pass "disk boot image without warning"
finish
