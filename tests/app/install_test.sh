#!/usr/bin/env bash
# `cmake --install` puts the program, the recorder library beside it, the
# desktop entry and the icon where the desktop looks for them.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/skarvo-burner bin/libwnaspi32.so share/applications/skarvo-burner.desktop \
         share/icons/hicolor/64x64/apps/skarvo-burner.png; do
  [ -s "$prefix/$f" ] || { echo "FAIL: $f not installed"; exit 1; }
done
grep -qx 'Exec=skarvo-burner' "$prefix/share/applications/skarvo-burner.desktop" || { echo "FAIL: Exec line"; exit 1; }
grep -qx 'Icon=skarvo-burner' "$prefix/share/applications/skarvo-burner.desktop" || { echo "FAIL: Icon line"; exit 1; }
head -c 8 "$prefix/share/icons/hicolor/64x64/apps/skarvo-burner.png" | od -An -tx1 | grep -q '89 50 4e 47' ||
  { echo "FAIL: the icon is no PNG"; exit 1; }
# The installed program finds its libraries from where it stands.
if ldd "$prefix/bin/skarvo-burner" | grep -q 'not found'; then
  echo "FAIL: unresolved libraries"; exit 1
fi
echo PASS
