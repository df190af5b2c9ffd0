#!/usr/bin/env bash
# Awkward names: backslashes, names that differ only by case, 105 and 200
# characters, characters outside the BMP, colliding aliases. Every reader
# must accept the image, and every file that goes in keeps its data.
source "$(dirname "$0")/common.sh"

# hashes DIR [SKIP-PREFIX]: sorted SHA-1 of every file's contents.
hashes() {
  python3 - "$@" <<'PY'
import hashlib, os, sys
skip = sys.argv[2] if len(sys.argv) > 2 else None
out = []
for d, _, fs in os.walk(sys.argv[1]):
    for f in fs:
        if skip and f.startswith(skip):
            continue
        out.append(hashlib.sha1(open(os.path.join(d, f), "rb").read()).hexdigest())
print("\n".join(sorted(out)))
PY
}

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
  got=$(hashes "$T/x")
  want=$(hashes "$T/src" xxxxxxxxxx)
  [ "$got" = "$want" ] || fail "$mode: extracted contents differ from the sources"
  n=$(find "$T/x" -type f | wc -l)
  [ "$n" -eq "$(find "$T/src" -type f | wc -l)" ] || [ "$n" -eq $(($(find "$T/src" -type f | wc -l) - 1)) ] ||
    fail "$mode: $n files extracted"
  # Names: backslashes became "_", both case variants are kept.
  [ -f "$T/x/back_slash.txt" ] || fail "$mode: back\\slash.txt not stored as back_slash.txt"
  [ -f "$T/x/dir_with_backslashes/inside.txt" ] || fail "$mode: folder with backslashes"
  [ "$(ls "$T/x" | grep -ci '^readme.*txt$')" = 3 ] || fail "$mode: case variants of readme.txt lost: $(ls "$T/x")"
  # A 104-character name fits a Joliet record as it is; 109 characters are
  # shortened, keeping the extension. (bsdtar cuts Joliet names at 103
  # characters, so ask the others.)
  z100="$(printf 'z%.0s' $(seq 100)).txt"
  listing=$(isoinfo -J -l -i "$T/$mode.iso")
  grep -qF " $z100;1" <<<"$listing" || fail "$mode: isoinfo lacks the 104-character name"
  grep -qF " $z100" <<<"$(7z l "$T/$mode.iso")" || fail "$mode: 7z lacks the 104-character name"
  grep -qE " y{90,108}[^ ]*\.txt;1" <<<"$listing" || fail "$mode: the 109-character name is not there shortened"
done
finish
