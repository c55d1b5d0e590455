#!/bin/bash
# plain.sh OUTPUT: the plain user's way to the same history: zcat of the
# archives, oldest first, then cat of the active log, into OUTPUT. No
# header lines, no scratch files, no sudo. Sandbox only, like the others.
set -u
if [[ ${TOLVANE_IN_SANDBOX:-} != 1 || $# -ne 1 ]]; then
  echo "usage (in the sandbox): plain.sh OUTPUT" >&2
  exit 2
fi
source "${BASH_SOURCE[0]%/*}/history_order.sh"
zcat -- "${ARCHIVES[@]}" > "$1" && cat -- "$ACTIVE" >> "$1"
