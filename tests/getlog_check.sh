#!/bin/sh
# Lays out a small misc log and checks that COMMAND, a tolvane-getlog,
# assembles it exactly and leaves no scratch file.
#
#   scripts/run-in-sandbox.sh sh tests/getlog_check.sh COMMAND...
set -eu
if [ -n "${TOLVANE_SANDBOX_UNAVAILABLE:-}" ]; then
  echo "getlog_check: skipped: no sandbox ($TOLVANE_SANDBOX_UNAVAILABLE)" >&2
  exit 77
fi
[ "${TOLVANE_IN_SANDBOX:-}" = 1 ] || { echo "getlog_check: run it in the sandbox" >&2; exit 1; }

echo 3 >/var/log/misc.txt
echo active >/var/log/misc00003.log
for n in 1 2; do echo "archive $n" | gzip >"/var/log/misc0000$n.log.gz"; done
"$@" misc /var/log/out
{
  printf '\n%s follows:\n\narchive %s\n' /var/log/misc00001.log.gz 1 \
    /var/log/misc00002.log.gz 2
  printf '\n%s follows:\n\nactive\n' /var/log/misc00003.log
} >/var/log/expected
cmp /var/log/expected /var/log/out
[ -z "$(ls -A /var/tmp)" ] || { echo "getlog_check: scratch files left" >&2; exit 1; }
echo "getlog_check: misc assembled exactly"
