#!/usr/bin/env bash
# Awkward names: backslashes, names that differ only by case, 105 and 200
# characters, characters outside the BMP, colliding aliases. Every reader
# must accept the image, and every file that goes in keeps its data.
source "$(dirname "$0")/common.sh"

python3 "$HERE/gen_tree.py" names "$T/src"
for mode in threaded quick; do
  args=()
  [ "$mode" = quick ] && args=(--quick)
  if ! "$SKARVO" build-iso -o "$T/$mode.iso" "${args[@]}" "$T/src" >/dev/null 2>"$T/err.txt"; then
    fail "build-iso $mode: $(cat "$T/err.txt")"
    continue
  fi
  # The 200-character file name cannot be a Joliet record: left out, named.
  grep -qF "xxxxxxxxxx" "$T/err.txt" || fail "$mode: the over-long file name was left out silently"
  verify "$T/$mode.iso" --min-files 50
  # Contents: every file in the image is one of the sources, none twice, and
  # all but the over-long one are there.
  rm -rf "$T/x" && mkdir "$T/x"
  bsdtar -xf "$T/$mode.iso" -C "$T/x"
  got=$(cd "$T/x" && find . -type f -print0 | xargs -0 sha1sum | cut -d' ' -f1 | sort)
  want=$(cd "$T/src" && find . -type f ! -name 'xxxxxxxxxx*' -print0 | xargs -0 sha1sum | cut -d' ' -f1 | sort)
  [ "$got" = "$want" ] || fail "$mode: extracted contents differ from the sources"
  n=$(find "$T/x" -type f | wc -l)
  [ "$n" -eq "$(find "$T/src" -type f | wc -l)" ] || [ "$n" -eq $(($(find "$T/src" -type f | wc -l) - 1)) ] ||
    fail "$mode: $n files extracted"
  # Names: backslashes became "_", both case variants are kept.
  [ -f "$T/x/back_slash.txt" ] || fail "$mode: back\\slash.txt not stored as back_slash.txt"
  [ -f "$T/x/dir_with_backslashes/inside.txt" ] || fail "$mode: folder with backslashes"
  [ "$(ls "$T/x" | grep -ci '^readme.*txt$')" = 3 ] || fail "$mode: case variants of readme.txt lost: $(ls "$T/x")"
  [ -f "$T/x/$(printf 'y%.0s' $(seq 105)).txt" ] || fail "$mode: the 105-character name"
done
finish
