#!/bin/sh
# Runs PROGRAM where the library's fixed directories are private: in a new
# mount namespace with fresh tmpfs on /var/log and /var/tmp (mode 1777), /etc
# overlaid on a throwaway upper layer (so that /etc/sysconfig/vorn/tolvane,
# test users, groups and sudoers rules can be made), fresh tmpfs where user
# creation and sudo write (/run, /home, /var/lib/sudo, /var/mail) and
# /dev/log masked (so that nothing reaches the host's syslog). The host's
# directories are never touched.
#
# usage: run-in-sandbox.sh PROGRAM [ARG...]
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
    { [ ! -e /dev/log ] || mount --bind /dev/null /dev/log; } ||
    unavailable "mounting the private directories failed" "$@"
  TOLVANE_IN_SANDBOX=1 exec "$@"
fi

[ "$#" -gt 0 ] || { echo "usage: run-in-sandbox.sh PROGRAM [ARG...]" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || unavailable "not root" "$@"
unshare --mount --propagation private true 2>/dev/null ||
  unavailable "no mount namespace (unshare --mount failed)" "$@"

layer=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-sandbox.XXXXXX")
trap 'rmdir "$layer"' EXIT
status=0
TOLVANE_SANDBOX_LAYER=$layer unshare --mount --propagation private \
  "$0" --inside "$@" || status=$?
exit "$status"
