# Shared by the burn tests: a private folder of virtual recorders with one
# writer, its clock fast so that formatting, closing and the drive buffer
# take no real time (the library's own waits too), and helpers around it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
export SKARVO_VDRIVES=$T/vdrives
export SKARVO_TIME_SCALE=0.01
DRIVE=w
"$SKARVO" vdrive add "$DRIVE" --model dvd-writer >/dev/null
"$SKARVO" vdrive set "$DRIVE" clock 1000 >/dev/null
# use_drive_for MEDIUM: DRIVE becomes the writer that takes MEDIUM; BD media
# go to a BD writer "b", added the first time.
use_drive_for() {
  case $1 in
  BD*)
    DRIVE=b
    if [ ! -d "$SKARVO_VDRIVES/b" ]; then
      "$SKARVO" vdrive add b --model bd-writer >/dev/null
      "$SKARVO" vdrive set b clock 1000 >/dev/null
    fi
    ;;
  *) DRIVE=w ;;
  esac
}

# load MEDIUM [insert options]: a new medium, and an empty command log.
load() {
  "$SKARVO" vdrive insert "$DRIVE" --media "$@" >/dev/null
  "$SKARVO" vdrive log "$DRIVE" --clear >/dev/null
}
# The drive's command log, one line per command.
drive_log() { "$SKARVO" vdrive log "$DRIVE"; }
# How many commands named NAME (as the log names them) the drive received.
count_cmd() { drive_log | grep -c "cmd=$1 " || true; }
# How many WRITE(10) and WRITE(12) the drive received.
count_writes() { drive_log | grep -c "cmd=WRITE(1[02]) " || true; }
# One key of the drive's settings file.
setting() { sed -n "s/^$1 = //p" "$SKARVO_VDRIVES/$DRIVE/settings"; }
# The recorder's one-line summary of the loaded medium (vdrive list).
medium_line() { "$SKARVO" vdrive list | awk -v d="$DRIVE" '$2 == d'; }
