#!/bin/bash
# spawn_costs.sh [N]: the mean wall time of each kind of command a request
# runs, each through its own /bin/sh -c as system() does, N times (default
# 200) on one 4 KiB piece; plus sh alone and gunzip without sudo, to tell
# apart what the shell, sudo and the work cost. Prints "ms command" lines.
# Writes /var/log and /var/tmp: sandbox only (bench/run.sh runs it).
set -eu
if [[ ${TOLVANE_IN_SANDBOX:-} != 1 ]]; then
  echo "spawn_costs.sh: run it in the sandbox" >&2
  exit 2
fi
n=${1:-200}
bash "${BASH_SOURCE[0]%/*}/make_history.sh" 1 4096
archive=/var/log/misc65535.log.gz
active=/var/log/misc00000.log
temp=/var/tmp/misc65535.log.gz-$$.txt
out=/var/tmp/spawn-costs-$$.out
: > "$out"

measure() {
  local label=$1 command=$2 t0 t1 i
  t0=$EPOCHREALTIME
  for ((i = 0; i < n; i++)); do /bin/sh -c "$command"; done
  t1=$EPOCHREALTIME
  : > "$out"
  awk -v us=$(( 10#${t1/./} - 10#${t0/./} )) -v n="$n" -v l="$label" \
    'BEGIN { printf "%7.3f ms  %s\n", us / n / 1000, l }'
}

measure "sh -c ':'  (the shell alone)" ":"
measure "sh -c 'sudo /bin/gunzip -c ARCHIVE > TMP'" "sudo /bin/gunzip -c $archive > $temp 2>/dev/null"
measure "sh -c '/bin/gunzip -c ARCHIVE > TMP'  (no sudo: not a command of the library)" "/bin/gunzip -c $archive > $temp 2>/dev/null"
measure "sh -c '/bin/cp -f ACTIVE TMP'" "/bin/cp -f $active $temp 2>/dev/null"
measure "sh -c '/bin/echo -e HEADER >> OUTPUT'" "/bin/echo -e \"
$archive follows:
\" >> $out 2>/dev/null"
measure "sh -c '/bin/cat TMP >> OUTPUT'" "/bin/cat $temp >> $out 2>/dev/null"
rm -f "$temp" "$out"
