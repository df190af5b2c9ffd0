#!/usr/bin/env bash
# Sessions appended with `skarvo burn --import-session` on CD-R, CD-RW, DVD-R,
# DVD+R and DVD+RW of the virtual recorder: xorriso and bsdtar read the last
# session as old plus new (a replaced file in its new version), the first one
# as it was; three sessions, with -1 and 7 both meaning the third; and a
# second session made by a peer program, imported as session 1 and 2.
source "$(dirname "$0")/../integration/common.sh"
for tool in xorriso bsdtar genisoimage python3; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
# The library's fixed pauses (after setting the speed, after closing) are
# shortened: they only wait for real drives.
export SKARVO_VDRIVES=$T/vdrives SKARVO_VDRIVE_CLOCK=0 SKARVO_TIME_SCALE=0.01
"$SKARVO" vdrive add w --model dvd-writer >/dev/null

tree() { # tree DIR NAME=CONTENT...
  local d=$1
  shift
  mkdir -p "$d"
  for kv in "$@"; do
    mkdir -p "$(dirname "$d/${kv%%=*}")"
    printf '%s\n' "${kv#*=}" >"$d/${kv%%=*}"
  done
}
# Names an import must keep as they are, and give valid 8.3 aliases: a
# Joliet name of 108 characters, a folder of 9 letters, names longer than
# 8.3, a name without extension.
long108=$(printf 'L%.0s' $(seq 104)).txt
tree "$T/s1" "a.txt=first a" "keep/k.txt=kept" "My Documents Backup.txt=backup" "$long108=long" \
  "Documents/small_100.dat=small" "README (2).TXT=readme" "A long name with.txt=x" "Big file with.ext=y" "noext=z"
: >"$T/s1/empty.dat"
tree "$T/s2" "a.txt=second a, longer" "b.txt=b"
tree "$T/s3" "a.txt=third" "sub/c.txt=c"
union() { # union OUT DIR...: the trees merged, later files over earlier ones
  local out=$1
  shift
  rm -rf "$out"
  mkdir -p "$out"
  for d in "$@"; do cp -r "$d/." "$out/"; done
}

burn() { # burn SOURCE [options]
  local src=$1
  shift
  "$SKARVO" burn --drive w --yes "$@" "$src/" >"$T/burn.log" 2>&1 || {
    fail "burn $*: $(tail -5 "$T/burn.log")"
    return 1
  }
}

# Start of session N as the drive reports it.
start_of() { "$SKARVO" info --drive w | awk -v n="$1" '$1 == n && NF >= 4 { print $2 }'; }

# bsdtar cuts Joliet names to 103 characters and keeps the "." of "noext.":
# those two names are compared by xorriso only.

# checked NAME IMG START: our own strict check passes on the session at START,
# held to the level 1 names this program writes.
checked() {
  if "$SKARVO" check --level 1 --session-start "$3" "$2" >"$T/check.txt" 2>&1; then
    pass "$1: skarvo check"
  else
    fail "$1: skarvo check: $(grep -v '^  *warning' "$T/check.txt" | head -8)"
  fi
}

# readers NAME IMG START EXPECTED: xorriso and bsdtar read the session at
# START of IMG as the tree EXPECTED, and it passes our own check.
readers() {
  local name=$1 img=$2 start=$3 want=$4
  checked "$name" "$img" "$start"
  rm -rf "$T/x" "$T/b"
  if timeout 60 xorriso -abort_on NEVER -return_with SORRY 32 -load sbsector "$start" -indev "stdio:$img" \
    -osirrox on -extract / "$T/x" >"$T/x.log" 2>&1 && diff -r "$want" "$T/x" >/dev/null; then
    pass "$name: xorriso"
  else
    fail "$name: xorriso: $(diff -r "$want" "$T/x" 2>&1 | head -3) $(tail -3 "$T/x.log")"
  fi
  at16 "$img" "$start" "$T/b.iso"
  mkdir -p "$T/b"
  if bsdtar -tvvf "$T/b.iso" 2>/dev/null | grep -q "Archive Format: ISO9660" &&
    bsdtar --options 'iso9660:!rockridge' -xf "$T/b.iso" -C "$T/b" 2>/dev/null &&
    diff -r -x 'LLLL*' -x 'noext*' -x 'NOEXT*' "$want" "$T/b" >/dev/null; then
    pass "$name: bsdtar"
  else
    fail "$name: bsdtar: $(diff -r -x 'LLLL*' -x 'noext*' -x 'NOEXT*' "$want" "$T/b" 2>&1 | head -3)"
  fi
}

for media in CD-R CD-RW DVD-R DVD+R DVD+RW; do
  "$SKARVO" vdrive insert w --media "$media" >/dev/null
  burn "$T/s1" || continue
  burn "$T/s2" --replace --import-session -1 || continue
  "$SKARVO" vdrive export w "$T/disc.iso" >/dev/null
  union "$T/want12" "$T/s1" "$T/s2"
  if [ "$media" = DVD+RW ]; then
    # One overwritable track: sector 16 describes the newest session.
    readers "$media, last session" "$T/disc.iso" 0 "$T/want12"
  else
    s2=$(start_of 2)
    [ -n "$s2" ] && [ "$s2" -gt 0 ] || { fail "$media: no start of session 2: $("$SKARVO" info --drive w)"; continue; }
    readers "$media, last session" "$T/disc.iso" "$s2" "$T/want12"
    readers "$media, first session" "$T/disc.iso" 0 "$T/s1"
  fi
done

# Three sessions on a CD-R, each burned with --import-session -1.
"$SKARVO" vdrive insert w --media CD-R >/dev/null
burn "$T/s1" --import-session -1 && burn "$T/s2" --replace --import-session -1 &&
  burn "$T/s3" --replace --import-session -1
"$SKARVO" vdrive export w "$T/disc3.iso" >/dev/null
union "$T/want123" "$T/s1" "$T/s2" "$T/s3"
readers "CD-R, three sessions" "$T/disc3.iso" "$(start_of 3)" "$T/want123"
"$SKARVO" ls --drive w --session 7 -R >"$T/ls7.txt" 2>/dev/null
"$SKARVO" ls --drive w --session -1 -R >"$T/ls-1.txt"
"$SKARVO" ls --drive w --session 3 -R >"$T/ls3.txt"
if cmp -s "$T/ls7.txt" "$T/ls3.txt" && cmp -s "$T/ls-1.txt" "$T/ls3.txt" && grep -q '^Session 3 of 3' "$T/ls3.txt"; then
  pass "sessions -1 and 7 are the third"
else
  fail "session numbers: $(head -2 "$T/ls7.txt" "$T/ls-1.txt")"
fi
# A fourth session importing "7" keeps the third's files.
tree "$T/s4" "d.txt=d"
burn "$T/s4" --import-session 7 && "$SKARVO" vdrive export w "$T/disc4.iso" >/dev/null
union "$T/want1234" "$T/s1" "$T/s2" "$T/s3" "$T/s4"
readers "CD-R, session 7 imported" "$T/disc4.iso" "$(start_of 4)" "$T/want1234"

# A second session made by a peer for a disc burned here, imported as
# session 1 and as session 2.
"$SKARVO" vdrive insert w --media CD-R >/dev/null
burn "$T/s1"
"$SKARVO" vdrive export w "$T/p1.iso" >/dev/null
nwa=$("$SKARVO" info --drive w | sed -n 's/^Next Session: starts at sector \([0-9]*\).*/\1/p')
tree "$T/peer" "peer.txt=from the peer"
if [ -z "$nwa" ]; then
  fail "peer session: no next writable address: $("$SKARVO" info --drive w)"
else
  xorriso -abort_on NEVER -as mkisofs -J -C "0,$nwa" -M "$T/p1.iso" -o "$T/p2.iso" "$T/peer" >"$T/p.log" 2>&1 ||
    fail "xorriso -C: $(tail -3 "$T/p.log")"
  "$SKARVO" vdrive append-session w "$T/p2.iso" --at "$nwa" >/dev/null || fail "append-session"
  "$SKARVO" ls --drive w --session 2 -R >"$T/lsp.txt"
  grep -q ' /peer.txt$' "$T/lsp.txt" && grep -qi ' /keep/k.txt$' "$T/lsp.txt" &&
    pass "the peer's session lists old and new" || fail "peer session listing: $(cat "$T/lsp.txt")"
  tree "$T/s5" "e.txt=e"
  burn "$T/s5" --import-session 2 && "$SKARVO" vdrive export w "$T/p3.iso" >/dev/null
  "$SKARVO" ls --image "$T/p3.iso" --session 3 -R >"$T/ls3p.txt"
  grep -q ' /peer.txt$' "$T/ls3p.txt" && grep -q ' /e.txt$' "$T/ls3p.txt" &&
    pass "session 2 of the peer imported" || fail "import of the peer's session: $(cat "$T/ls3p.txt")"
  burn "$T/s5" --import-session 1 && "$SKARVO" vdrive export w "$T/p4.iso" >/dev/null
  union "$T/want15" "$T/s1" "$T/s5"
  readers "session 1 imported past the peer's" "$T/p4.iso" "$(start_of 4)" "$T/want15"
fi
# Discs made by peers, two sessions each (with and without Rock Ridge), and a
# third session burned here: every file of the peer's last session is in ours.
tree "$T/ps1" "a.txt=peer a" "keep/k.txt=kept" "My Documents Backup.txt=backup" "Documents/small_100.dat=small" \
  "noext=z" "deep/er/est/file.txt=deep"
tree "$T/ps2" "a.txt=peer a, second" "b.txt=b"
for peer in "genisoimage -J" "genisoimage -J -r" "xorriso -as mkisofs -J" "xorriso -as mkisofs -J -r"; do
  "$SKARVO" vdrive insert w --media CD-R >/dev/null
  rm -f "$T/q1.iso" "$T/q2.iso"
  $peer -quiet -o "$T/q1.iso" "$T/ps1" >"$T/p.log" 2>&1 || { fail "$peer: $(tail -3 "$T/p.log")"; continue; }
  "$SKARVO" vdrive append-session w "$T/q1.iso" >/dev/null || { fail "$peer: append-session 1"; continue; }
  nwa=$("$SKARVO" info --drive w | sed -n 's/^Next Session: starts at sector \([0-9]*\).*/\1/p')
  [ -n "$nwa" ] || { fail "$peer: no next writable address: $("$SKARVO" info --drive w)"; continue; }
  $peer -quiet -C "0,$nwa" -M "$T/q1.iso" -o "$T/q2.iso" "$T/ps2" >"$T/p.log" 2>&1 ||
    { fail "$peer -C: $(tail -3 "$T/p.log")"; continue; }
  "$SKARVO" vdrive append-session w "$T/q2.iso" --at "$nwa" >/dev/null || { fail "$peer: append-session 2"; continue; }
  burn "$T/s3" --replace --import-session -1 || continue
  grep -qi "left out" "$T/burn.log" && fail "$peer: the burn left files out: $(grep -i 'left out' "$T/burn.log")"
  "$SKARVO" vdrive export w "$T/q.iso" >/dev/null
  # The peer's own second session, as xorriso reads it (without Rock Ridge a
  # peer merges the first session under its 8.3 names), under the third.
  rm -rf "$T/qlast"
  timeout 60 xorriso -abort_on NEVER -load sbsector "$nwa" -indev "stdio:$T/q.iso" -osirrox on \
    -extract / "$T/qlast" >/dev/null 2>&1 || fail "$peer: xorriso cannot read the peer's session"
  [ -f "$T/qlast/b.txt" ] || fail "$peer: the peer's second session lacks b.txt"
  # The new a.txt, burned with --replace, takes the place of every a.txt of
  # the disc whatever its case (a peer's merge may record A.TXT beside it);
  # "NAME." reads as "NAME" in our session.
  rm -f "$T/qlast/A.TXT" "$T/qlast/a.txt"
  union "$T/wantp" "$T/qlast" "$T/s3"
  find "$T/wantp" -name '*.' -type f | while read -r f; do mv "$f" "${f%.}"; done
  readers "$peer, third session" "$T/q.iso" "$(start_of 3)" "$T/wantp"
done
finish
