#!/usr/bin/env bash
# Memory of large compilations, end to end: `skarvo build-iso` and `skarvo
# burn --verify` of 50,000 small real files in 1,700 folders stay under a
# bound proportional to the entries (a fixed part plus 850 bytes per entry).
# With a whole source path per file the two took over 1,000 bytes per entry;
# they take about 740 now, header image with Rock Ridge included.
source "$(dirname "$0")/../integration/common.sh"
command -v /usr/bin/time >/dev/null || { echo "skipped: /usr/bin/time is not installed"; exit 77; }
files=50000
dirs=1700
bash "$HERE/../../bench/layout/bench-burn-memory.sh" "$SKARVO" $files $dirs >"$T/rss.txt" 2>"$T/err.txt" ||
  { fail "the measuring script: $(tail -5 "$T/err.txt")"; finish; }
cat "$T/rss.txt"
for what in build-iso burn; do
  line=$(awk -v w=$what '$1 == w' "$T/rss.txt")
  [ -n "$line" ] || { fail "no figure for $what"; continue; }
  if awk '{ for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } }
          END { exit !(v["peak_rss_MiB"] * 1048576 <= 12 * 1048576 + 850 * v["entries"]) }' <<<"$line"; then
    pass "$what in bounded memory: $line"
  else
    fail "$what takes too much memory: $line (bound: 12 MiB + 850 bytes per entry)"
  fi
done
finish
