#!/usr/bin/env bash
# Rock Ridge written by `skarvo build-iso`: a tree with long and unicode
# names, symbolic links (relative, absolute, dangling, to a folder), modes
# 0600, 0755 and 04755, a 0700 folder, depth 12 and hard links, read back by
# xorriso, bsdtar and isoinfo and compared with the source; checked by
# `skarvo check`. With "qemu" as argument: the Linux kernel's isofs in a QEMU
# guest mounts the image and lists it as the source lists itself.
source "$(dirname "$0")/../integration/common.sh"
for tool in xorriso bsdtar isoinfo python3; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
S=$T/src
long=$(printf 'L%.0s' $(seq 1 230))
mkdir -p "$S/d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/d11/d12" "$S/private" "$S/Dossier été"
echo deep >"$S/d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/d11/d12/f.txt"
echo long >"$S/$long.txt"
echo uni >"$S/Dossier été/ünïcødé ñame — 日本.txt"
echo colon >"$S/co:lon?.txt"
echo noext >"$S/Makefile"
echo secret >"$S/secret" && chmod 600 "$S/secret"
printf '#!/bin/sh\n' >"$S/run.sh" && chmod 755 "$S/run.sh"
echo suid >"$S/suid" && chmod 4755 "$S/suid"
echo p >"$S/private/p.txt" && chmod 700 "$S/private"
echo hard >"$S/hard1" && ln "$S/hard1" "$S/hard2"
ln -s run.sh "$S/rel"
ln -s /etc/passwd "$S/abs"
ln -s nowhere/at/all "$S/dangling"
ln -s d1/d2 "$S/dirlink"
touch -h -d '2021-03-04 05:06:07 UTC' "$S/rel" "$S/secret" "$S/d1"

# tree.py DIR: one line per entry below DIR, sorted: path, type and mode
# bits, owners, modify time (not for folders: extracting touches them),
# then the link target or the content's digest.
cat >"$T/tree.py" <<'EOF'
import hashlib, os, stat, sys
root = sys.argv[1]
link_times = "--no-link-times" not in sys.argv
owners = os.getuid() == 0
out = []
for d, dirs, files in os.walk(root):
    for n in dirs + files:
        p = os.path.join(d, n)
        st = os.lstat(p)
        rel = os.path.relpath(p, root)
        line = [rel, oct(st.st_mode)]
        if owners:
            line += [str(st.st_uid), str(st.st_gid)]
        if not stat.S_ISDIR(st.st_mode) and (link_times or not stat.S_ISLNK(st.st_mode)):
            line.append(str(int(st.st_mtime)))
        if stat.S_ISLNK(st.st_mode):
            line.append("-> " + os.readlink(p))
        elif stat.S_ISREG(st.st_mode):
            line.append(hashlib.md5(open(p, "rb").read()).hexdigest())
        out.append(" ".join(line))
print("\n".join(sorted(out)))
EOF
python3 "$T/tree.py" "$S" >"$T/want.txt"

build() {
  local iso=$1
  shift
  "$SKARVO" build-iso -o "$iso" "$@" "$S" >"$T/build.log" 2>&1 || fail "build-iso $*: $(tail -3 "$T/build.log")"
  "$SKARVO" check "$iso" >"$T/check.txt" 2>&1 && pass "skarvo check $*" || fail "skarvo check $*: $(head -8 "$T/check.txt")"
}

if [ "${1:-}" = qemu ]; then
  command -v busybox >/dev/null || { echo "skipped: busybox is not installed"; exit 77; }
  build "$T/keep.iso" --symlinks --keep-permissions
  # The same listing on both sides, by busybox: mode, link count, owners,
  # modify and change times, type, digest of files, name and link target.
  list='cd "$R" && find . ! -name . | sort | while IFS= read -r f; do if [ -L "$f" ] || [ -d "$f" ]; then s=-; else s=$(md5sum <"$f" | cut -c1-32); fi; echo "L: $(stat -c "%a %h %u %g %Y %Z %F" "$f") $s $(stat -c %N "$f")"; done'
  R=$S busybox sh -c "$list" >"$T/host.txt"
  guest_compare "$T/keep.iso" "" "$list" "$T/host.txt" "$T/guest.txt" \
    "the Linux kernel mounts the tree as the source (names, modes, owners, times, links)"
  finish
  exit 0
fi

# Kept permissions and links: every reader that extracts gives the source.
build "$T/keep.iso" --symlinks --keep-permissions
mkdir -p "$T/x-bsdtar" "$T/x-xorriso"
bsdtar -xpf "$T/keep.iso" --numeric-owner -C "$T/x-bsdtar" 2>"$T/bsdtar.log" || fail "bsdtar: $(tail -3 "$T/bsdtar.log")"
python3 "$T/tree.py" "$T/x-bsdtar" >"$T/got.txt"
diff "$T/want.txt" "$T/got.txt" >"$T/diff.txt" && pass "bsdtar extracts the source tree" ||
  fail "bsdtar's tree differs: $(head -20 "$T/diff.txt")"
# Hard links: one copy of the data in the image, and links again when extracted.
[ "$(stat -c %h "$T/x-bsdtar/hard2")" = 2 ] && [ "$(stat -c %i "$T/x-bsdtar/hard1")" = "$(stat -c %i "$T/x-bsdtar/hard2")" ] &&
  pass "bsdtar extracts the hard links as links" || fail "hard links: $(ls -li "$T/x-bsdtar" | grep hard)"
bsdtar -tvf "$T/keep.iso" | grep -Eq "hard[12] link to hard[12]$" && pass "the hard links share one copy" ||
  fail "the hard links are stored twice: $(bsdtar -tvf "$T/keep.iso" | grep hard)"
# xorriso does not restore the times of links.
xorriso -osirrox on -indev stdio:"$T/keep.iso" -extract / "$T/x-xorriso" >"$T/xorriso.log" 2>&1 ||
  fail "xorriso extract: $(tail -3 "$T/xorriso.log")"
python3 "$T/tree.py" "$S" --no-link-times >"$T/want-x.txt"
python3 "$T/tree.py" "$T/x-xorriso" --no-link-times >"$T/got.txt"
diff "$T/want-x.txt" "$T/got.txt" >"$T/diff.txt" && pass "xorriso extracts the source tree" ||
  fail "xorriso's tree differs: $(head -20 "$T/diff.txt")"
# xorriso and isoinfo list names, modes and links as the source has them
# ("mode /path -> target"; isoinfo shows no set-id bits).
(cd "$S" && find . -mindepth 1 -printf '%M /%P -> %l\n' | sed 's/ -> $//' | sort) >"$T/want-ls.txt"
xorriso -indev stdio:"$T/keep.iso" -find / -exec lsdl 2>/dev/null | python3 -c '
import sys
for l in sys.stdin:
    l = l.rstrip("\n")
    q = l.index(" \x27/")
    rest = l[q + 2:]
    name, _, link = rest.partition("\x27 -> \x27")
    name = name.rstrip("\x27")
    if name != "/":
        print(l.split()[0], name + (" -> " + link.rstrip("\x27") if link else ""))' | sort >"$T/got-ls.txt"
diff "$T/want-ls.txt" "$T/got-ls.txt" >"$T/diff.txt" && pass "xorriso lists the source tree" ||
  fail "xorriso's listing differs: $(head -20 "$T/diff.txt")"
isoinfo -R -l -i "$T/keep.iso" 2>/dev/null | awk '
  /^Directory listing of / { dir = substr($0, 22); next }
  NF >= 11 { name = $0; sub(/^[^]]*\] +/, "", name); sub(/ +$/, "", name)
             if (name == "." || name == "..") next
             print $1, dir name }' | sort >"$T/got-ls.txt"
sed 's/^\(...\)s/\1x/' "$T/want-ls.txt" | sort >"$T/want-isoinfo.txt"
diff "$T/want-isoinfo.txt" "$T/got-ls.txt" >"$T/diff.txt" && pass "isoinfo -R lists the source tree" ||
  fail "isoinfo's listing differs: $(head -20 "$T/diff.txt")"

# Rational modes by default: owners 0, readable by all, no write or set-id
# bits, execute for all when any; links followed (the link is a copy).
build "$T/plain.iso"
# The long name is shortened in the Joliet tree, and the build says so once.
grep -c "name is longer than a Joliet record" "$T/build.log" | grep -qx 1 && grep -q "$long.txt" "$T/build.log" &&
  pass "one line names the name the Joliet tree shortens" || fail "no note of the Joliet name: $(cat "$T/build.log")"
xorriso -indev stdio:"$T/plain.iso" -find / -exec lsdl 2>/dev/null >"$T/plain.txt"
for want in "^-r--r--r-- .* 0 *0 .* '/secret'" "^-r-xr-xr-x .* 0 *0 .* '/run.sh'" "^-r-xr-xr-x .* 0 *0 .* '/suid'" \
  "^dr-xr-xr-x .* 0 *0 .* '/private'" "^-r-xr-xr-x .* '/rel'$" "^-r--r--r-- .* '/Makefile'" "'/$long.txt'$"; do
  grep -q -- "$want" "$T/plain.txt" || fail "default modes: no line like \"$want\": $(head -5 "$T/plain.txt")"
done
grep -q "dangling" "$T/plain.txt" && fail "a dangling link was stored while links are followed"
[ "$fails" -eq 0 ] && pass "rational modes, links followed"
# Joliet (as 7z reads it) has the long name shortened, and no entry for a link.
if command -v 7z >/dev/null; then
  7z l "$T/keep.iso" >"$T/joliet.txt" 2>&1
  grep -q " L\{104\}\.txt$" "$T/joliet.txt" && ! grep -qE " (rel|abs|dangling|dirlink)$" "$T/joliet.txt" &&
    pass "the Joliet tree has the shortened name and no links" || fail "Joliet tree: $(tail -20 "$T/joliet.txt")"
fi

# Without Rock Ridge nothing of it is written.
build "$T/norr.iso" --no-rock-ridge
isoinfo -d -i "$T/norr.iso" | grep -q "Rock Ridge signatures" && fail "--no-rock-ridge still wrote Rock Ridge" ||
  pass "--no-rock-ridge writes none"
isoinfo -d -i "$T/plain.iso" | grep -q "Rock Ridge signatures" && pass "Rock Ridge is on by default" ||
  fail "no Rock Ridge by default"
finish
