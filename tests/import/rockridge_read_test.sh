#!/usr/bin/env bash
# Rock Ridge discs made by the Linux peers (genisoimage -R, xorriso -R), read
# by `skarvo ls` and `skarvo extract`: long and unicode names, symbolic links
# (relative, absolute, dangling, leaving the folder), modes 0600, 0755 and
# 04755, a tree 12 folders deep (relocated by genisoimage) and hard links,
# against the source tree and the peers' own listings; `check` finds them
# sound; --joliet and --primary choose the other trees.
source "$(dirname "$0")/../integration/common.sh"
for tool in genisoimage xorriso python3; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
umask 022

src=$T/src
mkdir -p "$src"
python3 - "$src" <<'PY'
import os, sys
os.chdir(sys.argv[1])
open('L' * 120 + '\u00e9' * 40 + '.txt', 'w').write('long\n')       # 204 bytes
open('n' * 230, 'w').write('x' * 5000)
open('\u00fcn\u00efc\u00f8d\u00e9 \u2603 \U0001F600.txt', 'w').write('snow\n')
open('secret', 'w').write('s'); os.chmod('secret', 0o600)
open('tool', 'w').write('#!/bin/sh\n'); os.chmod('tool', 0o755)
open('suid', 'w').write('x'); os.chmod('suid', 0o4755)
os.symlink('tool', 'rel-link')
os.symlink('/etc/passwd', 'abs-link')
os.symlink('missing/nowhere', 'dangling')
os.symlink('../../outside', 'escape')
os.symlink('d' * 150 + '/' + 'e' * 150 + '/target', 'long-link')
os.link('tool', 'hard')
d = '.'
for i in range(12):
    d = os.path.join(d, 'deep%02d' % i)
    os.mkdir(d)
open(os.path.join(d, 'bottom.txt'), 'w').write('bottom\n')
os.utime('secret', (1000000000, 1000000000))
PY

genisoimage -quiet -R -J -joliet-long -o "$T/geni.iso" "$src" 2>/dev/null || fail "genisoimage"
xorriso -as mkisofs -R -o "$T/xorr.iso" "$src" 2>/dev/null || fail "xorriso"

# compare.py SRC OUT: the extracted tree against the source: names, types,
# link targets, modes (less the umask, no set-id bits), contents, times.
cat >"$T/compare.py" <<'PY'
import os, stat, sys
src, out = sys.argv[1], sys.argv[2]
def walk(top):
    found = {}
    for root, dirs, files in os.walk(top):
        for n in dirs + files:
            p = os.path.join(root, n)
            found[os.path.relpath(p, top)] = os.lstat(p)
    return found
a, b = walk(src), walk(out)
bad = []
for p in sorted(set(a) | set(b)):
    if p not in b: bad.append('missing ' + p); continue
    if p not in a: bad.append('extra ' + p); continue
    sa, sb = a[p], b[p]
    if stat.S_IFMT(sa.st_mode) != stat.S_IFMT(sb.st_mode):
        bad.append('type of %s: %o, source %o' % (p, sb.st_mode, sa.st_mode)); continue
    if stat.S_ISLNK(sa.st_mode):
        if os.readlink(os.path.join(src, p)) != os.readlink(os.path.join(out, p)):
            bad.append('target of ' + p)
        continue
    if stat.S_IMODE(sb.st_mode) != stat.S_IMODE(sa.st_mode) & 0o755:
        bad.append('mode of %s: %o, source %o' % (p, stat.S_IMODE(sb.st_mode), stat.S_IMODE(sa.st_mode)))
    if stat.S_ISREG(sa.st_mode):
        if open(os.path.join(src, p), 'rb').read() != open(os.path.join(out, p), 'rb').read():
            bad.append('content of ' + p)
        if int(sa.st_mtime) != int(sb.st_mtime):
            bad.append('time of %s: %d, source %d' % (p, sb.st_mtime, sa.st_mtime))
print('\n'.join(bad))
sys.exit(1 if bad else 0)
PY

# listing.py: our `ls -R -l` and xorriso's `lsdl` as "mode path [-> target]"
# lines, sorted; the relocation folder of genisoimage left out of both.
cat >"$T/listing.py" <<'PY'
import re, sys
kind, lines = sys.argv[1], sys.stdin.read().splitlines()
out = []
for l in lines:
    if kind == 'ours':
        m = re.match(r'^([-dl][-rwxsStT]{9}) +\d+ +\d+ +\d+ [-dl] +\d+  \S+ \S+ +\d+  (.*?)/?( -> (.*))?$', l)
        if not m: continue
        mode, path, target = m.group(1), m.group(2), m.group(4)
    else:
        m = re.match(r"^([-dl][-rwxsStT]{9}) .*? '(.*?)'( -> '(.*)')?$", l)
        if not m or m.group(2) == '/': continue
        mode, path, target = m.group(1), m.group(2), m.group(4)
    if path.startswith('/rr_moved'): continue
    out.append(mode + ' ' + path + (' -> ' + target if target else ''))
print('\n'.join(sorted(out)))
PY

for peer in geni xorr; do
  img=$T/$peer.iso
  # ls: the peer's own reading of its disc, line for line.
  "$SKARVO" ls --image "$img" -R -l / >"$T/$peer-ls.txt" 2>"$T/err.txt" || fail "$peer: ls: $(cat "$T/err.txt")"
  head -1 "$T/$peer-ls.txt" | grep -q "Rock Ridge names" || fail "$peer: ls does not read Rock Ridge"
  python3 "$T/listing.py" ours <"$T/$peer-ls.txt" >"$T/$peer-ours.txt"
  xorriso -indev "stdio:$img" -find / -exec lsdl 2>"$T/err.txt" | python3 "$T/listing.py" xorriso >"$T/$peer-xorriso.txt"
  [ "$(wc -l <"$T/$peer-ours.txt")" -ge 25 ] || fail "$peer: ls shows too little: $(cat "$T/$peer-ls.txt")"
  diff "$T/$peer-xorriso.txt" "$T/$peer-ours.txt" >"$T/diff.txt" && pass "$peer: ls -R -l matches xorriso's listing" ||
    fail "$peer: ls -R -l differs from xorriso: $(cat "$T/diff.txt")"
  # The deep folder once, at its place; isoinfo -R agrees on the names.
  [ "$(grep -c '/bottom.txt$' "$T/$peer-ls.txt")" = 1 ] && grep -q '/deep00/.*/deep11/bottom.txt$' "$T/$peer-ls.txt" &&
    pass "$peer: the deep folder appears once, at its place" || fail "$peer: deep folder: $(grep deep "$T/$peer-ls.txt")"
  isoinfo -R -f -i "$img" 2>/dev/null | grep -v '^/rr_moved' | sort >"$T/$peer-isoinfo.txt"
  sed -n 's/^.\{10\} \+[0-9]\+ \+[0-9]\+ \+[0-9]\+ [-dl] \+[0-9]\+  [^ ]* [^ ]* \+[0-9]\+  \(.*[^/]\)\/\?\( -> .*\)\?$/\1/p' \
    "$T/$peer-ls.txt" | sed 's/ -> .*$//' | sort >"$T/$peer-names.txt"
  if [ "$peer" = xorr ]; then
    diff "$T/$peer-isoinfo.txt" "$T/$peer-names.txt" >"$T/diff.txt" && pass "$peer: names match isoinfo -R" ||
      fail "$peer: names differ from isoinfo -R: $(cat "$T/diff.txt")"
  fi

  # extract: the source tree back, modes less the umask, links as links.
  out=$T/out-$peer
  "$SKARVO" extract --image "$img" -C "$out" / >/dev/null 2>"$T/err.txt" || fail "$peer: extract: $(cat "$T/err.txt")"
  rmdir "$out/rr_moved" 2>/dev/null || true
  python3 "$T/compare.py" "$src" "$out" >"$T/diff.txt" && pass "$peer: extract gives the source tree back" ||
    fail "$peer: extract differs: $(cat "$T/diff.txt")"
  [ "$(stat -c %a "$out/secret")" = 600 ] && pass "$peer: a 0600 file stays 0600" || fail "$peer: secret is $(stat -c %a "$out/secret")"
  [ -L "$out/escape" ] && [ "$(readlink "$out/escape")" = ../../outside ] && [ ! -e "$T/outside" ] &&
    pass "$peer: a link leaving the folder is made as a link" || fail "$peer: escape link"
  [ "$(stat -c %i "$out/hard")" = "$(stat -c %i "$out/tool")" ] && pass "$peer: hard links are made links again" ||
    fail "$peer: hard links extracted as copies"
  [ "$(stat -c %a "$out/suid")" = 755 ] || fail "$peer: set-user-id bit given: $(stat -c %a "$out/suid")"
  # The sound disc checks clean.
  "$SKARVO" check -q "$img" >"$T/check.txt" 2>&1 && grep -q "0 errors.*Rock Ridge" "$T/check.txt" &&
    pass "$peer: check finds no error" || fail "$peer: check: $(cat "$T/check.txt")"
done

# A second extract over the first: links and files kept unless --overwrite,
# which replaces a link itself, never what it points at.
printf 'keep\n' >"$T/victim"
ln -sf "$T/victim" "$T/out-geni/tool"
"$SKARVO" extract --image "$T/geni.iso" -C "$T/out-geni" --overwrite / >/dev/null 2>"$T/err.txt" || fail "overwrite: $(cat "$T/err.txt")"
[ "$(cat "$T/victim")" = keep ] && [ ! -L "$T/out-geni/tool" ] && cmp -s "$T/out-geni/tool" "$src/tool" &&
  pass "--overwrite replaces a planted link, not its target" || fail "planted link followed"

# The other trees on request.
"$SKARVO" ls --image "$T/geni.iso" --joliet / >"$T/j.txt" 2>/dev/null && head -1 "$T/j.txt" | grep -q "Joliet names" &&
  ! grep -q -- ' -> ' "$T/j.txt" && pass "--joliet reads the Joliet tree" || fail "--joliet: $(head -3 "$T/j.txt")"
"$SKARVO" ls --image "$T/xorr.iso" --primary / >"$T/p.txt" 2>/dev/null && head -1 "$T/p.txt" | grep -q "ISO 9660 names" &&
  grep -q '/SECRET' "$T/p.txt" && pass "--primary reads the ISO 9660 names" || fail "--primary: $(head -3 "$T/p.txt")"
"$SKARVO" ls --image "$T/xorr.iso" --primary --joliet / >/dev/null 2>&1 && fail "--primary with --joliet accepted" ||
  pass "--primary with --joliet is refused"
finish
