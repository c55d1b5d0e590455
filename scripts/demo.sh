#!/bin/bash
# demo.sh: builds tolvane-getlog and runs it on a small made-up device.
#
#   bash scripts/demo.sh        (as root)
#
# Installs what is missing, builds into build-demo/, then re-runs itself in
# the private sandbox of scripts/run-in-sandbox.sh (fresh tmpfs on
# /var/log and /var/tmp, /etc overlaid), lays out four log types there and
# assembles each one, then one again as an unprivileged member of the group
# tolvane (through the shipped sudoers drop-in) and as an outsider. The
# host's /var/log, /var/tmp, /etc and users are not touched.
set -eu
cd "$(dirname "$0")/.."
title() { printf '\n=== %s ===\n' "$*"; }

if [ "${1:-}" != --inside ]; then
  # ---- Outside: packages, build, then into the sandbox. ----
  [ "$(id -u)" -eq 0 ] || { echo "demo.sh: run as root: bash scripts/demo.sh" >&2; exit 1; }
  missing=no
  for tool in cmake g++ make sudo gzip gunzip unshare findmnt; do
    command -v "$tool" >/dev/null 2>&1 || missing=yes
  done
  dpkg-query -W -f='${Status}' zlib1g-dev 2>/dev/null | grep -q "ok installed" ||
    missing=yes
  if [ "$missing" = yes ]; then
    title "Installing build tools"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    # make: cmake only recommends it, and recommends may be switched off.
    apt-get install -y cmake g++ make sudo gzip util-linux zlib1g-dev
  fi
  title "Building build-demo/tolvane-getlog"
  cmake -S . -B build-demo -DTOLVANE_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
  cmake --build build-demo -j2
  # Markers from the caller's environment must not fake a sandbox.
  unset TOLVANE_IN_SANDBOX TOLVANE_SANDBOX_UNAVAILABLE
  exec scripts/run-in-sandbox.sh bash "$PWD/scripts/demo.sh" --inside
fi

# ---- Inside: refuse unless /var/log, /var/tmp and /etc are private. ----
if [ -n "${TOLVANE_SANDBOX_UNAVAILABLE:-}" ]; then
  echo "demo.sh: no sandbox ($TOLVANE_SANDBOX_UNAVAILABLE); stopping, the host is untouched." >&2
  exit 1
fi
if [ "${TOLVANE_IN_SANDBOX:-}" != 1 ] ||
   [ "$(findmnt -no FSTYPE --mountpoint /var/log)" != tmpfs ] ||
   [ "$(findmnt -no FSTYPE --mountpoint /var/tmp)" != tmpfs ] ||
   [ "$(findmnt -no FSTYPE --mountpoint /etc)" != overlay ]; then
  echo "demo.sh: --inside runs only in the sandbox; stopping." >&2
  exit 1
fi

CONF=/etc/sysconfig/vorn/tolvane   # made by the harness
LOG=/var/log

# archive DIR PREFIX NUM [NOTE]: DIR/PREFIXNNNNN.log.gz, three lines naming it.
archive() {
  n=$(printf '%05d' "$3")
  printf '%s archive %s, line %d%s\n' "$2" "$n" 1 "${4:-}" "$2" "$n" 2 "" \
    "$2" "$n" 3 "" | gzip -c >"$1/$2$n.log.gz"
}
# current ACTIVEDIR BACKUPDIR PREFIX N: checkpoint file and active log.
current() {
  echo "$4" >"$2/$3.txt"
  n=$(printf '%05d' "$4")
  printf '%s active log %s, line %d\n' "$3" "$n" 1 "$3" "$n" 2 >"$1/$3$n.log"
}

# audit: everything in $CONF, N=3.
archive "$CONF" audit 1; archive "$CONF" audit 2; current "$CONF" "$CONF" audit 3
# brev: active $LOG, backup $CONF, N=5. 2 and 3 only in $CONF, 1 only in
# $LOG, 4 in both with different text (the $LOG copy must win).
archive "$CONF" brev 2; archive "$CONF" brev 3
archive "$CONF" brev 4 " (copy in $CONF: must NOT appear)"
archive "$LOG" brev 1; archive "$LOG" brev 4 " (copy in $LOG: wins)"
current "$LOG" "$CONF" brev 5
# snmpd: in $LOG, N=2, archives on both sides of the 16-bit wrap.
for n in 65534 65535 0 1; do archive "$LOG" snmpd "$n"; done
current "$LOG" "$LOG" snmpd 2
# misc: in $LOG, N=10; 7 was deleted, which is told as a missing generation
# and leaves the exit status 0.
for n in 6 8 9; do archive "$LOG" misc "$n"; done
current "$LOG" "$LOG" misc 10
# The device rotated an hour ago: no rotation is under way, and a
# generation that is not there is gone.
touch -d '1 hour ago' "$CONF"/* "$LOG"/*.gz "$LOG"/*.txt

title "Device layout"
for dir in "$CONF" "$LOG"; do
  echo "$dir:"
  # shellcheck disable=SC2012  # plain names, listed for a person to read
  ls -l "$dir" | sed 1d
done
echo "Checkpoints: audit=$(cat $CONF/audit.txt) brev=$(cat $CONF/brev.txt)" \
     "snmpd=$(cat $LOG/snmpd.txt) misc=$(cat $LOG/misc.txt)"

# Each header line and the first non-empty line of its piece.
pieces() {
  awk '/ follows:$/ { print "  " $0; want = 1; next }
       want && NF  { print "      " $0; want = 0 }' "$1"
}

title "tolvane-getlog --list misc: what a request would write, running nothing"
build-demo/tolvane-getlog --list misc || echo "exit code: $? (something is expected to be missing)"

failed=0
for type in audit brev snmpd misc; do
  out=/var/tmp/$type-entire.log
  title "tolvane-getlog $type $out"
  rc=0
  build-demo/tolvane-getlog "$type" "$out" || rc=$?
  echo "exit code: $rc"
  [ "$rc" -eq 0 ] || failed=$((failed + 1))
  if [ -f "$out" ]; then pieces "$out"; fi
done

# Unprivileged callers: the snmpd archives become root's alone; a member of
# the group tolvane reaches them through the shipped sudoers drop-in, an
# outsider is told what is left out.
groupadd -f tolvane && useradd -M -G tolvane member && useradd -M outsider
install -m 0440 packaging/sudoers.d/tolvane /etc/sudoers.d/tolvane
chmod 0600 "$LOG"/snmpd*.log.gz
for who in member outsider; do
  out=/var/tmp/snmpd-$who.log
  title "as $who: tolvane-getlog snmpd $out"
  rc=0
  setpriv --reuid "$who" --regid "$who" --init-groups \
    build-demo/tolvane-getlog snmpd "$out" </dev/null || rc=$?
  echo "exit code: $rc"
  want=0; [ "$who" = member ] || want=1
  [ "$rc" -eq "$want" ] || failed=$((failed + 1))
  if [ -f "$out" ]; then pieces "$out"; fi
done

title "tolvane-getlog --debug misc /var/tmp/x (stderr, first 20 lines)"
build-demo/tolvane-getlog --debug misc /var/tmp/x 2>&1 >/dev/null | head -20 || true

title "Result"
if [ "$failed" -eq 0 ]; then echo "all six runs ended as expected"; exit 0; fi
echo "$failed of six runs did not end as expected"; exit 1
