#!/usr/bin/env bash
# Source entries that cannot be read: folders that cannot be listed or
# entered, files that cannot be read. Each is named on stderr, the image
# holds everything else, and the exit status is 1. Root reads everything, so
# the build runs as an unprivileged user.
source "$(dirname "$0")/common.sh"

as_user=()
if [ "$(id -u)" -eq 0 ]; then
  if ! command -v setpriv >/dev/null; then
    echo "SKIP: setpriv is not installed, and root reads every folder"
    exit 0
  fi
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  if ! "${as_user[@]}" test -x "$SKARVO"; then
    echo "SKIP: $SKARVO cannot be run by the unprivileged user (uid 65534)"
    exit 0
  fi
fi

S=$T/src
mkdir -p "$S/ok/deeper" "$S/locked" "$S/noexec/sub" "$S/listonly" "$T/out"
echo a >"$S/ok/a.txt"
echo deep >"$S/ok/deeper/d.txt"
echo b >"$S/locked/b.txt"
echo c >"$S/noexec/c.txt"
echo d >"$S/noexec/sub/d.txt"
echo e >"$S/listonly/e.txt"
echo s >"$S/secret.txt"
ln -s "$S/nowhere" "$S/dangling"
ln -s "$S/loop2" "$S/loop1"
ln -s "$S/loop1" "$S/loop2"
mkfifo "$S/pipe"
chmod 000 "$S/locked" "$S/secret.txt"
chmod 644 "$S/noexec"     # names can be read, but not entered
chmod 311 "$S/listonly"   # can be entered, not listed
chmod 777 "$T/out"

rc=0
"${as_user[@]}" "$SKARVO" build-iso -o "$T/out/part.iso" "$S" >/dev/null 2>"$T/err.txt" || rc=$?
[ "$rc" -eq 1 ] && pass "exit status 1" || fail "exit status $rc, expected 1: $(cat "$T/err.txt")"
for lost in locked noexec/c.txt noexec/sub listonly secret.txt; do
  grep -qE "^skarvo: left out $S/$lost: .*(denied|read)" "$T/err.txt" || fail "$lost is not named as left out"
done
for over in dangling loop1 loop2 pipe; do
  grep -qF "passed over $S/$over: " "$T/err.txt" || fail "$over is not named as passed over"
done
grep -qF "the image lacks 5 source entries" "$T/err.txt" || fail "no closing count: $(tail -1 "$T/err.txt")"
if [ -f "$T/out/part.iso" ]; then
  verify "$T/out/part.iso"
  mkdir "$T/x"
  bsdtar -xf "$T/out/part.iso" -C "$T/x"
  got=$(cd "$T/x" && find . -type f | sort | tr '\n' ' ')
  [ "$got" = "./ok/a.txt ./ok/deeper/d.txt " ] || fail "image holds: $got"
  [ "$(cat "$T/x/ok/deeper/d.txt")" = deep ] || fail "contents of ok/deeper/d.txt"
else
  fail "no image written: what could be read is lost too"
fi

# Everything readable: no note, exit 0.
rc=0
"${as_user[@]}" "$SKARVO" build-iso -o "$T/out/full.iso" "$S/ok" >/dev/null 2>"$T/err.txt" || rc=$?
[ "$rc" -eq 0 ] && [ ! -s "$T/err.txt" ] && pass "a readable tree builds silently" ||
  fail "readable tree: exit $rc, $(cat "$T/err.txt")"
finish
