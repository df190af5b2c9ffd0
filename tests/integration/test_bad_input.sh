#!/usr/bin/env bash
# Bad input: clear messages, a non-zero exit, and no partial image left.
source "$(dirname "$0")/common.sh"

mkdir -p "$T/src" "$T/out"
chmod 777 "$T/out"
echo hello >"$T/src/a.txt"

expect_fail "missing source" "$T/nope" -- "$SKARVO" build-iso -o "$T/out/m.iso" "$T/src" "$T/nope"
[ -e "$T/out/m.iso" ] && fail "missing source: an image was written"

expect_fail "uncreatable output" "CAN'T CREATE FILE \"$T/no/such/dir/x.iso\"" -- \
  "$SKARVO" build-iso -o "$T/no/such/dir/x.iso" "$T/src"
expect_fail "output is a folder" "CAN'T CREATE FILE" -- "$SKARVO" build-iso -o "$T/out" "$T/src"
[ -d "$T/out" ] || fail "the output folder was removed"
expect_fail "uncreatable output, quick" "CAN'T CREATE FILE" -- \
  "$SKARVO" build-iso --quick -o "$T/no/such/dir/x.iso" "$T/src"

mkdir -p "$T/empty/sub"
expect_fail "empty compilation" "nothing to write" -- "$SKARVO" build-iso -o "$T/out/e.iso" "$T/empty"
[ -e "$T/out/e.iso" ] && fail "empty compilation: an image was written"

# A file of 4 TiB (sparse), past what 32-bit sector addresses reach, is
# refused by name; nothing is written.
mkdir -p "$T/big"
echo small >"$T/big/small.txt"
truncate -s 4T "$T/big/huge.bin"
expect_fail "4 TiB file" "$T/big/huge.bin" -- "$SKARVO" build-iso -o "$T/out/big.iso" "$T/big"
[ -e "$T/out/big.iso" ] && fail "4 TiB file: an image was written"
rm -f "$T/big/huge.bin"

# A missing boot image: a warning, and an image that is not bootable.
if "$SKARVO" build-iso -o "$T/out/nb.iso" --boot "$T/missing.img" "$T/src" >/dev/null 2>"$T/err.txt"; then
  grep -q "missing.img" "$T/err.txt" || fail "missing boot image: no warning"
  grep -q "El Torito" <<<"$(isoinfo -d -i "$T/out/nb.iso")" && fail "missing boot image: El Torito present"
  verify "$T/out/nb.iso" --tree "$T/src"
else
  fail "missing boot image: $(cat "$T/err.txt")"
fi

expect_fail "no output option" "-o IMAGE" -- "$SKARVO" build-iso "$T/src"
expect_fail "unknown option" "--bogus" -- "$SKARVO" build-iso -o "$T/out/x.iso" --bogus "$T/src"
expect_fail "bad save path" "--save-path" -- "$SKARVO" build-iso -o "$T/out/x.iso" --save-path half "$T/src"

# A source file that cannot be read when the image is built. Root reads
# everything, so the build then runs as nobody.
run_as=()
if [ "$(id -u)" -eq 0 ]; then
  run_as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  chmod 755 "$T/src"
  chmod 644 "$T/src/a.txt"
fi
mkdir -p "$T/locked"
head -c 5000000 /dev/urandom >"$T/locked/1-big.bin"   # the writer has started by then
echo secret >"$T/locked/2-secret.txt"
chmod 755 "$T/locked"
chmod 644 "$T/locked/1-big.bin"
chmod 000 "$T/locked/2-secret.txt"
# A file that cannot be read is left out and named before anything is
# written; the image holds the rest and the exit status is 1.
for mode in threaded quick; do
  args=()
  [ "$mode" = quick ] && args=(--quick)
  expect_fail "unreadable file, $mode" "left out $T/locked/2-secret.txt: cannot be read" -- \
    "${run_as[@]}" "$SKARVO" build-iso -o "$T/out/l-$mode.iso" --cache-size 2 "${args[@]}" "$T/locked"
  [ "$(isoinfo -J -l -i "$T/out/l-$mode.iso" 2>/dev/null | grep -c '\.bin;1')" = 1 ] ||
    fail "unreadable file, $mode: the readable file is not in the image"
done
# Nothing readable: nothing is written, and an older image of the same name
# is left alone.
rm -f "$T/locked/1-big.bin"
echo "old image" >"$T/out/old.iso"
chmod 666 "$T/out/old.iso"
expect_fail "unreadable file, older image" "left out $T/locked/2-secret.txt" -- \
  "${run_as[@]}" "$SKARVO" build-iso -o "$T/out/old.iso" "$T/locked"
[ ! -e "$T/out/old.iso" ] || [ "$(cat "$T/out/old.iso")" = "old image" ] || fail "an older image was left half overwritten"
finish
