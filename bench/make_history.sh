#!/bin/bash
# make_history.sh COUNT BYTES: replaces the misc log's history in /var/log by
# COUNT archives and an active log, each BYTES of text before compression
# (BYTES a multiple of 64). The checkpoint number is C = COUNT/2, so the
# archives are numbered 65536-(COUNT-C) .. 65535 and then 00000 .. C-1,
# on both sides of the wrap, and the active log is miscC.log.
#
# Each piece is lines of 64 bytes: its name, a line number and a fixed
# phrase, so that it is quick to make and to gzip (-1) and every piece and
# line is told apart. Writes the fixed directories: sandbox only.
set -eu
export LC_ALL=C
if [ "${TOLVANE_IN_SANDBOX:-}" != 1 ] || [ "$(stat -f -c %T /var/log)" != tmpfs ]; then
  echo "make_history.sh: run it in the sandbox (scripts/run-in-sandbox.sh)" >&2
  exit 2
fi
count=$1 bytes=$2
if (( count < 1 || bytes < 64 || bytes % 64 != 0 )); then
  echo "usage: make_history.sh COUNT BYTES (BYTES a multiple of 64)" >&2
  exit 2
fi
lines=$((bytes / 64))
checkpoint=$((count / 2))

rm -f /var/log/misc*.log.gz /var/log/misc*.log /var/log/misc.txt

# Prints LINES lines of 64 bytes for the piece named $1.
text() {
  awk -v name="$1" -v lines="$lines" 'BEGIN {
    phrase = "the quick brown fox jumps over a lazy dog"
    for (i = 1; i <= lines; i++)
      printf "%s line %010d %s\n", name, i, substr(phrase, 1, 63 - 17 - length(name))
  }'
}

jobs_running=0
for ((k = 0; k < count; k++)); do
  number=$(( (checkpoint - count + k + 65536) % 65536 ))
  printf -v name 'misc%05d' "$number"
  if (( bytes >= 1048576 )); then
    # Large pieces: two at a time, one per core.
    text "$name" | gzip -1 > "/var/log/$name.log.gz" &
    if (( ++jobs_running == 2 )); then wait; jobs_running=0; fi
  else
    text "$name" | gzip -1 > "/var/log/$name.log.gz"
  fi
done
wait
printf -v name 'misc%05d' "$checkpoint"
text "$name" > "/var/log/$name.log"
echo "$checkpoint" > /var/log/misc.txt
