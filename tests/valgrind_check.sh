#!/bin/sh
# Runs tolvane-getlog under valgrind on a device with archives, a corrupt
# archive and a hostile name; fails on any leak or memory error.
#
#   scripts/run-in-sandbox.sh sh tests/valgrind_check.sh TOLVANE_GETLOG
set -eu
[ "${TOLVANE_IN_SANDBOX:-}" = 1 ] || { echo "valgrind_check: run it in the sandbox" >&2; exit 1; }
getlog=$(readlink -f "$1")

echo 3 > /var/log/misc.txt
printf 'active\n' > /var/log/misc00003.log
for n in 65535 00001 00002; do echo "archive $n" | gzip > "/var/log/misc$n.log.gz"; done
echo "not gzip" > /var/log/misc00000.log.gz
echo hostile | gzip > '/var/log/misc00002 $(touch pwned) `x` '\''q'\''.log.gz'

cd /var/log
# The corrupt archive is left out, so the history is incomplete: exit 1.
status=0
valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 \
  "$getlog" --debug misc /var/log/out 2>/var/log/valgrind.err || status=$?
if [ "$status" -ne 1 ]; then
  cat /var/log/valgrind.err >&2
  echo "valgrind_check: exit $status" >&2
  exit 1
fi
grep -q "misc00000.log.gz left out: could not decompress" /var/log/valgrind.err
[ ! -e pwned ] && grep -q "^hostile$" /var/log/out && [ -z "$(ls /var/tmp)" ]
echo "valgrind_check: no leak, no error, output complete but for the corrupt archive"
