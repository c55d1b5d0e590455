#!/bin/sh
# Runs PROGRAM where the library's fixed directories are private: in a new
# mount namespace with fresh tmpfs on /var/log and /var/tmp (mode 1777), /etc
# overlaid on a throwaway upper layer (so that /etc/sysconfig/vorn/tolvane,
# test users, groups and sudoers rules can be made), fresh tmpfs where user
# creation and sudo write (/run, /home, /var/lib/sudo, /var/mail) and
# /dev/log masked (so that nothing reaches the host's syslog). The host's
# directories are never touched.
#
# usage: run-in-sandbox.sh [--reach DIR]... PROGRAM [ARG...]
#
# The checkout and each DIR are made reachable by every user at their own
# absolute paths, even below a directory others cannot search (such as
# /root): inside the namespace each is held by a bind mount, a 0755 tmpfs
# covers the top-most such ancestor, the path is made again there and the
# directory bound back. The real directories keep their modes.
#
# With TOLVANE_USERLAND=busybox, busybox takes the place of /bin/sh,
# /bin/gunzip, /bin/cat, /bin/cp and /bin/echo in the namespace, as on a
# BusyBox device.
#
# PROGRAM sees TOLVANE_IN_SANDBOX=1. Where the sandbox cannot be made, it runs
# with TOLVANE_SANDBOX_UNAVAILABLE holding the reason instead, so that its
# sandboxed tests skip; under CI=true that is an error.
set -eu

unavailable() {
  reason=$1
  shift
  if [ "${CI:-}" = true ]; then
    echo "run-in-sandbox: cannot make the sandbox: $reason (CI needs it)" >&2
    exit 1
  fi
  echo "run-in-sandbox: cannot make the sandbox: $reason; sandboxed tests skip" >&2
  unset TOLVANE_IN_SANDBOX
  TOLVANE_SANDBOX_UNAVAILABLE=$reason exec "$@"
}

# A fresh tmpfs on DIR, where DIR exists.
private() { [ ! -d "$2" ] || mount -t tmpfs -o "mode=$1" tmpfs "$2"; }

# The top-most ancestor of DIR that others cannot search, or nothing.
hidden_ancestor() {
  rest=${1#/} at=""
  while [ -n "$rest" ]; do
    at=$at/${rest%%/*}
    case $rest in */*) rest=${rest#*/} ;; *) rest="" ;; esac
    [ "$at" != "$1" ] || return 0
    case $(stat -c %A "$at") in *x | *t) ;; *) echo "$at"; return 0 ;; esac
  done
}

# Makes each directory in $TOLVANE_SANDBOX_REACH (one a line) reachable:
# first each is held, then its ancestor covered and the directory put back.
reach() {
  hold=$1/hold covered=""
  mkdir "$hold"
  n=0
  while IFS= read -r dir; do
    n=$((n + 1))
    top=$(hidden_ancestor "$dir")
    [ -z "$top" ] || { mkdir "$hold/$n" && mount --bind "$dir" "$hold/$n" &&
      printf '%s\n%s\n%s\n' "$n" "$top" "$dir" >>"$hold/list"; } || return 1
  done <<LIST
$TOLVANE_SANDBOX_REACH
LIST
  [ -e "$hold/list" ] || return 0
  while IFS= read -r n && IFS= read -r top && IFS= read -r dir; do
    case $covered in *"/$top/"*) ;; *)
      mount -t tmpfs -o mode=0755 tmpfs "$top" || return 1
      covered="$covered/$top/" ;;
    esac
    mkdir -p "$dir" && mount --bind "$hold/$n" "$dir" || return 1
  done <"$hold/list"
}

# Busybox's applets over the programs the library runs.
busybox_userland() {
  busybox=$(command -v busybox) || return 1
  for program in /bin/sh /bin/gunzip /bin/cat /bin/cp /bin/echo; do
    mount --bind "$busybox" "$(readlink -f "$program")" || return 1
  done
}

if [ "${1:-}" = --inside ]; then
  shift
  layer=$TOLVANE_SANDBOX_LAYER
  unset TOLVANE_SANDBOX_LAYER
  mount -t tmpfs tmpfs "$layer" &&
    mkdir "$layer/upper" "$layer/work" &&
    mount -t overlay overlay \
      -o "lowerdir=/etc,upperdir=$layer/upper,workdir=$layer/work" /etc &&
    mkdir -p /etc/sysconfig/vorn/tolvane &&
    mount -t tmpfs -o mode=1777 tmpfs /var/log &&
    mount -t tmpfs -o mode=1777 tmpfs /var/tmp &&
    mount -t tmpfs -o mode=0755 tmpfs /run &&
    private 0755 /home && private 0700 /var/lib/sudo && private 1777 /var/mail &&
    { [ ! -e /dev/log ] || mount --bind /dev/null /dev/log; } &&
    reach "$layer" ||
    unavailable "mounting the private directories failed" "$@"
  unset TOLVANE_SANDBOX_REACH
  case ${TOLVANE_USERLAND:-gnu} in
  gnu) ;;
  busybox) busybox_userland || { echo "run-in-sandbox: busybox not in place" >&2; exit 1; } ;;
  *) echo "run-in-sandbox: TOLVANE_USERLAND is gnu or busybox" >&2; exit 2 ;;
  esac
  TOLVANE_IN_SANDBOX=1 exec "$@"
fi

checkout=$(cd "$(dirname "$0")/.." && pwd -P)
reach_dirs=$checkout
while [ "${1:-}" = --reach ]; do
  [ "$#" -ge 2 ] && dir=$(cd "$2" && pwd -P) ||
    { echo "run-in-sandbox: --reach needs a directory" >&2; exit 2; }
  reach_dirs="$reach_dirs
$dir"
  shift 2
done
[ "$#" -gt 0 ] || { echo "usage: run-in-sandbox.sh [--reach DIR]... PROGRAM [ARG...]" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || unavailable "not root" "$@"
unshare --mount --propagation private true 2>/dev/null ||
  unavailable "no mount namespace (unshare --mount failed)" "$@"

layer=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-sandbox.XXXXXX")
trap 'rmdir "$layer"' EXIT
status=0
TOLVANE_SANDBOX_LAYER=$layer TOLVANE_SANDBOX_REACH=$reach_dirs \
  unshare --mount --propagation private "$0" --inside "$@" || status=$?
exit "$status"
