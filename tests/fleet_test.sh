#!/bin/sh
# The fleet's delivery of doc/fleet.md, end to end: a device rotates its misc
# log while collectors run `tolvane-getlog --cursor-file ... --output cat`
# every 100 ms, one into curl, which PUTs each part to the centre's nginx
# (doc/fleet/centre.conf), one into `logger --tcp`, to a real rsyslog
# (doc/fleet/rsyslog-centre.conf). Three phases: the receivers steady; stopped
# (SIGTERM) and started again every second; frozen (SIGSTOP) for 0.3 s, killed
# (SIGKILL) and started again every second. After each the device stops, a
# last run of each collector passes every line it wrote, and each receiver's
# files are counted: lines sent, received (distinct), lost, copies, and noise
# (whatever is not a device line). For curl, whose exit 0 means the centre
# stored the part, any loss or noise fails, and a copy while nginx stays up.
# For logger, whose exit 0 does not, every line must come once and no noise
# while rsyslog stays up; its figures in the other phases are shown.
#
# usage: fleet_test.sh BUILD_DIR  (TOLVANE_FLEET_SECONDS per phase, 2 if unset;
# TOLVANE_GETLOG, the tool, BUILD_DIR/tolvane-getlog if unset). Runs itself in
# the sandbox; exit 77 (skipped) without root, the sandbox, rsyslogd, nginx,
# curl or logger (apt-get install rsyslog nginx curl bsdutils), which under
# CI=true fail instead.
set -eu
here=$(cd "$(dirname "$0")" && pwd -P)
build=$(cd "${1:?usage: fleet_test.sh BUILD_DIR}" && pwd -P)
getlog=${TOLVANE_GETLOG:-$build/tolvane-getlog}
seconds=${TOLVANE_FLEET_SECONDS:-2}
skip() { echo "fleet_test: skipped: $*"; exit 77; }
fail() { echo "fleet_test: FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "needs root"
[ -z "${TOLVANE_SANDBOX_UNAVAILABLE:-}" ] || skip "$TOLVANE_SANDBOX_UNAVAILABLE"
if [ -z "${TOLVANE_IN_SANDBOX:-}" ]; then
  exec "$here/../scripts/run-in-sandbox.sh" --reach "$build" \
    sh "$here/fleet_test.sh" "$build"
fi
for program in rsyslogd nginx curl logger setpriv; do
  command -v "$program" >/dev/null && continue
  [ "${CI:-}" != true ] || fail "no $program (CI needs it)"
  skip "no $program"
done

dir=/var/tmp/fleet
mkdir -p "$dir/nginx"
pids="" taken="" http="" tcp=""
cleanup() {
  touch "$dir/stop"
  for pid in $pids; do halt "$pid" TERM; done
}
trap cleanup EXIT
trap 'exit 1' INT TERM
running() { [ ! -e "$dir/stop" ] && kill -0 $$ 2>/dev/null; }
# Stops child PID with signal SIG, with SIGKILL after 5 s.
halt() {
  kill -"$2" "$1" 2>/dev/null || return 0
  n=0
  while [ -e "/proc/$1" ] && [ "$(cut -d' ' -f3 "/proc/$1/stat")" != Z ]; do
    n=$((n + 1))
    [ "$n" -ne 100 ] || kill -KILL "$1"
    sleep 0.05
  done
  wait "$1" 2>/dev/null || true
  pids=$(echo "$pids" | tr ' ' '\n' | grep -vx "$1" | tr '\n' ' ')
}
# Waits up to TENTHS tenths of a second for COMMAND to succeed.
await() {
  n=$(($1 * 2))
  shift
  until "$@"; do
    n=$((n - 1))
    [ "$n" -gt 0 ] || return 1
    sleep 0.05
  done
}
port() {  # a free loopback port into variable $1
  while :; do
    p=$(($(od -An -N2 -tu2 /dev/urandom) % 20000 + 30000))
    case " $taken " in *" $p "*) continue ;; esac
    grep -q ":$(printf %04X "$p") " /proc/net/tcp /proc/net/tcp6 || break
  done
  taken="$taken $p"
  eval "$1=$p"
}
listening() {
  for p; do
    grep -q ":$(printf %04X "$p") 00000000:0000 0A" /proc/net/tcp || return 1
  done
}
port http
port tcp
sending() {  # a connection to a receiver is open
  grep -q -e ":$(printf %04X "$http") [0-9A-F]*:[0-9A-F]* 01 " \
    -e ":$(printf %04X "$tcp") [0-9A-F]*:[0-9A-F]* 01 " /proc/net/tcp
}

# The documented receivers, on loopback ports, writing below /var/log/fleet;
# nginx in one process, which SIGKILL ends whole.
sed -e "s|/srv|/var/log|g" -e "s|listen 8514|listen 127.0.0.1:$http|" \
  "$here/../doc/fleet/centre.conf" >"$dir/nginx/site.conf"
cat >"$dir/nginx.conf" <<EOF
daemon off;
master_process off;
user root;
pid $dir/nginx.pid;
error_log $dir/nginx/error.log;
events {}
http { access_log off; include $dir/nginx/site.conf; }
EOF
sed -e "s|/var/spool/rsyslog|$dir|" -e "s|/srv|/var/log|g" \
  -e "s|port=\"10514\"|address=\"127.0.0.1\" port=\"$tcp\"|" \
  "$here/../doc/fleet/rsyslog-centre.conf" >"$dir/rsyslog.conf"
grep -q "127.0.0.1:$http" "$dir/nginx/site.conf" && grep -q "\"$tcp\"" "$dir/rsyslog.conf" &&
  ! grep -e /srv -e /var/spool "$dir/nginx/site.conf" "$dir/rsyslog.conf" ||
  fail "doc/fleet/*.conf: not all of 8514, 10514, /srv and /var/spool replaced"

receivers() {  # starts nginx and rsyslogd; their pids in $nginx and $rsyslog
  setpriv --pdeathsig KILL nginx -c "$dir/nginx.conf" -p "$dir/nginx/" \
    >>"$dir/nginx.out" 2>&1 &
  nginx=$!
  rm -f "$dir/rsyslog.pid"
  setpriv --pdeathsig KILL rsyslogd -n -f "$dir/rsyslog.conf" \
    -i "$dir/rsyslog.pid" >>"$dir/rsyslog.out" 2>&1 &
  rsyslog=$!
  pids="$pids $nginx $rsyslog"
  await 100 listening "$http" "$tcp" ||
    fail "the receivers do not listen: $(cat "$dir"/*.out "$dir/nginx/error.log")"
}
receivers

# The device: lines "dev1 PHASE NNNNNN", rotating every 200: the next active
# log, the checkpoint, then gzip of the old one in place. From 65533, across
# the wrap.
echo 65533 >"$dir/generation"
: >/var/log/misc65533.log
echo 65533 >/var/log/misc.txt
device() {
  read -r generation <"$dir/generation"
  n=0
  while running; do
    log=/var/log/misc$(printf %05d "$generation").log
    i=0
    while [ "$i" -lt 20 ]; do
      printf 'dev1 %s %06d\n' "$1" $((n + i))
      i=$((i + 1))
    done >>"$log"
    n=$((n + 20))
    if [ $((n % 200)) -eq 0 ]; then
      generation=$(((generation + 1) % 65536))
      : >"/var/log/misc$(printf %05d "$generation").log"
      echo "$generation" >/var/log/misc.txt.new
      mv /var/log/misc.txt.new /var/log/misc.txt
      gzip -n "$log"
    fi
    sleep 0.01
  done
  echo "$generation" >"$dir/generation"
  echo "$n" >"$dir/sent.$1"
}

# The collectors' commands, as doc/fleet.md gives them.
put="curl -sS --fail --connect-timeout 10 -T - \
http://127.0.0.1:$http/fleet/\$(hostname)/misc/\$(cat /proc/sys/kernel/random/uuid)"
logger="logger --tcp -n 127.0.0.1 -P $tcp --octet-count --size 65536 -t logger"
collect() {  # NAME COMMAND
  "$getlog" --cursor-file "$dir/$1.position" --output cat \
    --to-command "$2" misc 2>>"$dir/$1.err"
}
collector() {  # NAME COMMAND: every 100 ms
  ok=0 failed=0
  while running; do
    if collect "$@"; then ok=$((ok + 1)); else failed=$((failed + 1)); fi
    sleep 0.1
  done
  echo "$ok $failed" >"$dir/$1.runs"
}

# PHASE FILE...: sent received lost copies noise, the noise of all phases.
count() {
  phase=$1
  shift
  cat "$@" 2>/dev/null | awk -v phase="$phase" -v sent="$(cat "$dir/sent.$phase")" '
    /^dev1 (steady|restarted|killed) [0-9][0-9][0-9][0-9][0-9][0-9]$/ {
      if ($2 == phase) seen[$3 + 0]++
      next
    }
    !/^dev1 (restarted|killed) end$/ { noise++ }
    END {
      for (i = 0; i < sent; i++)
        if (seen[i]) { received++; copies += seen[i] - 1 } else lost++
      printf "%d %d %d %d %d\n", sent, received, lost, copies, noise
    }'
}
all_there() { [ "$(count "$@" | cut -d' ' -f3)" -eq 0 ]; }
marked() { grep -q "^dev1 $1 end$" /var/log/fleet/*/logger.log; }

# shellcheck disable=SC2034  # noise_PATH, read through eval
status=0 noise=0 noise_put=0 noise_logger=0
# PHASE PATH FILE...: prints the row; sets sent, lost, copies and noise.
report() {
  phase=$1 path=$2
  shift 2
  # shellcheck disable=SC2046
  set -- $(count "$phase" "$@")
  sent=$1 lost=$3 copies=$4
  eval "noise=\$(($5 - noise_$path)) noise_$path=$5"
  printf '%-10s %-7s %7s %9s %5s %7s %6s %10s\n' "$phase" "$path" "$1" "$2" \
    "$3" "$4" "$noise" "$(tr ' ' / <"$dir/$path.runs")"
}
phase() {  # NAME SIGNAL: the receivers are stopped with SIGNAL every second
  rm -f "$dir/stop"
  device "$1" &
  writer=$!
  collector put "$put" &
  collectors=$!
  collector logger "$logger" &
  collectors="$collectors $!"
  i=0
  while [ "$i" -lt "$seconds" ]; do
    i=$((i + 1))
    if [ -z "$2" ]; then sleep 1; continue; fi
    sleep 0.2
    await 8 sending || true  # at a transfer, where one is seen
    if [ "$2" = KILL ]; then  # frozen first: the kernel still takes bytes
      kill -STOP "$nginx" "$rsyslog"
      sleep 0.3
    fi
    kill -"$2" "$nginx" "$rsyslog"
    halt "$nginx" "$2"
    halt "$rsyslog" "$2"
    sleep 0.3
    receivers
  done
  touch "$dir/stop"
  # shellcheck disable=SC2086  # the pids, one a word
  wait "$writer" $collectors
  # A complete run passes every line the device wrote. curl's are stored
  # once it exited 0; logger's are waited for.
  for name in put logger; do
    eval "await 50 collect $name \"\$$name\"" ||
      fail "the $name collector fails: $(tail -3 "$dir/$name.err")"
  done
  report "$1" put /var/log/fleet/*/misc/*
  [ "$sent" -gt 0 ] && [ "$lost" -eq 0 ] && [ "$noise" -eq 0 ] || status=1
  [ "$1" != steady ] || [ "$copies" -eq 0 ] || status=1
  if [ "$1" = steady ]; then
    await 100 all_there steady /var/log/fleet/*/logger.log || true
  else  # what arrives, up to a line sent after the rest
    printf 'dev1 %s end\n' "$1" | $logger
    await 100 marked "$1" || true
  fi
  report "$1" logger /var/log/fleet/*/logger.log
  if [ "$1" = steady ]; then
    [ "$lost" -eq 0 ] && [ "$copies" -eq 0 ] && [ "$noise" -eq 0 ] || status=1
  fi
}

echo "fleet_test: nginx on $http, rsyslog on $tcp; $seconds s a phase"
printf '%-10s %-7s %7s %9s %5s %7s %6s %10s\n' phase path sent received \
  lost copies noise "runs ok/failed"
phase steady ""
phase restarted TERM
phase killed KILL
[ "$status" -eq 0 ] ||
  fail "a line lost or noise through curl, a copy while the centre stayed up, or logger not once while rsyslog stayed up"
echo "fleet_test: every line that the cursor passed is at the centre"
