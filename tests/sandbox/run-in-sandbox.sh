#!/bin/sh
# Runs PROGRAM where the library's fixed directories are private: in a new
# mount namespace with fresh tmpfs on /var/log and /var/tmp (mode 1777) and
# /etc overlaid on a throwaway upper layer, so that /etc/sysconfig/vorn/tolvane
# can be made. The host's directories are never touched.
#
# usage: run-in-sandbox.sh PROGRAM [ARG...]
#
# Where the sandbox cannot be made, PROGRAM runs outside it with
# TOLVANE_SANDBOX_UNAVAILABLE holding the reason, so that its sandboxed tests
# skip; under CI=true that is an error instead.
set -eu

unavailable() {
  if [ "${CI:-}" = true ]; then
    echo "run-in-sandbox: the sandbox cannot be made: $1 (CI needs it)" >&2
    exit 1
  fi
  TOLVANE_SANDBOX_UNAVAILABLE="$1" exec "$@"
}

if [ "${1:-}" = --inside ]; then
  shift
  layer=$TOLVANE_SANDBOX_LAYER
  if mount -t tmpfs tmpfs "$layer" &&
     mkdir "$layer/upper" "$layer/work" &&
     mount -t overlay overlay \
       -o "lowerdir=/etc,upperdir=$layer/upper,workdir=$layer/work" /etc &&
     mkdir -p /etc/sysconfig/vorn/tolvane &&
     mount -t tmpfs -o mode=1777 tmpfs /var/log &&
     mount -t tmpfs -o mode=1777 tmpfs /var/tmp; then
    TOLVANE_IN_SANDBOX=1 exec "$@"
  fi
  shift 0
  reason="mounting the private directories failed"
  set -- "$@"
  unavailable "$reason" "$@"
fi

if [ "${TOLVANE_IN_SANDBOX:-}" = 1 ]; then exec "$@"; fi
if [ "$(id -u)" -ne 0 ]; then unavailable "not root" "$@"; fi
if ! unshare --mount --propagation private true 2>/dev/null; then
  unavailable "no mount namespace (unshare --mount failed)" "$@"
fi

layer=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-sandbox.XXXXXX")
trap 'rmdir "$layer"' EXIT
status=0
TOLVANE_SANDBOX_LAYER=$layer unshare --mount --propagation private \
  "$0" --inside "$@" || status=$?
exit $status
