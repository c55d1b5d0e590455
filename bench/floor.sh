#!/bin/bash
# floor.sh OUTPUT: the design's floor. Runs, for the misc history in
# /var/log, exactly the commands that `tolvane-getlog misc OUTPUT` runs,
# in the same order and each through its own `/bin/sh -c` as system() does:
#   1. the active log: /bin/cp -f SRC /var/tmp/BASENAME-PID.txt 2>/dev/null
#   2. every archive, newest first:
#        sudo /bin/gunzip -c SRC > /var/tmp/BASENAME-PID.txt 2>/dev/null
#   3. every piece, oldest first (archives, then the active log):
#        /bin/echo -e "<LF>SRC follows:<LF>" > OUTPUT 2>/dev/null  (">>" after
#        the first) and /bin/cat TMP >> OUTPUT 2>/dev/null
# Like the library it makes each scratch file before its command, with
# O_CREAT|O_EXCL (bash's noclobber; the library adds O_NOFOLLOW and mode
# 0600), and finds the order without starting a process. The library
# unlinks each scratch file in-process right after its piece is written; a
# shell cannot unlink without starting a process, so the floor empties each
# scratch file at that point instead (a builtin truncation, which gives its
# tmpfs pages back just as the unlink does) and removes the emptied files
# with one /bin/rm at the end. A rm process per piece would add spawns the
# library does not make and flatter it.
# Writes /var/tmp: sandbox only.
set -u
if [[ ${TOLVANE_IN_SANDBOX:-} != 1 || $# -ne 1 ]]; then
  echo "usage (in the sandbox): floor.sh OUTPUT" >&2
  exit 2
fi
out=$1
source "${BASH_SOURCE[0]%/*}/history_order.sh"
set -C  # ': > FILE' now creates FILE with O_EXCL
status=0
sources=()
temps=()

if [[ -e $ACTIVE ]]; then
  temp=/var/tmp/${ACTIVE##*/}-$$.txt
  if : > "$temp" && /bin/sh -c "/bin/cp -f $ACTIVE $temp 2>/dev/null"; then
    sources+=("$ACTIVE")
    temps+=("$temp")
  fi
fi
for ((i = ${#ARCHIVES[@]} - 1; i >= 0; i--)); do
  archive=${ARCHIVES[i]}
  temp=/var/tmp/${archive##*/}-$$.txt
  if : > "$temp" && /bin/sh -c "sudo /bin/gunzip -c $archive > $temp 2>/dev/null"; then
    sources+=("$archive")
    temps+=("$temp")
  fi
done

redirect='>'
for ((i = ${#sources[@]} - 1; i >= 0; i--)); do
  /bin/sh -c "/bin/echo -e \"
${sources[i]} follows:
\" $redirect $out 2>/dev/null" || status=1
  /bin/sh -c "/bin/cat ${temps[i]} >> $out 2>/dev/null" || status=1
  : >| "${temps[i]}"
  redirect='>>'
done
(( ${#temps[@]} == 0 )) || /bin/rm -f -- "${temps[@]}"
(( ${#sources[@]} > 0 )) || status=1
exit $status
